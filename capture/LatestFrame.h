#pragma once
// The web server's frame store: the last published frame with the capture size it was
// published at. The user-interface thread publishes; worker threads take snapshots, several
// at once. Each publication and each snapshot is one step under the store lock, so a
// reader always gets one whole frame with its own width and height.

#include <cstdint>
#include <shared_mutex>

#include "image/Picture.h"

namespace orbiscope {

// What a reader takes away: a private copy and the capture size it came with.
struct FrameSnapshot {
  CPicture image;      // empty before the first publication
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class LatestFrame {
public:
  LatestFrame() = default;
  LatestFrame(const LatestFrame&) = delete;
  LatestFrame& operator=(const LatestFrame&) = delete;

  // Copies image (pixels, selection and alpha) into the store with the capture size.
  void Publish(const CPicture& image, std::int32_t height, std::int32_t width);
  // The same for a copy made only to be published: it is taken over, not copied again.
  void Publish(CPicture&& image, std::int32_t height, std::int32_t width);
  // A private copy of the stored frame with its width and height.
  FrameSnapshot Snapshot() const;

private:
  mutable std::shared_mutex mutex_;  // readers share it; a publication has it alone
  CPicture image_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
};

}  // namespace orbiscope
