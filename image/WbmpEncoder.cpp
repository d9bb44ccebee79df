#include "image/WbmpEncoder.h"

#include "image/CodecSupport.h"

namespace orbiscope {

namespace {

constexpr std::uint32_t kMaxSide = 255;

// A WBMP multi-byte integer: 7 bits a byte, most significant group first, the top bit
// set on every byte but the last.
std::size_t PutMultiByte(std::uint8_t* out, std::uint32_t value) {
  std::uint8_t groups[5];
  std::size_t n = 0;
  do {
    groups[n++] = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(groups[n - 1 - i] | (i + 1 < n ? 0x80 : 0));
  }
  return n;
}

}  // namespace

PictureResult EncodeWbmp(const CPicture& pic, const PictureInfo&, ImageStream* stream) {
  if (PictureResult checked = CheckWriterInput(pic, stream); !checked) return checked;
  const std::uint32_t w = pic.Width(), h = pic.Height();
  if (w > kMaxSide || h > kMaxSide || pic.Bpp() != 1) {
    return PictureResult::Failure("Can't save this image as WBMP");
  }
  std::uint8_t header[2 + 5 + 5] = {0, 0};
  std::size_t n = 2;
  n += PutMultiByte(header + n, w);
  n += PutMultiByte(header + n, h);
  bool ok = stream->WriteItems(header, 1, n) == n;
  const std::size_t rowBytes = (w + 7) / 8;
  for (std::uint32_t i = 0; ok && i < h && rowBytes; ++i) {
    ok = stream->WriteItems(pic.Row(h - 1 - i), 1, rowBytes) == rowBytes;
  }
  if (!ok) return PictureResult::Failure("Write Error in WBMP file");
  return PictureResult::Success();
}

}  // namespace orbiscope
