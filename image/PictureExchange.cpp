// Lossless exchange with plain buffers for toolkit and font code.
#include <cstring>

#include "image/Picture.h"

namespace orbiscope {

bool CPicture::FromBgr24(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                         std::size_t stride, bool topDown) {
  if (pixels == nullptr && width != 0 && height != 0) return false;
  if (!Create(width, height, 24, info_.format)) return false;
  CopyRowsIn(pixels, 3u * static_cast<std::size_t>(width), stride, topDown);
  return true;
}

void CPicture::CopyRowsIn(const std::uint8_t* src, std::size_t bytes, std::size_t stride,
                          bool topDown) {
  const std::uint32_t height = Height();
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t from = topDown ? height - 1 - y : y;
    std::memcpy(Row(y), src + from * stride, bytes);
    std::memset(Row(y) + bytes, 0, rowBytes_ - bytes);
  }
}

bool CPicture::ToBgr24(std::uint8_t* pixels, std::size_t stride, bool topDown) const {
  if (block_ == nullptr || (pixels == nullptr && Width() != 0 && Height() != 0)) return false;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* out = pixels + (topDown ? h - 1 - y : y) * stride;
    if (header_.biBitCount == 24) {
      std::memcpy(out, Row(y), 3u * static_cast<std::size_t>(w));
      continue;
    }
    for (std::uint32_t x = 0; x < w; ++x) {
      const RGBQuad c = GetPaletteColor(GetPixelIndex(x, y));
      out[3 * x] = c.blue;
      out[3 * x + 1] = c.green;
      out[3 * x + 2] = c.red;
    }
  }
  return true;
}

bool CPicture::FromMask8(const std::uint8_t* mask, std::uint32_t width, std::uint32_t height,
                         std::size_t stride, bool topDown) {
  if (mask == nullptr && width != 0 && height != 0) return false;
  if (!Create(width, height, 8, info_.format)) return false;
  SetGreyPalette();
  CopyRowsIn(mask, width, stride, topDown);
  return true;
}

bool CPicture::ToMask8(std::uint8_t* mask, std::size_t stride, bool topDown) const {
  if (block_ == nullptr || header_.biBitCount > 8) return false;
  if (mask == nullptr && Width() != 0 && Height() != 0) return false;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* out = mask + (topDown ? h - 1 - y : y) * stride;
    if (header_.biBitCount == 8) {
      std::memcpy(out, Row(y), w);
    } else {
      for (std::uint32_t x = 0; x < w; ++x) out[x] = GetPixelIndex(x, y);
    }
  }
  return true;
}

}  // namespace orbiscope
