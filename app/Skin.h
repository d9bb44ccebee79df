#pragma once
// The window's pictures, icons, cursor and clips from the resource library, loaded once.
// Magenta (255, 0, 255) in a picture is transparent.

#include <QCursor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <map>
#include <vector>

namespace orbiscope {

class CPicture;
class ResourceLibrary;

class Skin {
public:
  explicit Skin(const ResourceLibrary& resources) : resources_(resources) {}

  const ResourceLibrary& Resources() const { return resources_; }
  // Picture `id`; a null pixmap when it is missing (the control is then left blank).
  const QPixmap& Picture(int id) const;
  // Icon `id` of the library (128 running, 149 stopped).
  QIcon Icon(int id) const;
  // The frames of clip `id`, cut from its strip at frameWidth pixels; empty when missing.
  std::vector<QPixmap> ClipFrames(int id, int frameWidth) const;
  // Cursor picture `id` with its hot spot.
  QCursor Cursor(int id, QPoint hotSpot) const;
  // A text of the string table.
  QString String(int id) const;

private:
  const ResourceLibrary& resources_;
  mutable std::map<int, QPixmap> pictures_;
};

// Turns magenta pixels transparent.
QImage KeyOutMagenta(const QImage& image);

// A 24-bit frame (bottom-up blue-green-red rows) as a top-down image; a null image for a
// picture without 24-bit pixels.
QImage FrameToImage(const CPicture& frame);

// Scales a 24-bit frame into target (Format_RGB32, already sized), each target pixel the
// mean of the source pixels it covers: cheap enough to run for every frame on the UI
// thread, and free of the shimmer of nearest-pixel scaling. A frame without 24-bit pixels
// leaves target black.
void ScaleFrameInto(const CPicture& frame, QImage& target);

}  // namespace orbiscope
