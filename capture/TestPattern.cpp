#include "capture/TestPattern.h"

#include <algorithm>
#include <array>
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

using Colour = std::array<std::uint8_t, 3>;  // blue, green, red

void FillRow(std::uint8_t* row, int width, const Colour& c) {
  for (int x = 0; x < width; ++x) std::memcpy(row + 3L * x, c.data(), 3);
}

void EndRow(std::uint8_t* row, int width, long rowBytes) {
  std::memset(row + 3L * width, 0, static_cast<std::size_t>(rowBytes - 3L * width));
}

// The controls act on the few colours a frame is made of, not on every pixel.
Colour Adjust(const std::uint8_t* bgr, const TestPatternLook& look) {
  const int grey = (29 * bgr[0] + 150 * bgr[1] + 77 * bgr[2]) >> 8;
  Colour out;
  for (int i = 0; i < 3; ++i) {
    int v = grey + (bgr[i] - grey) * look.saturation / 100;
    v = 128 + (v - 128) * look.contrast / 100 + look.brightness;
    out[i] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
  }
  return out;
}

Colour Grey(std::uint8_t v, const TestPatternLook& look) {
  const std::uint8_t bgr[3] = {v, v, v};
  return Adjust(bgr, look);
}

// One row of the pattern band; for the checkerboard, phase says which square comes first.
void DrawPatternRow(std::uint8_t* row, int width, const TestPatternLook& look, int cell, int phase) {
  if (look.pattern == TestPatternKind::Checkerboard) {
    const Colour squares[2] = {Grey(255, look), Grey(0, look)};
    for (int x = 0; x < width; ++x) std::memcpy(row + 3L * x, squares[(x / cell + phase) % 2].data(), 3);
    return;
  }
  Colour stripes[8];
  for (int i = 0; i < 8; ++i)
    stripes[i] = look.pattern == TestPatternKind::GreySteps ? Grey(static_cast<std::uint8_t>(255 - i * 255 / 7), look)
                                                            : Adjust(kBars[i], look);
  for (int x = 0; x < width; ++x) std::memcpy(row + 3L * x, stripes[static_cast<long>(x) * 8 / width].data(), 3);
}

}  // namespace

