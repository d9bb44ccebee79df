#pragma once
// Glossary: CDlgVistaPrevia is Spanish for "preview dialog": the snapshot window.
// The snapshot preview: a still copy of the last processed frame at its natural size, with
// a band below it that says what the picture is. A snapshot, not a live view: it keeps its
// picture until the next click replaces the whole window.

#include <QDialog>
#include <QImage>

namespace orbiscope {

class CPicture;
class Skin;

class CDlgVistaPrevia final : public QDialog {
  Q_OBJECT
public:
  // The band below the picture.
  static constexpr int kBandHeight = 28;

  CDlgVistaPrevia(const Skin& skin, QWidget* parent);

  // Copies picture and keeps the capture size; the window takes width x height + 28.
  void SetImage(const CPicture& picture, int height, int width);
  // Repaints the whole window at once.
  void Redraw();

  const QImage& Picture() const { return picture_; }
  QSize CaptureSize() const { return {width_, height_}; }

protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

private:
  const Skin& skin_;
  QImage picture_;
  int width_ = 0;
  int height_ = 0;
  QString taken_;
};

}  // namespace orbiscope
