// Reading and writing single pixels, by colour or by palette index.
#include "image/Picture.h"

namespace orbiscope {

RGBQuad CPicture::ReadPixel(std::uint32_t x, std::uint32_t y) const {
  RGBQuad c;
  if (header_.biBitCount == 24) {
    const std::uint8_t* p = RowAt(y) + 3u * x;
    c = RGBQuad{p[0], p[1], p[2], info_.transparentColor.alpha};
  } else {
    c = GetPaletteColor(GetPixelIndex(x, y));
  }
  return c;
}

RGBQuad CPicture::GetPixelColor(std::int64_t x, std::int64_t y, bool withAlpha) const {
  const std::int64_t w = Width(), h = Height();
  const bool inside = block_ != nullptr && x >= 0 && y >= 0 && x < w && y < h;
  if (!inside) {
    if (info_.transparentIndex >= 0 && Palette() != nullptr) {
      return GetPaletteColor(static_cast<std::uint32_t>(info_.transparentIndex));
    }
    // The fallback to pixel (0, 0) is taken once; a picture without it answers a fixed
    // colour instead of reading outside the block.
    if (info_.transparentIndex == -1 && block_ != nullptr && w > 0 && h > 0) {
      x = 0;
      y = 0;
    } else {
      return info_.transparentColor;
    }
  }
  RGBQuad c = ReadPixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
  if (withAlpha && alpha_ != nullptr) {
    c.alpha = alpha_[static_cast<std::size_t>(y) * Width() + static_cast<std::size_t>(x)];
  }
  return c;
}

std::uint8_t CPicture::GetPixelIndex(std::int64_t x, std::int64_t y) const {
  if (block_ == nullptr || header_.biBitCount > 8 || x < 0 || y < 0 || x >= Width() ||
      y >= Height()) {
    return 0;
  }
  const std::uint8_t* row = RowAt(static_cast<std::uint32_t>(y));
  switch (header_.biBitCount) {
    case 8: return row[x];
    case 4: return static_cast<std::uint8_t>((row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F);
    default: return static_cast<std::uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
  }
}

void CPicture::SetPixelIndex(std::int64_t x, std::int64_t y, std::uint8_t index) {
  if (block_ == nullptr || header_.biBitCount > 8 || x < 0 || y < 0 || x >= Width() ||
      y >= Height()) {
    return;
  }
  std::uint8_t* row = RowAt(static_cast<std::uint32_t>(y));
  switch (header_.biBitCount) {
    case 8: row[x] = index; break;
    case 4: {
      const int shift = (x & 1) ? 0 : 4;
      row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & ~(0x0F << shift)) | ((index & 0x0F) << shift));
      break;
    }
    default: {
      const int shift = 7 - static_cast<int>(x & 7);
      row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1 << shift)) | ((index & 1) << shift));
      break;
    }
  }
}

void CPicture::SetPixelColor(std::int64_t x, std::int64_t y, RGBQuad color, bool withAlpha) {
  if (block_ == nullptr || x < 0 || y < 0 || x >= Width() || y >= Height()) return;
  if (header_.biBitCount <= 8) {
    SetPixelIndex(x, y, GetNearestIndex(color));
  } else {
    std::uint8_t* p = RowAt(static_cast<std::uint32_t>(y)) + 3u * x;
    p[0] = color.blue;
    p[1] = color.green;
    p[2] = color.red;
  }
  if (withAlpha && alpha_ != nullptr) {
    alpha_[static_cast<std::size_t>(y) * Width() + static_cast<std::size_t>(x)] = color.alpha;
  }
}

}  // namespace orbiscope
