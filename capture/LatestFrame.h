#pragma once
// The web server's frame store: the last published frame with the capture size it was
// published at. The user-interface thread publishes; worker threads read, several at once.
// Each publication and each read is one step under the store lock, so a reader always gets
// one whole frame with its own width and height.
//
// A published frame is never changed again: readers may share it instead of copying it,
// and it lives as long as one of them holds it. Each publication has a generation number,
// one more than the last, so a reader can tell whether the frame it has is the newest.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>

#include "image/Picture.h"

namespace orbiscope {

// What is published with a frame besides its pixels.
struct FrameInfo {
  std::int32_t width = 0;   // of the frame as served (the capture size, turned)
  std::int32_t height = 0;
  // When the frame was taken, by the wall clock; the default means the moment of publishing.
  std::chrono::system_clock::time_point captured {};
};

// What a reader takes away when it must change the picture: a private copy.
struct FrameSnapshot {
  CPicture image;      // empty before the first publication
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint64_t generation = 0;  // 0 before the first publication
  std::chrono::system_clock::time_point captured {};  // when the frame was taken
};

// What a reader shares: the published frame itself.
struct SharedFrame {
  std::shared_ptr<const CPicture> image;  // never null; empty before the first publication
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint64_t generation = 0;  // 0 before the first publication, then 1, 2, ...
  // When the frame was taken, by the wall clock: what clients put beside their own clocks.
  std::chrono::system_clock::time_point captured {};

  // A private copy of this very frame, for a reader that turns out to need one.
  FrameSnapshot Copy() const;
};

class LatestFrame {
public:
  LatestFrame();
  ~LatestFrame();
  LatestFrame(const LatestFrame&) = delete;
  LatestFrame& operator=(const LatestFrame&) = delete;

  // Copies image (pixels, selection and alpha) into the store with the capture size and
  // the time it was captured.
  void Publish(const CPicture& image, std::int32_t height, std::int32_t width,
               std::chrono::system_clock::time_point captured = std::chrono::system_clock::now());
  // The same for a copy made only to be published: it is taken over, not copied again.
  void Publish(CPicture&& image, std::int32_t height, std::int32_t width,
               std::chrono::system_clock::time_point captured = std::chrono::system_clock::now());
  // A picture to make the next frame in: one whose readers have all let go, so it usually
  // has a block of the right size already, or a new empty one.
  std::unique_ptr<CPicture> TakeSpare();
  // Publishes a frame made in a spare of this store, without a copy; it comes back as a
  // spare once the store and every reader have let go of it.
  void Publish(std::unique_ptr<CPicture> frame, const FrameInfo& info);
  // Publishes a frame that another store published, without a copy: both serve the same
  // pixels, which go back to the store that made them.
  void Publish(std::shared_ptr<const CPicture> frame, const FrameInfo& info);
  // A private copy of the stored frame with its width, height and generation.
  FrameSnapshot Snapshot() const;
  // The stored frame itself, without a copy.
  SharedFrame Share() const;
  // The generation of the stored frame (0 before the first publication).
  std::uint64_t Generation() const;
  // Waits until a frame newer than `generation` is published or a stop is requested; the
  // generation then.
  std::uint64_t WaitNewer(std::uint64_t generation, std::stop_token stop) const;

private:
  struct Spares;
  void Store(std::unique_ptr<CPicture> picture, const FrameInfo& info);
  void Store(std::shared_ptr<const CPicture> picture, const FrameInfo& info);

  mutable std::mutex mutex_;  // held only to read or swap the fields below
  std::shared_ptr<const CPicture> image_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::uint64_t generation_ = 0;
  std::chrono::system_clock::time_point captured_ {};
  mutable std::condition_variable_any published_;
  // Frames no reader holds any more come back here, so that a publication copies into a
  // block of the right size instead of a fresh one. Readers may outlive the store, so the
  // frames they hold share the spares with it.
  std::shared_ptr<Spares> spares_;
};

}  // namespace orbiscope
