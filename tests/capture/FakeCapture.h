#pragma once
// A scripted capture back-end and a recording event sink for the graph's tests.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/CaptureBackend.h"
#include "capture/CaptureEventSink.h"
#include "capture/CaptureStatus.h"
#include "capture/GraphEvents.h"

namespace orbiscope::testing {

// What a fake device offers and what happened to it.
struct FakeDeviceScript {
  std::string name;
  std::vector<CaptureCapability> caps;
  CaptureError connectResult = CaptureError::kNone;
  CaptureError capsResult = CaptureError::kNone;
  CaptureError runResult = CaptureError::kNone;
  bool bindable = true;
  CaptureError setFormatResult = CaptureError::kNone;
  int agreedWidth = 0;   // non-zero: the size the device agrees to instead of the one asked
  int agreedHeight = 0;
  // Filled in by the source.
  std::vector<CaptureCapability> formatsSet;
  int runs = 0;
  int stops = 0;
  int pauses = 0;
  SampleSink* sink = nullptr;
  GraphEvents* events = nullptr;
};

class FakeSource final : public CaptureSource {
public:
  explicit FakeSource(FakeDeviceScript& script) : script_(script) {}
  CaptureError Connect() override { return script_.connectResult; }
  CaptureError Capabilities(std::vector<CaptureCapability>& caps) override {
    caps = script_.caps;
    return script_.capsResult;
  }
  CaptureError SetFormat(CaptureCapability& cap) override {
    script_.formatsSet.push_back(cap);
    if (script_.agreedWidth != 0) {
      cap.width = script_.agreedWidth;
      cap.height = script_.agreedHeight;
    }
    return script_.setFormatResult;
  }
  CaptureError Run(SampleSink& sink, GraphEvents& events) override {
    ++script_.runs;
    script_.sink = &sink;
    script_.events = &events;
    return script_.runResult;
  }
  CaptureError Pause() override {
    ++script_.pauses;
    return CaptureError::kNone;
  }
  CaptureError Stop() override {
    ++script_.stops;
    return CaptureError::kNone;
  }
  bool HasControls() override { return true; }
  std::vector<DeviceControl> Controls() override { return {}; }
  CaptureError SetControl(std::uint32_t, std::int32_t) override { return CaptureError::kNone; }

private:
  FakeDeviceScript& script_;
};

class FakeBackend final : public CaptureBackend {
public:
  explicit FakeBackend(std::vector<FakeDeviceScript>* devices) : devices_(devices) {}
  std::vector<CaptureDeviceRef> Devices() override {
    std::vector<CaptureDeviceRef> refs;
    for (std::size_t i = 0; i < devices_->size(); ++i)
      refs.push_back(CaptureDeviceRef{(*devices_)[i].name, std::to_string(i)});
    return refs;
  }
  std::unique_ptr<CaptureSource> Bind(const CaptureDeviceRef& ref) override {
    FakeDeviceScript& script = (*devices_)[std::stoul(ref.id)];
    ++binds;
    if (!script.bindable) return nullptr;
    return std::make_unique<FakeSource>(script);
  }
  int binds = 0;

private:
  std::vector<FakeDeviceScript>* devices_;
};

// A 24-bit capability of a size and frame duration.
inline CaptureCapability Rgb(int width, int height, std::int64_t frameTime = 666'666) {
  CaptureCapability cap;
  cap.rgb24 = true;
  cap.width = width;
  cap.height = height;
  cap.frameTime = frameTime;
  return cap;
}
inline CaptureCapability Yuv(int width, int height) {
  CaptureCapability cap = Rgb(width, height);
  cap.rgb24 = false;
  cap.bitCount = 16;
  return cap;
}

// Records what capture tells the user-interface thread; frame notices can be waited for.
class RecordingSink final : public CaptureEventSink {
public:
  void PostFrameReady() override {
    std::lock_guard lock(mutex_);
    ++frames_;
    cv_.notify_all();
  }
  void PostGraphEvent(long instance) override {
    std::lock_guard lock(mutex_);
    graphEvents_.push_back(instance);
    cv_.notify_all();
  }
  void SendStopServer() override { log.push_back("stop-server"); }
  void SendDeviceBack() override {
    log.push_back("device-back");
    if (onDeviceBack) onDeviceBack();
  }
  CaptureError ShowDeviceControls(DeviceControls&) override {
    log.push_back("controls");
    return CaptureError::kNone;
  }

  // Waits until at least n frame notices came; false when they do not within kWait.
  [[nodiscard]] bool WaitForFrames(int n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWait, [&] { return frames_ >= n; });
  }
  // Waits until at least n graph-event notices came; false when they do not within kWait.
  [[nodiscard]] bool WaitForGraphEvents(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWait, [&] { return graphEvents_.size() >= n; });
  }
  // Long enough for a loaded machine, short enough that a fault fails in seconds.
  static constexpr std::chrono::seconds kWait{10};
  int Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

  std::vector<std::string> log;  // UI-thread notices, in order
  std::function<void()> onDeviceBack;  // what the controller's Play would do

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int frames_ = 0;
  std::vector<long> graphEvents_;
};

}  // namespace orbiscope::testing
