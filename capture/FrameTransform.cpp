#include "capture/FrameTransform.h"

#include <algorithm>
#include <cstring>

#include "capture/FrameFormat.h"
#include "image/Picture.h"

namespace orbiscope {
namespace {

// Output rows gathered together when a row runs down the source's columns: each source row
// is then read a cache line at a time instead of three bytes at a time.
constexpr std::int32_t kBandRows = 8;

struct Point {
  std::int64_t x, y;
};

// Where output pixel (x, y) comes from, both counted from the top-left corner.
Point SourceOf(const FrameTurn& turn, std::int64_t w, std::int64_t h, std::int64_t x,
               std::int64_t y) {
  Point p{};
  switch (turn.rotate) {
    case 90: p = {y, h - 1 - x}; break;
    case 180: p = {w - 1 - x, h - 1 - y}; break;
    case 270: p = {w - 1 - y, x}; break;
    default: p = {x, y}; break;
  }
  if (turn.flip == FrameFlip::kHorizontal) p.x = w - 1 - p.x;
  if (turn.flip == FrameFlip::kVertical) p.y = h - 1 - p.y;
  return p;
}

bool ShapedFor(const CPicture& picture, std::int32_t width, std::int32_t height) {
  return picture.HasPixels() &&
         picture.Width() == static_cast<std::uint32_t>(width) &&
         picture.Height() == static_cast<std::uint32_t>(height) && picture.Bpp() == 24 &&
         !picture.HasAlpha() && !picture.HasSelection();
}

}  // namespace

bool ParseRotation(std::string_view text, int& degrees) {
  for (int d : {0, 90, 180, 270}) {
    if (text == std::to_string(d)) {
      degrees = d;
      return true;
    }
  }
  return false;
}

bool ParseFlip(std::string_view text, FrameFlip& flip) {
  for (FrameFlip f : {FrameFlip::kNone, FrameFlip::kHorizontal, FrameFlip::kVertical}) {
    if (text == FlipName(f)) {
      flip = f;
      return true;
    }
  }
  return false;
}

const char* FlipName(FrameFlip flip) {
  switch (flip) {
    case FrameFlip::kHorizontal: return "HORIZONTAL";
    case FrameFlip::kVertical: return "VERTICAL";
    case FrameFlip::kNone: break;
  }
  return "NONE";
}

void TurnedSize(const FrameTurn& turn, std::int32_t width, std::int32_t height,
                std::int32_t& turnedWidth, std::int32_t& turnedHeight) {
  turnedWidth = turn.Sideways() ? height : width;
  turnedHeight = turn.Sideways() ? width : height;
}

bool TurnFrame(const std::uint8_t* source, std::int32_t width, std::int32_t height,
               const FrameTurn& turn, CPicture& target) {
  std::int32_t outWidth = 0, outHeight = 0;
  TurnedSize(turn, width, height, outWidth, outHeight);
  if (source == nullptr || width <= 0 || height <= 0) {
    target.Clear();
    return false;
  }
  if (!ShapedFor(target, outWidth, outHeight)) {
    // A fresh picture, so that nothing of an earlier one (resolution, quality, errors)
    // goes out with this frame: it is what a decode of the frame made.
    target = CPicture();
    if (target.Create(static_cast<std::uint32_t>(outWidth), static_cast<std::uint32_t>(outHeight),
                      24, kFormatBmp) == nullptr) {
      return false;
    }
  }

  // Every output row walks the source along a straight line: a start and a step per pixel,
  // in bytes, found from where three output pixels come from.
  const std::int64_t srcRow = RowBytes(width, 24);
  const std::uint8_t* srcTop = source + (height - 1) * srcRow;  // rows are stored bottom-up
  auto address = [&](Point p) { return p.x * 3 - p.y * srcRow; };
  const std::int64_t origin = address(SourceOf(turn, width, height, 0, 0));
  const std::int64_t stepX = address(SourceOf(turn, width, height, 1, 0)) - origin;
  const std::int64_t stepY = address(SourceOf(turn, width, height, 0, 1)) - origin;
  const std::uint32_t outRow = target.RowBytes();
  std::uint8_t* outTop = target.Bits() + static_cast<std::size_t>(outHeight - 1) * outRow;
  const std::size_t pixelBytes = static_cast<std::size_t>(outWidth) * 3;

  if (stepX == 3 || stepX == -3) {
    // Each output row is one source row, forwards or backwards.
    for (std::int32_t y = 0; y < outHeight; ++y) {
      std::uint8_t* out = outTop - static_cast<std::ptrdiff_t>(y) * outRow;
      const std::uint8_t* in = srcTop + origin + y * stepY;
      if (stepX == 3) {
        std::memcpy(out, in, pixelBytes);
        continue;
      }
      for (std::int32_t x = 0; x < outWidth; ++x, out += 3, in -= 3) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
      }
    }
  } else {
    for (std::int32_t band = 0; band < outHeight; band += kBandRows) {
      const std::int32_t bandEnd = std::min(outHeight, band + kBandRows);
      for (std::int32_t x = 0; x < outWidth; ++x) {
        const std::uint8_t* in = srcTop + origin + x * stepX + band * stepY;
        std::uint8_t* out = outTop - static_cast<std::ptrdiff_t>(band) * outRow + x * 3;
        for (std::int32_t y = band; y < bandEnd; ++y, in += stepY, out -= outRow) {
          out[0] = in[0];
          out[1] = in[1];
          out[2] = in[2];
        }
      }
    }
  }
  // The padding of each row, as a decode leaves it.
  if (outRow > pixelBytes) {
    for (std::int32_t y = 0; y < outHeight; ++y)
      std::memset(outTop - static_cast<std::ptrdiff_t>(y) * outRow + pixelBytes, 0, outRow - pixelBytes);
  }
  return true;
}

}  // namespace orbiscope
