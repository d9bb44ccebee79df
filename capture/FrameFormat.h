#pragma once
// The arithmetic of frame sizes and rates shared by the graph, the grabber and the back-ends.
//
// Frames travel as 24-bit blue-green-red pixels, rows bottom-up, each row padded to a
// multiple of 4 bytes. Frame durations are kept in 100 ns units, so 15 frames a second is
// 666 666 and 666 666 is 15 frames a second again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orbiscope {

// 100 ns units in one second.
inline constexpr std::int64_t kUnitsPerSecond = 10'000'000;
// Longest device name kept, in characters.
inline constexpr std::size_t kMaxDeviceNameChars = 25;

// Bytes of one row of width pixels at bitCount bits, padded to 4 bytes.
constexpr std::int64_t RowBytes(std::int64_t width, int bitCount) {
  return (bitCount * width + 31) / 32 * 4;
}
// Bytes of a frame (the height's sign, which marks row order, is ignored).
constexpr std::int64_t FrameBytes(std::int64_t width, std::int64_t height, int bitCount) {
  return RowBytes(width, bitCount) * (height < 0 ? -height : height);
}

// Frame duration for a rate, truncated: 15.0 gives 666 666. 0 for a rate that is not above 0.
std::int64_t RateToFrameTime(double framesPerSecond);
// Rate for a duration by integer division: 666 666 gives 15.0. 0.0 for a duration that is
// not above 0 (the device then decides).
double FrameTimeToRate(std::int64_t frameTime);

// The first 25 characters of a UTF-8 name; a character is never split.
std::string CutDeviceName(std::string_view name);

// "%d x %d" of width and height: the entries of the size list.
std::string SizeName(int width, int height);

}  // namespace orbiscope
