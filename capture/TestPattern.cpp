#include "capture/TestPattern.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/CaptureStatus.h"
#include "capture/FrameFormat.h"
#include "capture/GraphEvents.h"

namespace orbiscope {
namespace {

constexpr int kCounterCells = 32;
constexpr int kMaxSide = 8192;
constexpr int kSizes[][2] = {{640, 480}, {320, 240}, {800, 600}, {1280, 720}};
// Blue, green, red of the eight bars, left to right.
constexpr std::uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                      {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};

// Bottom-up row ranges of the three bands.
struct Bands {
  int counterRows;  // rows 0 .. counterRows-1
  int movingTop;    // rows counterRows .. movingTop-1 hold the moving block
};

Bands BandsOf(int height) {
  Bands b;
  b.counterRows = std::max(1, height / 12);
  b.movingTop = std::max(b.counterRows, height / 3);
  return b;
}

void FillRow(std::uint8_t* row, int width, std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
  for (int x = 0; x < width; ++x) {
    row[3 * x] = blue;
    row[3 * x + 1] = green;
    row[3 * x + 2] = red;
  }
}

}  // namespace

void RenderTestPattern(std::uint8_t* dst, int width, int height, std::uint32_t frame) {
  const long rowBytes = static_cast<long>(RowBytes(width, 24));
  const Bands bands = BandsOf(height);

  // Counter band: cell i is white when bit (31 - i) of the number is set.
  std::uint8_t* row = dst;
  for (int x = 0; x < width; ++x) {
    const int cell = static_cast<int>(static_cast<long>(x) * kCounterCells / width);
    const std::uint8_t v = ((frame >> (kCounterCells - 1 - cell)) & 1u) ? 255 : 0;
    row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
  }
  std::memset(row + 3L * width, 0, static_cast<std::size_t>(rowBytes - 3L * width));
  for (int y = 1; y < bands.counterRows; ++y) std::memcpy(dst + y * rowBytes, row, static_cast<std::size_t>(rowBytes));

  // Moving band: grey, with a white block of the band's height stepping 8 pixels a frame.
  if (bands.movingTop > bands.counterRows) {
    row = dst + bands.counterRows * rowBytes;
    const int side = std::min(width, bands.movingTop - bands.counterRows);
    const int span = std::max(1, width - side + 1);
    const int left = static_cast<int>((static_cast<std::uint64_t>(frame) * 8u) % static_cast<std::uint64_t>(span));
    FillRow(row, width, 64, 64, 64);
    FillRow(row + 3L * left, side, 255, 255, 255);
    std::memset(row + 3L * width, 0, static_cast<std::size_t>(rowBytes - 3L * width));
    for (int y = bands.counterRows + 1; y < bands.movingTop; ++y)
      std::memcpy(dst + y * rowBytes, row, static_cast<std::size_t>(rowBytes));
  }

  // Bars band.
  if (height > bands.movingTop) {
    row = dst + bands.movingTop * rowBytes;
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* c = kBars[static_cast<long>(x) * 8 / width];
      row[3 * x] = c[0];
      row[3 * x + 1] = c[1];
      row[3 * x + 2] = c[2];
    }
    std::memset(row + 3L * width, 0, static_cast<std::size_t>(rowBytes - 3L * width));
    for (int y = bands.movingTop + 1; y < height; ++y)
      std::memcpy(dst + y * rowBytes, row, static_cast<std::size_t>(rowBytes));
  }
}

std::uint32_t ReadTestPatternNumber(const std::uint8_t* frame, int width, int /*height*/) {
  std::uint32_t number = 0;
  for (int cell = 0; cell < kCounterCells; ++cell) {
    // The first pixel of each cell of the bottom row.
    const long x = (static_cast<long>(cell) * width + kCounterCells - 1) / kCounterCells;
    number = (number << 1) | (frame[3 * x] > 127 ? 1u : 0u);
  }
  return number;
}

