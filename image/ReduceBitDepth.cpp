// Bit-depth reduction onto a palette by nearest colour, optionally with error diffusion.
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "image/PaletteSearch.h"
#include "image/Picture.h"

namespace orbiscope {

namespace {

// The sixteen colours of the classic 4-bit displays.
constexpr std::array<RGBQuad, 16> kStandard16 = {{
    {0, 0, 0, 0},       {0, 0, 128, 0},     {0, 128, 0, 0},     {0, 128, 128, 0},
    {128, 0, 0, 0},     {128, 0, 128, 0},   {128, 128, 0, 0},   {192, 192, 192, 0},
    {128, 128, 128, 0}, {0, 0, 255, 0},     {0, 255, 0, 0},     {0, 255, 255, 0},
    {255, 0, 0, 0},     {255, 0, 255, 0},   {255, 255, 0, 0},   {255, 255, 255, 0},
}};

// 3 bits of red, 3 of green, 2 of blue, each spread over 0..255.
RGBQuad Standard256(std::uint32_t i) {
  const std::uint32_t r = (i >> 5) & 7, g = (i >> 2) & 7, b = i & 3;
  return RGBQuad{static_cast<std::uint8_t>(b * 255 / 3), static_cast<std::uint8_t>(g * 255 / 7),
                 static_cast<std::uint8_t>(r * 255 / 7), 0};
}

std::uint32_t NormalisedBpp(std::uint32_t bpp) {
  if (bpp <= 1) return 1;
  if (bpp <= 4) return 4;
  if (bpp <= 8) return 8;
  return 24;
}

}  // namespace

void CPicture::MapToPalette(const CPicture& source, std::uint32_t searched) {
  PaletteSearch search(std::as_const(*this).Palette(), searched);
  const std::uint32_t w = Width(), h = Height(), bpp = Bpp();
  // 8, 2 or 1 indices a byte, the first in the high bits; powers of two, so masks and
  // shifts do instead of divisions in the pixel loop.
  const std::uint32_t perByte = 8 / bpp, lastInByte = perByte - 1;
  const std::uint32_t byteShift = bpp == 1 ? 3 : bpp == 4 ? 1 : 0;
  // A palette source is read a row at a time into blue-green-red, as 24-bit rows are stored.
  std::vector<std::uint8_t> expanded(source.Bpp() == 24 ? 0 : 3 * std::size_t{w});
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = source.RowAt(y);
    if (!expanded.empty()) {
      for (std::uint32_t x = 0; x < w; ++x) {
        const RGBQuad c = source.GetPixelColor(x, y, false);
        expanded[3 * x] = c.blue;
        expanded[3 * x + 1] = c.green;
        expanded[3 * x + 2] = c.red;
      }
      in = expanded.data();
    }
    std::uint8_t* out = RowAt(y);
    // Neighbours often share a colour: the answer for the previous one is kept.
    std::uint32_t lastKey = 0xFFFFFFFFu;
    std::uint8_t index = 0;
    std::uint32_t packed = 0;
    for (std::uint32_t x = 0; x < w; ++x, in += 3) {
      const std::uint32_t key = in[0] | (in[1] << 8) | (in[2] << 16);
      if (key != lastKey) {
        index = search.Nearest(RGBQuad{in[0], in[1], in[2], 0});
        lastKey = key;
      }
      packed = (packed << bpp) | index;
      if ((x & lastInByte) == lastInByte) {
        out[x >> byteShift] = static_cast<std::uint8_t>(packed);
        packed = 0;
      }
    }
    // The unused low bits of a partial last byte stay zero.
    if ((w & lastInByte) != 0) {
      out[w >> byteShift] = static_cast<std::uint8_t>(packed << ((perByte - (w & lastInByte)) * bpp));
    }
  }
}

bool CPicture::ReduceBitDepth(std::uint32_t target, bool errorDiffusion, const RGBQuad* palette,
                              std::uint32_t important) {
  if (!HasPixels() || Bpp() < target) return false;
  if (Bpp() == target && important == 0) return true;
  const std::uint32_t bpp = NormalisedBpp(target);
  if (bpp == 24) return false;

  CPicture reduced(info_.format);
  reduced.header_.biXPelsPerMeter = header_.biXPelsPerMeter;
  reduced.header_.biYPelsPerMeter = header_.biYPelsPerMeter;
  if (reduced.Create(Width(), Height(), bpp, info_.format) == nullptr) {
    SetLastError(reduced.LastError());
    return false;
  }
  reduced.info_ = info_;
  reduced.lastError_ = lastError_;
  reduced.selection_ = CopyPlane(selection_);
  reduced.alpha_ = CopyPlane(alpha_);

  const std::uint32_t entries = reduced.PaletteSize();
  RGBQuad* pal = reduced.Palette();
  if (palette != nullptr) {
    std::memcpy(pal, palette, 4u * entries);
  } else if (bpp == 1) {
    pal[0] = RGBQuad{0, 0, 0, 0};
    pal[1] = RGBQuad{255, 255, 255, 0};
  } else if (bpp == 4) {
    std::copy(kStandard16.begin(), kStandard16.end(), pal);
  } else {
    for (std::uint32_t i = 0; i < 256; ++i) pal[i] = Standard256(i);
  }
  reduced.header_.biClrImportant = std::min(important, entries);
  // Row padding and the unused bits of a row's last byte go into files as stored (WBMP
  // rows, PNG rows): they must be zero, not whatever the memory held before.
  std::memset(reduced.pixels_, 0, reduced.header_.biSizeImage);
  reduced.StoreHeader();

  const std::uint32_t w = Width(), h = Height();
  if (!errorDiffusion) {
    reduced.MapToPalette(*this, reduced.SearchedEntries());
  } else {
    // Floyd-Steinberg: the error of each pixel goes 7/16 right, 3/16 below-left, 5/16 below
    // and 1/16 below-right, "below" being the next row visited.
    PaletteSearch search(std::as_const(reduced).Palette(), reduced.SearchedEntries());
    std::vector<int> current(3 * (static_cast<std::size_t>(w) + 2)), next(current.size());
    for (std::uint32_t y = 0; y < h; ++y) {
      std::fill(next.begin(), next.end(), 0);
      for (std::uint32_t x = 0; x < w; ++x) {
        const RGBQuad c = GetPixelColor(x, y, false);
        int want[3] = {c.blue + current[3 * (x + 1)] / 16, c.green + current[3 * (x + 1) + 1] / 16,
                       c.red + current[3 * (x + 1) + 2] / 16};
        for (int& v : want) v = std::clamp(v, 0, 255);
        const std::uint8_t index = search.Nearest(
            RGBQuad{static_cast<std::uint8_t>(want[0]), static_cast<std::uint8_t>(want[1]),
                    static_cast<std::uint8_t>(want[2]), 0});
        reduced.SetPixelIndex(x, y, index);
        const RGBQuad got = reduced.GetPaletteColor(index);
        const int err[3] = {want[0] - got.blue, want[1] - got.green, want[2] - got.red};
        for (int k = 0; k < 3; ++k) {
          current[3 * (x + 2) + k] += 7 * err[k];
          next[3 * x + k] += 3 * err[k];
          next[3 * (x + 1) + k] += 5 * err[k];
          next[3 * (x + 2) + k] += err[k];
        }
      }
      std::swap(current, next);
    }
  }
  TakeOver(reduced);
  return true;
}

}  // namespace orbiscope
