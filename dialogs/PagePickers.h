#pragma once
// The choosers the pages open (content folder, caption font and colour), behind a small
// interface so that tests answer them without a modal dialog, and the conversions between
// the stored caption font and colour and Qt's.

#include <cstdint>
#include <memory>

#include <QColor>
#include <QFont>
#include <QString>

#include "capture/Overlay.h"

class QWidget;

namespace orbiscope {

class PagePickers {
public:
  virtual ~PagePickers() = default;
  // The folder the user confirmed, starting at start; empty when cancelled.
  virtual QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) = 0;
  // Lets the user change font and colour; false (both untouched) when cancelled.
  virtual bool ChooseFont(QWidget* parent, QFont& font, QColor& colour) = 0;
};

// The system's choosers: the folder dialog, then the font dialog followed by the colour
// dialog (cancelling either keeps both as they were).
std::unique_ptr<PagePickers> SystemPickers();

// The stored font as Qt draws it: a negative height is the character height in pixels.
QFont ToQFont(const OverlayFont& font);
// The chosen font in the stored form; fields Qt has no notion of keep their value from
// previous (width, escapement, character set...).
OverlayFont FromQFont(const QFont& font, const OverlayFont& previous);
// Colours are stored 0x00BBGGRR.
QColor ToQColor(std::uint32_t colour);
std::uint32_t FromQColor(const QColor& colour);

}  // namespace orbiscope