namespace {

class TestPatternSource final : public CaptureSource {
public:
  ~TestPatternSource() override { Stop(); }

  CaptureError Connect() override { return CaptureError::kNone; }

  CaptureError Capabilities(std::vector<CaptureCapability>& caps) override {
    caps.clear();
    for (const auto& size : kSizes) {
      CaptureCapability cap;
      cap.rgb24 = true;
      cap.width = size[0];
      cap.height = size[1];
      cap.frameTime = kTestPatternMinFrameTime;
      caps.push_back(cap);
    }
    return CaptureError::kNone;
  }

  CaptureError SetFormat(CaptureCapability& cap) override {
    // Any size the frame layout can hold; the rate is capped at 30 frames a second.
    if (cap.width <= 0 || cap.height <= 0 || cap.width > kMaxSide || cap.height > kMaxSide)
      return CaptureError::kFailed;
    cap.rgb24 = true;
    cap.bitCount = 24;
    if (cap.frameTime < kTestPatternMinFrameTime) cap.frameTime = kTestPatternMinFrameTime;
    std::lock_guard lock(mutex_);
    format_ = cap;
    return CaptureError::kNone;
  }

  CaptureError Run(SampleSink& sink, GraphEvents&) override {
    std::lock_guard lock(mutex_);
    paused_ = false;
    if (thread_.joinable()) {
      cv_.notify_all();
      return CaptureError::kNone;  // running again after a pause
    }
    if (format_.width <= 0) return CaptureError::kFailed;
    thread_ = std::jthread([this, &sink, format = format_](std::stop_token stop) {
      Stream(stop, sink, format);
    });
    return CaptureError::kNone;
  }

  CaptureError Pause() override {
    std::lock_guard lock(mutex_);
    paused_ = true;
    return CaptureError::kNone;
  }

  CaptureError Stop() override {
    if (thread_.joinable()) {
      thread_.request_stop();
      cv_.notify_all();
      thread_.join();
    }
    thread_ = std::jthread();
    return CaptureError::kNone;
  }

  bool HasControls() override { return false; }
  std::vector<DeviceControl> Controls() override { return {}; }
  CaptureError SetControl(std::uint32_t, std::int32_t) override { return CaptureError::kNotOffered; }

private:
  void Stream(std::stop_token stop, SampleSink& sink, CaptureCapability format) {
    const long length = static_cast<long>(FrameBytes(format.width, format.height, 24));
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(length));
    const auto period = std::chrono::nanoseconds(format.frameTime * 100);
    auto due = std::chrono::steady_clock::now();
    std::uint32_t number = 0;
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      // Wait for the frame's time; a pause holds the clock.
      if (!cv_.wait_until(lock, stop, due, [this] { return false; }) && stop.stop_requested()) break;
      if (paused_) {
        cv_.wait(lock, stop, [this] { return !paused_; });
        due = std::chrono::steady_clock::now();
        continue;
      }
      lock.unlock();
      RenderTestPattern(frame.data(), format.width, format.height, number);
      sink.BufferCB(static_cast<double>(number) * static_cast<double>(format.frameTime) / kUnitsPerSecond,
                    frame.data(), length);
      ++number;
      due += period;
      const auto now = std::chrono::steady_clock::now();
      if (due < now - period) due = now;  // fell far behind: do not burst to catch up
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable_any cv_;
  CaptureCapability format_;
  bool paused_ = false;
  std::jthread thread_;
};

class TestPatternBackend final : public CaptureBackend {
public:
  std::vector<CaptureDeviceRef> Devices() override {
    return {CaptureDeviceRef{std::string(kTestPatternName), "test-pattern"}};
  }
  std::unique_ptr<CaptureSource> Bind(const CaptureDeviceRef&) override {
    return std::make_unique<TestPatternSource>();
  }
};

}  // namespace

std::unique_ptr<CaptureBackend> MakeTestPatternBackend() {
  return std::make_unique<TestPatternBackend>();
}

}  // namespace orbiscope
