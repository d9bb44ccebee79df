#include "capture/LatestFrame.h"

#include <mutex>
#include <utility>

#include "capture/FrameCopy.h"

namespace orbiscope {

void LatestFrame::Publish(const CPicture& image, std::int32_t height, std::int32_t width) {
  std::unique_lock lock(mutex_);
  CopyFrame(image_, image);
  height_ = height;
  width_ = width;
}

void LatestFrame::Publish(CPicture&& image, std::int32_t height, std::int32_t width) {
  // The old frame is destroyed outside the lock, so readers do not wait for the free.
  CPicture old;
  {
    std::unique_lock lock(mutex_);
    old.TakeOver(image_);
    image_.TakeOver(image);
    height_ = height;
    width_ = width;
  }
}

FrameSnapshot LatestFrame::Snapshot() const {
  FrameSnapshot snap;
  std::shared_lock lock(mutex_);
  // Before the first publication a reader gets an empty picture.
  if (image_.HasPixels()) snap.image.CopyFrom(image_, true, true, true);
  snap.width = width_;
  snap.height = height_;
  return snap;
}

}  // namespace orbiscope
