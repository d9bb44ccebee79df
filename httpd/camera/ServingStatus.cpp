#include "httpd/camera/ServingStatus.h"

#include <utility>

namespace orbiscope {

void ServingStatus::Report(CaptureReport report) {
  std::lock_guard lock(mutex_);
  capture_ = std::move(report);
}

void ServingStatus::FramePublished(Clock::time_point when) {
  std::lock_guard lock(mutex_);
  times_[next_] = when.time_since_epoch().count();
  next_ = (next_ + 1) % kTimesKept;
  if (count_ < kTimesKept) ++count_;
}

CaptureReport ServingStatus::Capture() const {
  std::lock_guard lock(mutex_);
  return capture_;
}

double ServingStatus::FrameRate(Clock::time_point now) const {
  const std::int64_t end = now.time_since_epoch().count();
  const std::int64_t start = (now - kRateWindow).time_since_epoch().count();
  std::int64_t oldest = end;
  std::size_t within = 0;
  {
    std::lock_guard lock(mutex_);
    // Newest first: the times are in publication order, so the first one out of the
    // window ends the walk.
    for (std::size_t i = 1; i <= count_; ++i) {
      const std::int64_t t = times_[(next_ + kTimesKept - i) % kTimesKept];
      if (t <= start) break;
      oldest = t;
      ++within;
    }
  }
  // The ring may be full before the window is: the rate is then taken over what it holds.
  if (within < 2 || end <= oldest) return 0.0;
  const std::chrono::duration<double> span = Clock::duration(end - oldest);
  return static_cast<double>(within - 1) / span.count();
}

}  // namespace orbiscope
