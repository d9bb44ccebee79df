#include "capture/Overlay.h"

#include <algorithm>

#include "image/Picture.h"

namespace orbiscope {

void ClampOverlayPosition(std::int32_t& x, std::int32_t& y, std::int32_t captureWidth,
                          std::int32_t captureHeight) {
  if (x == kUnplaced && y == kUnplaced) {
    x = 0;
    y = captureHeight;
  }
  if (x >= captureWidth) x = 0;
  if (y >= captureHeight) y = captureHeight;
}

std::string TimeText(int timeMode, std::time_t now) {
  const char* format = nullptr;
  switch (timeMode) {
    case kTimeOfDay: format = "%H:%M:%S"; break;
    case kTimeDayAndTime: format = "%d %H:%M:%S"; break;
    case kTimeLocale: format = "%c"; break;
    default: return {};
  }
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return {};
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, format, &local);
  return std::string(text, n);
}

namespace {

// Sets every image pixel under a covered mask pixel, each moved by (dx, dy), to one colour.
// Mask row iy (bottom-up) lands on stored row (height - 1 - y) + iy; only the part that
// overlaps the image is visited, so a text beyond an edge is clipped, never wrapped.
void PaintMask(CPicture& image, const TextMaskImage& mask, std::int64_t x, std::int64_t y,
               std::int64_t dx, std::int64_t dy, const std::uint8_t bgr[3]) {
  const std::int64_t imageWidth = image.Width();
  const std::int64_t imageHeight = image.Height();
  const std::int64_t left = x + dx;
  const std::int64_t baseRow = imageHeight - 1 - y + dy;
  const std::int64_t rowFrom = std::max<std::int64_t>(0, -baseRow);
  const std::int64_t rowTo = std::min<std::int64_t>(mask.height, imageHeight - baseRow);
  const std::int64_t colFrom = std::max<std::int64_t>(0, -left);
  const std::int64_t colTo = std::min<std::int64_t>(mask.width, imageWidth - left);
  for (std::int64_t iy = rowFrom; iy < rowTo; ++iy) {
    const std::uint8_t* m = mask.coverage.data() + iy * mask.width;
    std::uint8_t* row = image.Row(static_cast<std::uint32_t>(baseRow + iy));
    for (std::int64_t ix = colFrom; ix < colTo; ++ix) {
      if (m[ix] == 0) continue;
      std::uint8_t* p = row + 3 * (left + ix);
      p[0] = bgr[0];
      p[1] = bgr[1];
      p[2] = bgr[2];
    }
  }
}

}  // namespace

void DrawOverlayText(CPicture& image, TextMaskRenderer& renderer, std::int32_t x, std::int32_t y,
                     std::string_view text, std::uint32_t colour, std::string_view face,
                     std::int32_t height, std::int32_t weight, bool italic, bool underline,
                     bool outline) {
  if (!image.HasPixels() || image.Bpp() != 24 || text.empty()) return;
  TextFont font;
  font.face.assign(face.substr(0, std::min<std::size_t>(face.size(), 31)));
  font.height = height;
  font.weight = weight;
  font.italic = italic;
  font.underline = underline;
  const TextMaskImage& mask = renderer.Render(text, font);
  if (mask.width == 0) return;

  if (outline) {
    // Eight shifted passes over a mask of a few thousand pixels cost less than building a
    // dilated copy of it, and leave the text's own pixels to the colour pass below.
    static constexpr std::uint8_t kBlack[3] = {0, 0, 0};
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        if (dx != 0 || dy != 0) PaintMask(image, mask, x, y, dx, dy, kBlack);
  }
  const std::uint8_t bgr[3] = {static_cast<std::uint8_t>((colour >> 16) & 0xFF),
                               static_cast<std::uint8_t>((colour >> 8) & 0xFF),
                               static_cast<std::uint8_t>(colour & 0xFF)};
  PaintMask(image, mask, x, y, 0, 0, bgr);
}

void StampLogo(CPicture& image, const CPicture& logo) {
  if (!image.HasPixels() || !logo.HasPixels() || image.Bpp() != 24) return;
  const std::uint32_t rows = std::min(image.Height(), logo.Height());
  const std::uint32_t cols = std::min(image.Width(), logo.Width());
  const bool logo24 = logo.Bpp() == 24;
  for (std::uint32_t r = 0; r < rows; ++r) {
    std::uint8_t* dst = image.Row(r);
    const std::uint8_t* src = logo.Row(r);
    for (std::uint32_t c = 0; c < cols; ++c) {
      std::uint8_t add[3];
      if (logo24) {
        add[0] = src[3 * c];
        add[1] = src[3 * c + 1];
        add[2] = src[3 * c + 2];
      } else {
        const RGBQuad q = logo.GetPixelColor(c, r, false);
        add[0] = q.blue;
        add[1] = q.green;
        add[2] = q.red;
      }
      for (int k = 0; k < 3; ++k) {
        const unsigned sum = dst[3 * c + k] + add[k];
        dst[3 * c + k] = static_cast<std::uint8_t>(sum > 255 ? 255 : sum);
      }
    }
  }
}

}  // namespace orbiscope
