#include "app/SkinButton.h"

#include <QPainter>

#include "app/Skin.h"

namespace orbiscope {

SkinButton::SkinButton(const Skin& skin, int id, const QRect& rect, QWidget* parent)
    : QAbstractButton(parent), skin_(skin), id_(id) {
  setGeometry(rect);
  setCursor(Qt::PointingHandCursor);
  // Keyboard users reach the buttons with Tab; Enter moves on, Space presses.
  setFocusPolicy(Qt::TabFocus);
}

void SkinButton::SetPictures(int normal, int pointedAt, int disabled) {
  normal_ = normal;
  pointedAt_ = pointedAt;
  disabled_ = disabled;
  update();
}

void SkinButton::SetDisabledPicture(int disabled) {
  disabled_ = disabled;
  update();
}

int SkinButton::ShownPicture() const {
  if (!isEnabled()) return disabled_ != 0 ? disabled_ : normal_;
  if ((pointed_ || isDown()) && pointedAt_ != 0) return pointedAt_;
  return normal_;
}

void SkinButton::paintEvent(QPaintEvent*) {
  const QPixmap& picture = skin_.Picture(ShownPicture());
  if (picture.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture);
}

void SkinButton::enterEvent(QEnterEvent* event) {
  pointed_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event) {
  pointed_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace orbiscope
