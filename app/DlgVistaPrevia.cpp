#include "app/DlgVistaPrevia.h"

#include <QEvent>
#include <QPainter>
#include <algorithm>
#include <QTime>

#include "app/Skin.h"
#include "image/Picture.h"

namespace orbiscope {
namespace {

constexpr int kStrSnapshotTitle = 195;  // window title
constexpr int kStrSnapshotBand = 194;   // "%1 x %2, taken at %3"

}  // namespace

CDlgVistaPrevia::CDlgVistaPrevia(const Skin& skin, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowCloseButtonHint), skin_(skin) {
  setWindowTitle(skin.String(kStrSnapshotTitle));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CDlgVistaPrevia::SetImage(const CPicture& picture, int height, int width) {
  picture_ = FrameToImage(picture);
  width_ = width;
  height_ = height;
  taken_ = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
  move(0, 0);
  // A capture size of 0 (nothing captured yet) still leaves a window one can close.
  setFixedSize(std::max(width_, 160), std::max(height_, 0) + kBandHeight);
}

void CDlgVistaPrevia::Redraw() {
  repaint();
}

bool CDlgVistaPrevia::event(QEvent* event) {
  const bool handled = QDialog::event(event);
  if (event->type() == QEvent::WindowActivate) Redraw();
  return handled;
}

void CDlgVistaPrevia::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area(0, 0, width_, height_);
  painter.fillRect(rect(), QColor(0x0d, 0x11, 0x17));
  if (!picture_.isNull()) painter.drawImage(area.topLeft(), picture_);  // natural size, never scaled
  const QRect band(0, height() - kBandHeight, width(), kBandHeight);
  painter.fillRect(band, QColor(0x1d, 0x27, 0x33));
  painter.setPen(QColor(0xc9, 0xd3, 0xdf));
  painter.drawText(band.adjusted(10, 0, -10, 0), Qt::AlignVCenter | Qt::AlignLeft,
                   skin_.String(kStrSnapshotBand).arg(width_).arg(height_).arg(taken_));
}

}  // namespace orbiscope
