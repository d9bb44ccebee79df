#pragma once
// The main window's video area and the status animation that takes its place while the
// camera is stopped.

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "capture/FramePreview.h"

namespace orbiscope {

// The live picture, scaled into the area as each frame is processed. Only the newest
// frame is kept: frames that arrive before the area is next painted replace it, so a busy
// window drops frames instead of queueing them.
class VideoArea final : public QWidget, public FramePreview {
  Q_OBJECT
public:
  explicit VideoArea(const QRect& rect, QWidget* parent);

  // FramePreview: called on the UI thread while the frame is processed.
  void PaintFrame(const CPicture& frame) override;
  // What the area shows now.
  const QImage& Shown() const { return image_; }

signals:
  // A left click inside the area.
  void clicked();

protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  QImage image_;
};

// Plays a clip once from its first to its last frame, then keeps the last frame.
class ClipPlayer final : public QWidget {
  Q_OBJECT
public:
  static constexpr int kFrameMs = 80;

  explicit ClipPlayer(const QRect& rect, QWidget* parent);
  void Play(int clipId, std::vector<QPixmap> frames);
  void Stop();
  // The clip playing or last played; 0 after Stop.
  int Clip() const { return clip_; }
  bool Finished() const { return frame_ + 1 >= frames_.size(); }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QTimer timer_;
  std::vector<QPixmap> frames_;
  std::size_t frame_ = 0;
  int clip_ = 0;
};

}  // namespace orbiscope
