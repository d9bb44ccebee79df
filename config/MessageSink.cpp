#include "config/MessageSink.h"

#include <cstdio>

namespace orbiscope {

void PrintMessageToStderr(std::string_view caption, std::string_view text) {
  std::string line;
  line.reserve(caption.size() + text.size() + 3);
  line.append(caption).append(": ").append(text).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

MessageSink StderrMessageSink() { return PrintMessageToStderr; }

}  // namespace orbiscope
