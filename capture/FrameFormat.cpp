#include "capture/FrameFormat.h"

#include <cstdio>

namespace orbiscope {

std::int64_t RateToFrameTime(double framesPerSecond) {
  if (!(framesPerSecond > 0.0)) return 0;
  return static_cast<std::int64_t>(static_cast<double>(kUnitsPerSecond) / framesPerSecond);
}

double FrameTimeToRate(std::int64_t frameTime) {
  // A device that reports no duration would otherwise divide by zero; its rate stays open.
  if (frameTime <= 0) return 0.0;
  return static_cast<double>(kUnitsPerSecond / frameTime);
}

std::string CutDeviceName(std::string_view name) {
  std::size_t chars = 0;
  std::size_t i = 0;
  while (i < name.size()) {
    if (chars == kMaxDeviceNameChars) return std::string(name.substr(0, i));
    // Skip the continuation bytes of a multi-byte character.
    ++i;
    while (i < name.size() && (static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) ++i;
    ++chars;
  }
  return std::string(name);
}

std::string SizeName(int width, int height) {
  char text[32];
  std::snprintf(text, sizeof text, "%d x %d", width, height);
  return text;
}

}  // namespace orbiscope
