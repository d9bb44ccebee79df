#include "app/Skin.h"

#include <QPainter>
#include <algorithm>
#include <cstring>
#include <span>

#include "image/Picture.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

QImage Decode(std::span<const unsigned char> bytes) {
  QImage image;
  if (!bytes.empty()) image.loadFromData(bytes.data(), static_cast<int>(bytes.size()));
  return image;
}

}  // namespace

QImage KeyOutMagenta(const QImage& image) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      if ((row[x] & 0xFFFFFFu) == 0xFF00FFu) row[x] = 0;
    }
  }
  return out;
}

const QPixmap& Skin::Picture(int id) const {
  auto it = pictures_.find(id);
  if (it == pictures_.end()) {
    const QImage image = Decode(resources_.Picture(id));
    it = pictures_.emplace(id, image.isNull() ? QPixmap() : QPixmap::fromImage(KeyOutMagenta(image))).first;
  }
  return it->second;
}

QIcon Skin::Icon(int id) const {
  const QImage image = Decode(resources_.Icon(id));
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

std::vector<QPixmap> Skin::ClipFrames(int id, int frameWidth) const {
  std::vector<QPixmap> frames;
  const QImage strip = Decode(resources_.Clip(id));
  if (strip.isNull() || frameWidth <= 0) return frames;
  for (int x = 0; x + frameWidth <= strip.width(); x += frameWidth)
    frames.push_back(QPixmap::fromImage(strip.copy(x, 0, frameWidth, strip.height())));
  return frames;
}

QCursor Skin::Cursor(int id, QPoint hotSpot) const {
  const QPixmap& picture = Picture(id);
  return picture.isNull() ? QCursor(Qt::PointingHandCursor) : QCursor(picture, hotSpot.x(), hotSpot.y());
}

QString Skin::String(int id) const { return QString::fromStdString(resources_.String(id)); }

QImage FrameToImage(const CPicture& frame) {
  if (!frame.HasPixels() || frame.Bpp() != 24) return {};
  const int w = static_cast<int>(frame.Width()), h = static_cast<int>(frame.Height());
  QImage image(w, h, QImage::Format_BGR888);
  for (int y = 0; y < h; ++y)
    std::memcpy(image.scanLine(y), frame.Row(static_cast<std::uint32_t>(h - 1 - y)), std::size_t(w) * 3);
  return image;
}

void ScaleFrameInto(const CPicture& frame, QImage& target) {
  const int tw = target.width(), th = target.height();
  if (!frame.HasPixels() || frame.Bpp() != 24 || tw <= 0 || th <= 0) {
    target.fill(Qt::black);
    return;
  }
  const int sw = static_cast<int>(frame.Width()), sh = static_cast<int>(frame.Height());
  // Source column span of every target column, computed once per frame.
  std::vector<int> x0(tw), x1(tw);
  for (int x = 0; x < tw; ++x) {
    x0[x] = int(std::int64_t(x) * sw / tw);
    x1[x] = std::max(x0[x] + 1, int(std::int64_t(x + 1) * sw / tw));
  }
  // Per target row: the covered source rows are first added column by column (a straight
  // run the compiler vectorises), then each target pixel adds its span of those sums.
  const std::size_t rowValues = std::size_t(sw) * 3;
  std::vector<std::uint32_t> columns(rowValues);
  for (int y = 0; y < th; ++y) {
    const int y0 = int(std::int64_t(y) * sh / th);
    const int y1 = std::max(y0 + 1, int(std::int64_t(y + 1) * sh / th));
    std::fill(columns.begin(), columns.end(), 0u);
    for (int sy = y0; sy < y1; ++sy) {
      // Bytes may alias anything; saying they do not here is what lets the loop vectorise.
      const std::uint8_t* __restrict row = frame.Row(static_cast<std::uint32_t>(sh - 1 - sy));  // bottom-up
      std::uint32_t* __restrict sums = columns.data();
      for (std::size_t i = 0; i < rowValues; ++i) sums[i] += row[i];
    }
    auto* out = reinterpret_cast<QRgb*>(target.scanLine(y));
    for (int x = 0; x < tw; ++x) {
      std::uint32_t b = 0, g = 0, r = 0;
      for (int sx = x0[x]; sx < x1[x]; ++sx) {
        b += columns[3 * sx];
        g += columns[3 * sx + 1];
        r += columns[3 * sx + 2];
      }
      const std::uint32_t n = std::uint32_t(x1[x] - x0[x]) * std::uint32_t(y1 - y0);
      out[x] = qRgb(int(r / n), int(g / n), int(b / n));
    }
  }
}

}  // namespace orbiscope
