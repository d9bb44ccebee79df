#include "httpd/camera/StatusPage.h"

#include <charconv>

#include "httpd/HttpServer.h"
#include "httpd/camera/CameraHeaders.h"
#include "httpd/camera/CameraState.h"
#include "httpd/client/HttpClient.h"

namespace orbiscope {
namespace {

using Clock = std::chrono::steady_clock;

const char* StateName(CaptureRun run) {
  switch (run) {
    case CaptureRun::Running: return "running";
    case CaptureRun::Paused: return "paused";
    case CaptureRun::NoCamera: return "no camera";
    case CaptureRun::Stopped: break;
  }
  return "stopped";
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at the start of `text`, or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
std::size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
  }
  return length;
}

template <typename Integer>
void AppendNumber(std::string& out, std::string_view name, Integer value) {
  out.append(",\"").append(name).append("\":").append(std::to_string(value));
}

}  // namespace

StatusFigures ReadStatus(const CameraState& camera, const ServerCounts& counts,
                         Clock::time_point now) {
  StatusFigures figures;
  figures.capture = camera.m_Status.Capture();
  figures.fps = camera.m_Status.FrameRate(now);
  const SharedFrame frame = camera.m_LatestFrame.Share();
  figures.frames = frame.generation;
  if (frame.generation > 0) figures.captured = frame.captured;
  figures.connections = counts.openConnections;
  figures.streams = camera.m_nStreams.load(std::memory_order_relaxed);
  figures.requests = counts.requestsServed;
  figures.uptimeSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - camera.m_ProgramStarted).count();
  return figures;
}

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.front());
    std::size_t taken = 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const std::size_t length = Utf8SequenceLength(text); length > 0) {
      out.append(text.substr(0, length));
      taken = length;
    } else {
      out += "\\ufffd";
    }
    text.remove_prefix(taken);
  }
  out += '"';
}

std::string StatusJson(const StatusFigures& f) {
  std::string out = "{\"state\":";
  AppendJsonString(out, StateName(f.capture.run));
  out += ",\"device\":";
  AppendJsonString(out, f.capture.device);
  AppendNumber(out, "width", f.capture.width);
  AppendNumber(out, "height", f.capture.height);
  // Not printf: the window's locale may write a decimal comma, which JSON has no room for.
  char fps[32];
  const auto written = std::to_chars(fps, fps + sizeof fps, f.fps, std::chars_format::fixed, 1);
  out.append(",\"fps\":").append(fps, written.ptr);
  AppendNumber(out, "frames", f.frames);
  AppendNumber(out, "connections", f.connections);
  AppendNumber(out, "streams", f.streams);
  AppendNumber(out, "requests", f.requests);
  AppendNumber(out, "uptime", f.uptimeSeconds);
  out.append(",\"captured\":").append(FormatCaptureTime(f.captured));
  out += "}\n";
  return out;
}

void ServeStatusPage(CHttpClient& client, const CameraState& camera) {
  const std::string body =
      StatusJson(ReadStatus(camera, client.Server().GetCounts(), Clock::now()));
  const std::string fields = CameraFields({}, camera.m_sCorsOrigin);
  Response response;
  response.fields.AddCacheControl("no-cache");
  response.type = "application/json";
  response.routeFields = fields;
  response.bytes = body;
  // A HEAD answer logs the body it did not send as none.
  if (client.Request().verb == HttpVerb::Head) response.logged = 0;
  response.headlessFailure = "ServeStatusPage, Failed to send to socket, Error:";
  client.Respond(std::move(response));
}

}  // namespace orbiscope
