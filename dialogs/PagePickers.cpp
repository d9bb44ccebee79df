#include "dialogs/PagePickers.h"

#include <algorithm>
#include <cmath>

#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>

namespace orbiscope {
namespace {

// Stored heights are pixels of the frame; a size in points is taken at the classic
// 96 pixels per inch, so 10 points give the familiar 13-pixel caption.
constexpr double kPixelsPerPoint = 96.0 / 72.0;
// The pixel height fontconfig is asked for when the stored height is 0.
constexpr int kDefaultPixelHeight = 16;
constexpr int kNormalWeight = 400;

class SystemPickerDialogs final : public PagePickers {
public:
  QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) override {
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
  }

  bool ChooseFont(QWidget* parent, QFont& font, QColor& colour) override {
    bool ok = false;
    const QFont chosenFont = QFontDialog::getFont(&ok, font, parent);
    if (!ok) return false;
    const QColor chosenColour = QColorDialog::getColor(colour, parent);
    if (!chosenColour.isValid()) return false;
    font = chosenFont;
    colour = chosenColour;
    return true;
  }
};

}  // namespace

std::unique_ptr<PagePickers> SystemPickers() { return std::make_unique<SystemPickerDialogs>(); }

QFont ToQFont(const OverlayFont& font) {
  QFont q;
  if (!font.faceName.empty()) q.setFamily(QString::fromStdString(font.faceName));
  // A positive height is the whole cell; the character itself is a little smaller, but the
  // chooser only needs a size close to what the frame shows.
  const int pixels = font.height == 0 ? kDefaultPixelHeight : std::abs(font.height);
  q.setPixelSize(std::max(1, pixels));
  q.setWeight(static_cast<QFont::Weight>(font.weight <= 0 ? kNormalWeight : std::clamp(font.weight, 1, 1000)));
  q.setItalic(font.italic != 0);
  q.setUnderline(font.underline != 0);
  q.setStrikeOut(font.strikeOut != 0);
  return q;
}

OverlayFont FromQFont(const QFont& q, const OverlayFont& previous) {
  OverlayFont font = previous;
  font.faceName = q.family().toStdString();
  const int pixels = q.pixelSize() > 0 ? q.pixelSize()
                                       : static_cast<int>(std::lround(q.pointSizeF() * kPixelsPerPoint));
  font.height = -std::max(1, pixels);
  font.weight = q.weight();
  font.italic = q.italic() ? 1 : 0;
  font.underline = q.underline() ? 1 : 0;
  font.strikeOut = q.strikeOut() ? 1 : 0;
  return font;
}

QColor ToQColor(std::uint32_t colour) {
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

std::uint32_t FromQColor(const QColor& colour) {
  return static_cast<std::uint32_t>(colour.red()) | static_cast<std::uint32_t>(colour.green()) << 8 |
         static_cast<std::uint32_t>(colour.blue()) << 16;
}

}  // namespace orbiscope
