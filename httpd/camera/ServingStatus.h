#pragma once
// What the status page tells of capture: the state the controller shows with the device and
// size it captures at, and the pace at which frames reach the server. The controller
// reports on its thread, the publisher notes each frame, workers read; one small lock
// keeps each of those a single step.

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace orbiscope {

// The controller's capture state as the status page names it.
// NoCamera: the device went away and the server goes on with a no-signal picture.
enum class CaptureRun { Stopped, Paused, Running, NoCamera };

// What the controller shows of capture.
struct CaptureReport {
  CaptureRun run = CaptureRun::Stopped;
  std::string device;  // the capture device's name, UTF-8 as the device gives it
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class ServingStatus {
public:
  using Clock = std::chrono::steady_clock;

  // Frames published within this span before a reading count towards its rate.
  static constexpr auto kRateWindow = std::chrono::seconds(5);
  // Publication times kept: enough for 100 frames a second over the window.
  static constexpr std::size_t kTimesKept = 512;

  // From the controller, whenever what it shows changes.
  void Report(CaptureReport report);
  // From the publisher, once per frame it hands the server.
  void FramePublished(Clock::time_point when);

  CaptureReport Capture() const;
  // Frames per second over the window that ends at `now`: the frames published within it,
  // less one, over the time since the oldest of them. A camera that stopped decays to 0
  // within the window; a single frame gives 0.
  double FrameRate(Clock::time_point now) const;

private:
  mutable std::mutex mutex_;
  CaptureReport capture_;
  std::array<std::int64_t, kTimesKept> times_ {};  // steady-clock ticks, a ring
  std::size_t next_ = 0;                          // where the next time goes
  std::size_t count_ = 0;                         // times held, at most kTimesKept
};

}  // namespace orbiscope
