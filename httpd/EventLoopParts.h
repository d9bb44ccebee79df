#pragma once
// What the event loop's files share (EventLoop.cpp: the parked table, reading, writing,
// hand-off and deadlines; EventLoopAdmission.cpp: accepting and the connection limits;
// EventLoopFeeds.cpp: the feeds' followers). Not for use outside them.

#include <cstdint>
#include <string>
#include <string_view>

namespace orbiscope::event_loop {

// Receives per readiness of one connection, so one fast sender cannot starve the others.
inline constexpr int kReceivesPerWake = 16;

// The tags of the loop's own descriptors in the epoll set; connections carry their address.
// Only their addresses matter, and those must be the same in every file.
inline char listenerTag;
inline char stopTag;
inline char wakeTag;

// A reported text followed by the error code.
inline std::string WithCode(std::string_view text, int code) {
  std::string out(text);
  out += std::to_string(code);
  return out;
}

}  // namespace orbiscope::event_loop