void RenderTestPattern(std::uint8_t* dst, int width, int height, std::uint32_t frame,
                       const TestPatternLook& look) {
  const long rowBytes = static_cast<long>(RowBytes(width, 24));
  const Bands bands = BandsOf(height);

  // Counter band: cell i is white when bit (31 - i) of the number is set.
  std::uint8_t* row = dst;
  for (int x = 0; x < width; ++x) {
    const int cell = static_cast<int>(static_cast<long>(x) * kCounterCells / width);
    const std::uint8_t v = ((frame >> (kCounterCells - 1 - cell)) & 1u) ? 255 : 0;
    row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
  }
  EndRow(row, width, rowBytes);
  for (int y = 1; y < bands.counterRows; ++y) std::memcpy(dst + y * rowBytes, row, static_cast<std::size_t>(rowBytes));

  // Moving band: grey, with a white block of the band's height stepping 8 pixels a frame.
  if (bands.movingTop > bands.counterRows) {
    row = dst + bands.counterRows * rowBytes;
    const int side = std::min(width, bands.movingTop - bands.counterRows);
    const int span = std::max(1, width - side + 1);
    const int left = static_cast<int>((static_cast<std::uint64_t>(frame) * 8u) % static_cast<std::uint64_t>(span));
    FillRow(row, width, Grey(64, look));
    if (look.movingBlock) FillRow(row + 3L * left, side, Grey(255, look));
    EndRow(row, width, rowBytes);
    for (int y = bands.counterRows + 1; y < bands.movingTop; ++y)
      std::memcpy(dst + y * rowBytes, row, static_cast<std::size_t>(rowBytes));
  }

  // Pattern band: its rows are of at most two kinds, each drawn once and then copied.
  const int cell = std::max(1, width / 8);
  const std::uint8_t* drawn[2] = {nullptr, nullptr};
  for (int y = bands.movingTop; y < height; ++y) {
    // Squares counted from the top, so the top-left one is light whatever the height.
    const int phase = look.pattern == TestPatternKind::Checkerboard ? ((height - 1 - y) / cell) % 2 : 0;
    row = dst + y * rowBytes;
    if (drawn[phase] != nullptr) {
      std::memcpy(row, drawn[phase], static_cast<std::size_t>(rowBytes));
      continue;
    }
    DrawPatternRow(row, width, look, cell, phase);
    EndRow(row, width, rowBytes);
    drawn[phase] = row;
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

enum ControlId : std::uint32_t { kBrightness = 1, kContrast, kSaturation, kMovingBlock, kPattern };

// The controls in the order the settings dialog lists them; their defaults are those of
// TestPatternLook.
struct ControlSpec {
  ControlId id;
  const char* name;
  DeviceControl::Kind kind;
  std::int32_t minimum, maximum;
};
constexpr ControlSpec kControls[] = {
    {kBrightness, "Brightness", DeviceControl::Kind::Integer, -100, 100},
    {kContrast, "Contrast", DeviceControl::Kind::Integer, 0, 200},
    {kSaturation, "Saturation", DeviceControl::Kind::Integer, 0, 200},
    {kMovingBlock, "Show moving block", DeviceControl::Kind::Boolean, 0, 1},
    {kPattern, "Pattern", DeviceControl::Kind::Menu, 0, 2},
};
constexpr const char* kPatternNames[] = {"Colour bars", "Grey steps", "Checkerboard"};

std::int32_t Get(const TestPatternLook& look, ControlId id) {
  switch (id) {
    case kBrightness: return look.brightness;
    case kContrast: return look.contrast;
    case kSaturation: return look.saturation;
    case kMovingBlock: return look.movingBlock ? 1 : 0;
    case kPattern: return static_cast<std::int32_t>(look.pattern);
  }
  return 0;
}

void Put(TestPatternLook& look, ControlId id, std::int32_t value) {
  switch (id) {
    case kBrightness: look.brightness = value; break;
    case kContrast: look.contrast = value; break;
    case kSaturation: look.saturation = value; break;
    case kMovingBlock: look.movingBlock = value != 0; break;
    case kPattern: look.pattern = static_cast<TestPatternKind>(value); break;
  }
}

// The controls' values, shared by every open of the device: the settings dialog writes
// them on the UI thread while the streaming thread draws with them.
class ControlState {
public:
  TestPatternLook Look() const {
    std::lock_guard lock(mutex_);
    return look_;
  }

  std::vector<DeviceControl> Controls() const {
    const TestPatternLook now = Look(), defaults;
    std::vector<DeviceControl> controls;
    for (const ControlSpec& spec : kControls) {
      DeviceControl c;
      c.id = spec.id;
      c.name = spec.name;
      c.kind = spec.kind;
      c.minimum = spec.minimum;
      c.maximum = spec.maximum;
      c.defaultValue = Get(defaults, spec.id);
      c.value = Get(now, spec.id);
      if (spec.kind == DeviceControl::Kind::Menu)
        for (std::int32_t i = spec.minimum; i <= spec.maximum; ++i) c.menu.emplace_back(i, kPatternNames[i]);
      controls.push_back(std::move(c));
    }
    return controls;
  }

  CaptureError Set(std::uint32_t id, std::int32_t value) {
    for (const ControlSpec& spec : kControls) {
      if (spec.id != id) continue;
      if (value < spec.minimum || value > spec.maximum) return CaptureError::kFailed;
      std::lock_guard lock(mutex_);
      Put(look_, spec.id, value);
      return CaptureError::kNone;
    }
    return CaptureError::kNotOffered;
  }

private:
  mutable std::mutex mutex_;
  TestPatternLook look_;
};

class TestPatternSource final : public CaptureSource {
public:
  explicit TestPatternSource(std::shared_ptr<ControlState> controls) : controls_(std::move(controls)) {}
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

  bool HasControls() override { return true; }
  std::vector<DeviceControl> Controls() override { return controls_->Controls(); }
  CaptureError SetControl(std::uint32_t id, std::int32_t value) override { return controls_->Set(id, value); }

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
      RenderTestPattern(frame.data(), format.width, format.height, number, controls_->Look());
      sink.BufferCB(static_cast<double>(number) * static_cast<double>(format.frameTime) / kUnitsPerSecond,
                    frame.data(), length);
      ++number;
      due += period;
      const auto now = std::chrono::steady_clock::now();
      if (due < now - period) due = now;  // fell far behind: do not burst to catch up
      lock.lock();
    }
  }

  const std::shared_ptr<ControlState> controls_;
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
    return std::make_unique<TestPatternSource>(controls_);
  }

private:
  const std::shared_ptr<ControlState> controls_ = std::make_shared<ControlState>();
};

}  // namespace

std::unique_ptr<CaptureBackend> MakeTestPatternBackend() {
  return std::make_unique<TestPatternBackend>();
}

}  // namespace orbiscope
