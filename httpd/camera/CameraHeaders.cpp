#include "httpd/camera/CameraHeaders.h"

#include <cstdio>
#include <random>

namespace orbiscope {

std::string FormatCaptureTime(std::chrono::system_clock::time_point captured) {
  using namespace std::chrono;
  const long long ms = duration_cast<milliseconds>(captured.time_since_epoch()).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", ms / 1000, ms % 1000);
  return text;
}

std::string CameraFields(std::chrono::system_clock::time_point captured, std::string_view origin) {
  std::string out;
  if (captured.time_since_epoch().count() > 0) {
    out.append("X-Timestamp: ").append(FormatCaptureTime(captured)).append("\r\n");
  }
  std::size_t length = 0;
  while (length < origin.size() && static_cast<unsigned char>(origin[length]) >= 0x20 &&
         origin[length] != 0x7F) {
    ++length;
  }
  if (length > 0) {
    out.append("Access-Control-Allow-Origin: ").append(origin.substr(0, length)).append("\r\n");
  }
  return out;
}

std::string MakeNonceKey() {
  std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (int i = 0; i < 32; ++i) key += kHex[device() & 0xF];
  return key;
}

}  // namespace orbiscope
