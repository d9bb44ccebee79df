#include "capture/LatestFrame.h"

#include <utility>
#include <vector>

namespace orbiscope {

struct LatestFrame::Spares {
  // The store holds one frame and readers usually let go of the one before it while the
  // next is made: two spares cover a reader that keeps a frame a little longer.
  static constexpr std::size_t kMax = 2;
  std::mutex mutex;
  std::vector<std::unique_ptr<CPicture>> pictures;

  // Room for all spares up front: handing one back runs in a deleter and must not throw.
  Spares() { pictures.reserve(kMax); }

  std::unique_ptr<CPicture> Take() {
    std::lock_guard lock(mutex);
    if (pictures.empty()) return std::make_unique<CPicture>();
    std::unique_ptr<CPicture> picture = std::move(pictures.back());
    pictures.pop_back();
    return picture;
  }
  void Give(std::unique_ptr<CPicture> picture) {
    std::lock_guard lock(mutex);
    if (pictures.size() < kMax) pictures.push_back(std::move(picture));
  }

  // Deleter of a published frame: its last holder hands it back.
  struct Return {
    std::shared_ptr<Spares> spares;
    void operator()(CPicture* picture) const { spares->Give(std::unique_ptr<CPicture>(picture)); }
  };
};

LatestFrame::LatestFrame()
    : image_(std::make_shared<const CPicture>()), spares_(std::make_shared<Spares>()) {}

LatestFrame::~LatestFrame() = default;

void LatestFrame::Publish(const CPicture& image, std::int32_t height, std::int32_t width,
                          std::chrono::system_clock::time_point captured) {
  std::unique_ptr<CPicture> copy = spares_->Take();
  copy->CopyFrom(image);
  Store(std::move(copy), FrameInfo{width, height, captured});
}

void LatestFrame::Publish(CPicture&& image, std::int32_t height, std::int32_t width,
                          std::chrono::system_clock::time_point captured) {
  Store(std::make_unique<CPicture>(std::move(image)), FrameInfo{width, height, captured});
}

std::unique_ptr<CPicture> LatestFrame::TakeSpare() { return spares_->Take(); }

void LatestFrame::Publish(std::unique_ptr<CPicture> frame, const FrameInfo& info) {
  if (!frame) frame = std::make_unique<CPicture>();
  Store(std::move(frame), info);
}

void LatestFrame::Publish(std::shared_ptr<const CPicture> frame, const FrameInfo& info) {
  if (!frame) frame = std::make_shared<const CPicture>();
  Store(std::move(frame), info);
}

void LatestFrame::Store(std::unique_ptr<CPicture> picture, const FrameInfo& info) {
  Store(std::shared_ptr<const CPicture>(picture.release(), Spares::Return{spares_}), info);
}

void LatestFrame::Store(std::shared_ptr<const CPicture> picture, const FrameInfo& info) {
  // The frame it replaces is let go outside the lock: readers do not wait for its return.
  std::shared_ptr<const CPicture> old = std::move(picture);
  {
    std::lock_guard lock(mutex_);
    std::swap(image_, old);
    height_ = info.height;
    width_ = info.width;
    captured_ = info.captured == std::chrono::system_clock::time_point{}
                    ? std::chrono::system_clock::now()
                    : info.captured;
    ++generation_;
  }
  published_.notify_all();
}

SharedFrame LatestFrame::Share() const {
  std::lock_guard lock(mutex_);
  return SharedFrame{image_, width_, height_, generation_, captured_};
}

FrameSnapshot LatestFrame::Snapshot() const { return Share().Copy(); }

FrameSnapshot SharedFrame::Copy() const {
  FrameSnapshot snap;
  // Before the first publication a reader gets an empty picture.
  if (image->HasPixels()) snap.image.CopyFrom(*image, true, true, true);
  snap.width = width;
  snap.height = height;
  snap.generation = generation;
  snap.captured = captured;
  return snap;
}

std::uint64_t LatestFrame::WaitNewer(std::uint64_t generation, std::stop_token stop) const {
  std::unique_lock lock(mutex_);
  published_.wait(lock, stop, [&] { return generation_ > generation; });
  return generation_;
}

std::uint64_t LatestFrame::Generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

}  // namespace orbiscope
