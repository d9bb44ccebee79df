#include "capture/FrameTransform.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "capture/FrameFormat.h"
#include "image/Picture.h"

namespace orbiscope {
namespace {

// The side, in pixels, of the square tiles a quarter turn is gathered in. A tile's source
// lines (one per output column) and its output lines stay in the first-level cache, and
// their pages in the address cache, until the tile is done: each line read from memory is
// used whole, whatever the frame's width.
constexpr std::int32_t kTile = 32;

inline void CopyPixel(std::uint8_t* out, const std::uint8_t* in) {
  out[0] = in[0];
  out[1] = in[1];
  out[2] = in[2];
}

// count pixels, each step bytes after the last, into one output row. Four pixels are moved
// as three words where each of their four-byte reads stays inside the source: three-byte
// moves cost more than the gather itself.
void GatherRow(std::uint8_t* out, const std::uint8_t* in, std::int64_t step, std::int32_t count,
               const std::uint8_t* sourceEnd) {
  std::int32_t x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // The last pixel read is the one furthest on, whichever way step runs.
    const std::uint8_t* furthest = step > 0 ? in + (count - 1) * step : in;
    if (furthest + 4 <= sourceEnd) {
      for (; x + 4 <= count; x += 4, in += 4 * step, out += 12) {
        std::uint32_t a, b, c, d;
        std::memcpy(&a, in, 4);
        std::memcpy(&b, in + step, 4);
        std::memcpy(&c, in + 2 * step, 4);
        std::memcpy(&d, in + 3 * step, 4);
        // Three stores of their own: one store of an array made on the stack halves the
        // speed.
        const std::uint32_t w0 = (a & 0xFFFFFFu) | (b << 24);
        const std::uint32_t w1 = ((b >> 8) & 0xFFFFu) | (c << 16);
        const std::uint32_t w2 = ((c >> 16) & 0xFFu) | (d << 8);
        std::memcpy(out, &w0, 4);
        std::memcpy(out + 4, &w1, 4);
        std::memcpy(out + 8, &w2, 4);
      }
    }
  }
  for (; x < count; ++x, in += step, out += 3) CopyPixel(out, in);
}

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
  const std::uint8_t* sourceEnd = source + height * srcRow;
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
      if (stepX == 3)
        std::memcpy(out, in, pixelBytes);
      else
        GatherRow(out, in, stepX, outWidth, sourceEnd);
    }
  } else {
    // Each output row runs down the source's columns.
    for (std::int32_t tileY = 0; tileY < outHeight; tileY += kTile) {
      const std::int32_t yEnd = std::min(outHeight, tileY + kTile);
      for (std::int32_t tileX = 0; tileX < outWidth; tileX += kTile) {
        const std::int32_t xCount = std::min(outWidth - tileX, kTile);
        for (std::int32_t y = tileY; y < yEnd; ++y)
          GatherRow(outTop - static_cast<std::ptrdiff_t>(y) * outRow + tileX * 3,
                    srcTop + origin + tileX * stepX + y * stepY, stepX, xCount, sourceEnd);
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
