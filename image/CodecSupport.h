#pragma once
// Small pieces every reader and writer shares.

#include <cstdint>

#include "image/ImageStream.h"
#include "image/Picture.h"

namespace orbiscope {

// The check every writer runs first: a stream ("null file handler") and pixels
// ("null image!!!"): a failure with that text when either is missing.
PictureResult CheckWriterInput(const CPicture& picture, ImageStream* stream);

// Little-endian numbers as the file formats store them.
inline std::uint16_t ReadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void WriteLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void WriteLe32(std::uint8_t* p, std::uint32_t v) {
  WriteLe16(p, v);
  WriteLe16(p + 2, v >> 16);
}

}  // namespace orbiscope
