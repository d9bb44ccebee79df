// Whole-picture transforms: flipping, mirroring, and resampling (nearest neighbour as the
// camera routes use it, bilinear and bicubic).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "image/PaletteSearch.h"
#include "image/Picture.h"

namespace orbiscope {

namespace {

std::uint8_t Clamp255(float v) {
  if (v <= 0.0f) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<std::uint8_t>(v + 0.5f);
}

// Catmull-Rom weights (a = -0.5) for the four samples around a fractional position.
void CubicWeights(float t, float w[4]) {
  const float a = -0.5f;
  auto k = [a](float x) {
    x = std::fabs(x);
    if (x <= 1.0f) return (a + 2.0f) * x * x * x - (a + 3.0f) * x * x + 1.0f;
    if (x < 2.0f) return a * x * x * x - 5.0f * a * x * x + 8.0f * a * x - 4.0f * a;
    return 0.0f;
  };
  w[0] = k(1.0f + t);
  w[1] = k(t);
  w[2] = k(1.0f - t);
  w[3] = k(2.0f - t);
}

}  // namespace

PictureResult CPicture::ScaleInPlace(std::uint32_t newWidth, std::uint32_t newHeight, int mode) {
  return Scale(newWidth, newHeight, mode, *this);
}

PictureResult CPicture::Scale(std::uint32_t newWidth, std::uint32_t newHeight, int mode,
                              CPicture& target) const {
  // A stopped resampling leaves rows never written: handing those on would show stale
  // memory, so the target stays as it was and the answer is a failure.
  auto Cancelled = [] { return PictureResult::Failure("Cancelled"); };
  if (newWidth == 0 || newHeight == 0) return PictureResult::Failure("");
  if (newWidth == Width() && newHeight == Height()) {
    target.CopyFrom(*this, true, true, true);
    return PictureResult::Success();
  }
  const float xFactor = static_cast<float>(Width()) / static_cast<float>(newWidth);
  const float yFactor = static_cast<float>(Height()) / static_cast<float>(newHeight);

  CPicture scaled(info_.format);
  scaled.info_ = info_;
  scaled.lastError_ = lastError_;
  scaled.header_.biXPelsPerMeter = header_.biXPelsPerMeter;
  scaled.header_.biYPelsPerMeter = header_.biYPelsPerMeter;
  if (scaled.Create(newWidth, newHeight, Bpp(), info_.format) == nullptr) {
    return PictureResult::Failure(scaled.LastError());
  }
  scaled.SetPalette(Palette(), std::min<std::uint32_t>(PaletteSize(), 256));
  // Rows are written pixel by pixel: their padding and the unused bits of a partial last
  // byte would keep whatever the memory held, and a BMP file takes the rows as stored.
  const std::size_t written = std::size_t{newWidth} * Bpp() / 8;
  for (std::uint32_t y = 0; y < newHeight; ++y) {
    std::memset(scaled.RowAt(y) + written, 0, scaled.RowBytes() - written);
  }

  const std::int64_t w = Width(), h = Height();
  const bool palette = Bpp() <= 8;
  // One search serves the whole picture; a palette target maps each colour through it.
  PaletteSearch search(std::as_const(scaled).Palette(), scaled.SearchedEntries());
  auto put = [&](std::uint32_t x, std::uint32_t y, RGBQuad color) {
    if (palette) {
      scaled.SetPixelIndex(x, y, search.Nearest(color));
    } else {
      scaled.SetPixelColor(x, y, color);
    }
  };
  if (mode == kScaleNearest) {
    std::vector<std::int64_t> columns(newWidth);
    for (std::uint32_t x = 0; x < newWidth; ++x) {
      columns[x] = static_cast<std::int64_t>(static_cast<float>(x) * xFactor);
    }
    for (std::uint32_t y = 0; y < newHeight; ++y) {
      if (info_.escape) return Cancelled();
      const auto sy = static_cast<std::int64_t>(static_cast<float>(y) * yFactor);
      const bool rowInside = HasPixels() && sy >= 0 && sy < h;
      std::uint8_t* out = scaled.Row(y);
      for (std::uint32_t x = 0; x < newWidth; ++x) {
        const std::int64_t sx = columns[x];
        if (!palette && rowInside && sx < w) {
          const std::uint8_t* in = RowAt(static_cast<std::uint32_t>(sy)) + 3 * sx;
          out[3 * x] = in[0];
          out[3 * x + 1] = in[1];
          out[3 * x + 2] = in[2];
        } else {
          put(x, y, GetPixelColor(sx, sy, false));
        }
      }
    }
  } else {
    const bool cubic = mode == kScaleBicubic;
    for (std::uint32_t y = 0; y < newHeight; ++y) {
      if (info_.escape) return Cancelled();
      const float fy = (static_cast<float>(y) + 0.5f) * yFactor - 0.5f;
      const auto y0 = static_cast<std::int64_t>(std::floor(fy));
      const float ty = fy - static_cast<float>(y0);
      for (std::uint32_t x = 0; x < newWidth; ++x) {
        const float fx = (static_cast<float>(x) + 0.5f) * xFactor - 0.5f;
        const auto x0 = static_cast<std::int64_t>(std::floor(fx));
        const float tx = fx - static_cast<float>(x0);
        auto sample = [&](std::int64_t sx, std::int64_t sy) {
          return GetPixelColor(std::clamp<std::int64_t>(sx, 0, w ? w - 1 : 0),
                               std::clamp<std::int64_t>(sy, 0, h ? h - 1 : 0), false);
        };
        float b = 0, g = 0, r = 0;
        if (cubic) {
          float wx[4], wy[4];
          CubicWeights(tx, wx);
          CubicWeights(ty, wy);
          for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) {
              const RGBQuad c = sample(x0 - 1 + i, y0 - 1 + j);
              const float k = wx[i] * wy[j];
              b += k * c.blue;
              g += k * c.green;
              r += k * c.red;
            }
          }
        } else {
          const RGBQuad c00 = sample(x0, y0), c10 = sample(x0 + 1, y0);
          const RGBQuad c01 = sample(x0, y0 + 1), c11 = sample(x0 + 1, y0 + 1);
          auto mix = [&](std::uint8_t a, std::uint8_t bb, std::uint8_t c, std::uint8_t d) {
            return (a * (1 - tx) + bb * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty;
          };
          b = mix(c00.blue, c10.blue, c01.blue, c11.blue);
          g = mix(c00.green, c10.green, c01.green, c11.green);
          r = mix(c00.red, c10.red, c01.red, c11.red);
        }
        put(x, y, RGBQuad{Clamp255(b), Clamp255(g), Clamp255(r), 0});
      }
    }
  }

