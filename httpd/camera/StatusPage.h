#pragma once
// The status page, /status.json: what the camera does, how fast its frames reach the server
// and how busy the server is, as one JSON object for scripts and monitors.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "httpd/camera/ServingStatus.h"

namespace orbiscope {

class CHttpClient;
struct CameraState;
struct ServerCounts;

// Everything the page tells.
struct StatusFigures {
  CaptureReport capture;
  double fps = 0.0;                 // measured from publication times
  std::uint64_t frames = 0;         // published since the server started
  int connections = 0;              // open now
  int streams = 0;                  // live stream viewers now
  std::uint64_t requests = 0;       // answered since the server started
  std::int64_t uptimeSeconds = 0;   // since the program started
  // When the newest frame was captured (the epoch before the first): what its pictures'
  // X-Timestamp says.
  std::chrono::system_clock::time_point captured {};
};

// The figures at `now`, from the camera's state and its server's counts.
StatusFigures ReadStatus(const CameraState& camera, const ServerCounts& counts,
                         std::chrono::steady_clock::time_point now);

// Appends `text` as a JSON string, quotes included: quotes, backslashes and control
// characters escaped, valid UTF-8 kept as it is, and each byte that is not part of a valid
// UTF-8 sequence written as U+FFFD, so that any device name gives a valid document.
void AppendJsonString(std::string& out, std::string_view text);

// The page's body: one line holding one object.
std::string StatusJson(const StatusFigures& figures);

// Answers the client's current request, whose credentials have been checked, with the page
// and the camera's fields; HEAD gets the head alone. Never cached: every reading is fresh.
void ServeStatusPage(CHttpClient& client, const CameraState& camera);

}  // namespace orbiscope
