#include "app/VideoArea.h"

#include <QMouseEvent>
#include <QPainter>

#include "app/Skin.h"

namespace orbiscope {

VideoArea::VideoArea(const QRect& rect, QWidget* parent)
    : QWidget(parent), image_(rect.size(), QImage::Format_RGB32) {
  setGeometry(rect);
  image_.fill(QColor(0x0d, 0x11, 0x17));
  // Every pixel is painted from the image: nothing behind it needs drawing first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void VideoArea::PaintFrame(const CPicture& frame) {
  if (!isVisible()) return;  // stopped, or the window is in the notification area
  ScaleFrameInto(frame, image_);
  update();  // paints once at the next turn of the loop, however many frames came before
}

void VideoArea::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, image_);
}

void VideoArea::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

ClipPlayer::ClipPlayer(const QRect& rect, QWidget* parent) : QWidget(parent) {
  setGeometry(rect);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (Finished()) {
      timer_.stop();
      return;
    }
    ++frame_;
    update();
  });
}

void ClipPlayer::Play(int clipId, std::vector<QPixmap> frames) {
  clip_ = clipId;
  frames_ = std::move(frames);
  frame_ = 0;
  update();
  if (!Finished()) timer_.start();
}

void ClipPlayer::Stop() {
  timer_.stop();
  clip_ = 0;
}

void ClipPlayer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (frame_ < frames_.size()) {
    painter.drawPixmap(0, 0, frames_[frame_]);
  } else {
    painter.fillRect(rect(), QColor(0x0d, 0x11, 0x17));
  }
}

}  // namespace orbiscope