  if (alpha_ != nullptr && scaled.AlphaCreate()) {
    for (std::uint32_t y = 0; y < newHeight; ++y) {
      const auto sy = static_cast<std::int64_t>(static_cast<float>(y) * yFactor);
      for (std::uint32_t x = 0; x < newWidth; ++x) {
        const auto sx = static_cast<std::int64_t>(static_cast<float>(x) * xFactor);
        const bool inside = sx >= 0 && sy >= 0 && sx < w && sy < h;
        scaled.alpha_[static_cast<std::size_t>(y) * newWidth + x] =
            inside ? alpha_[static_cast<std::size_t>(sy * w + sx)] : 0;
      }
    }
  }

  target.TakeOver(scaled);
  return PictureResult::Success();
}

void CPicture::FlipRows() {
  if (!HasPixels()) return;
  const std::uint32_t h = Height();
  const std::size_t rb = rowBytes_;
  std::vector<std::uint8_t> tmp(rb);
  for (std::uint32_t y = 0; y < h / 2; ++y) {
    std::uint8_t* a = Row(y);
    std::uint8_t* b = Row(h - 1 - y);
    std::memcpy(tmp.data(), a, rb);
    std::memcpy(a, b, rb);
    std::memcpy(b, tmp.data(), rb);
  }
  const std::size_t w = Width();
  for (std::uint8_t* plane : {alpha_.get(), selection_.get()}) {
    if (plane == nullptr) continue;
    for (std::uint32_t y = 0; y < h / 2; ++y) {
      std::swap_ranges(plane + y * w, plane + (y + 1) * w, plane + (h - 1 - y) * w);
    }
  }
}

void CPicture::MirrorColumns() {
  if (!HasPixels()) return;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    if (header_.biBitCount == 24) {
      std::uint8_t* row = Row(y);
      for (std::uint32_t l = 0, r = w ? w - 1 : 0; l < r; ++l, --r) {
        std::swap_ranges(row + 3 * l, row + 3 * l + 3, row + 3 * r);
      }
    } else {
      for (std::uint32_t l = 0, r = w ? w - 1 : 0; l < r; ++l, --r) {
        const std::uint8_t a = GetPixelIndex(l, y), b = GetPixelIndex(r, y);
        SetPixelIndex(l, y, b);
        SetPixelIndex(r, y, a);
      }
    }
  }
  for (std::uint8_t* plane : {alpha_.get(), selection_.get()}) {
    if (plane == nullptr) continue;
    for (std::uint32_t y = 0; y < h; ++y) std::reverse(plane + y * w, plane + (y + 1) * w);
  }
}

}  // namespace orbiscope
