#include "capture/TestPattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "capture/CaptureGraph.h"
#include "capture/CaptureStatus.h"
#include "capture/FrameFormat.h"
#include "capture/GraphEvents.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/FakeCapture.h"

namespace orbiscope {
namespace {

// Keeps the first frames it is given.
class CollectingSink final : public SampleSink {
public:
  CaptureError BufferCB(double time, const std::uint8_t* buffer, long length) override {
    std::lock_guard lock(mutex_);
    if (frames.size() < 3) {
      frames.emplace_back(buffer, buffer + length);
      times.push_back(time);
    }
    cv_.notify_all();
    return CaptureError::kNone;
  }
  CaptureError BufferRowsCB(double, const std::uint8_t*, long, int, int) override {
    return CaptureError::kFailed;
  }
  [[nodiscard]] bool WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return frames.size() >= n; });
  }
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<double> times;

private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

TEST(TestPatternTest, ContentIsAFunctionOfTheFrameNumber) {
  const std::size_t size = static_cast<std::size_t>(FrameBytes(322, 100, 24));
  std::vector<std::uint8_t> a(size), b(size), c(size);
  RenderTestPattern(a.data(), 322, 100, 41);
  RenderTestPattern(b.data(), 322, 100, 41);
  RenderTestPattern(c.data(), 322, 100, 42);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);  // the counter and the moving block differ
  for (std::uint32_t n : {0u, 1u, 41u, 0x80000001u, 0xFFFFFFFFu}) {
    RenderTestPattern(a.data(), 322, 100, n);
    EXPECT_EQ(n, ReadTestPatternNumber(a.data(), 322, 100));
    RenderTestPattern(c.data(), 40, 30, n);
    EXPECT_EQ(n, ReadTestPatternNumber(c.data(), 40, 30));
  }
  // Padding bytes at the end of each 966-byte row stay zero (322 * 3 = 966, padded to 968).
  RenderTestPattern(a.data(), 322, 100, 7);
  for (int row = 0; row < 100; ++row) EXPECT_EQ(0, a[row * 968 + 966] | a[row * 968 + 967]);
}

TEST(TestPatternTest, OffersFourSizesAndDeliversNumberedFramesOnItsThread) {
  auto backend = MakeTestPatternBackend();
  const auto devices = backend->Devices();
  ASSERT_EQ(1u, devices.size());
  EXPECT_EQ(kTestPatternName, devices[0].name);
  auto source = backend->Bind(devices[0]);
  ASSERT_EQ(CaptureError::kNone, source->Connect());
  std::vector<CaptureCapability> caps;
  ASSERT_EQ(CaptureError::kNone, source->Capabilities(caps));
  ASSERT_EQ(4u, caps.size());
  const int sizes[4][2] = {{640, 480}, {320, 240}, {800, 600}, {1280, 720}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(caps[i].rgb24);
    EXPECT_EQ(sizes[i][0], caps[i].width);
    EXPECT_EQ(sizes[i][1], caps[i].height);
  }

  CaptureCapability wanted = caps[1];
  wanted.frameTime = 100'000;  // 100 fps asked: held to 30
  ASSERT_EQ(CaptureError::kNone, source->SetFormat(wanted));
  EXPECT_EQ(kTestPatternMinFrameTime, wanted.frameTime);

  CollectingSink sink;
  GraphEvents events(nullptr, kGraphEventInstance);
  ASSERT_EQ(CaptureError::kNone, source->Run(sink, events));
  ASSERT_TRUE(sink.WaitFor(3));
  source->Stop();
  std::vector<std::uint8_t> expected(static_cast<std::size_t>(FrameBytes(320, 240, 24)));
  for (std::uint32_t n = 0; n < 3; ++n) {
    RenderTestPattern(expected.data(), 320, 240, n);
    EXPECT_EQ(expected, sink.frames[n]) << "frame " << n;
  }
  EXPECT_LT(sink.times[0], sink.times[1]);
}

// Every control, moved off its default, changes the frames the device sends, but not the
// frame number in them; values the device refuses change nothing; and the values outlive
// the open, as a camera driver keeps them.
TEST(TestPatternTest, EveryControlChangesTheFramesItSends) {
  auto backend = MakeTestPatternBackend();
  const auto device = backend->Devices().at(0);
  auto source = backend->Bind(device);
  ASSERT_TRUE(source->HasControls());
  CaptureCapability format;
  format.width = 64;
  format.height = 48;
  ASSERT_EQ(CaptureError::kNone, source->SetFormat(format));
  const std::size_t bytes = static_cast<std::size_t>(FrameBytes(64, 48, 24));
  std::vector<std::uint8_t> plain(bytes);

  const std::vector<DeviceControl> controls = source->Controls();
  ASSERT_EQ(5u, controls.size());
  for (const DeviceControl& c : controls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.defaultValue, c.value);
    EXPECT_EQ(CaptureError::kFailed, source->SetControl(c.id, c.maximum + 1));
    const std::int32_t other = c.defaultValue == c.minimum ? c.maximum : c.minimum;
    ASSERT_EQ(CaptureError::kNone, source->SetControl(c.id, other));
    CollectingSink sink;
    GraphEvents events(nullptr, kGraphEventInstance);
    ASSERT_EQ(CaptureError::kNone, source->Run(sink, events));
    ASSERT_TRUE(sink.WaitFor(1));
    source->Stop();
    RenderTestPattern(plain.data(), 64, 48, 0);
    EXPECT_NE(plain, sink.frames[0]);
    EXPECT_EQ(0u, ReadTestPatternNumber(sink.frames[0].data(), 64, 48));
    EXPECT_EQ(other, backend->Bind(device)->Controls()[&c - controls.data()].value);
    ASSERT_EQ(CaptureError::kNone, source->SetControl(c.id, c.defaultValue));
  }
  EXPECT_EQ(CaptureError::kNotOffered, source->SetControl(999, 0));
}

TEST(TestPatternTest, RunsThroughTheWholeGraphWithoutACamera) {
  ResourceLibrary resources;
  resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  LogXML log;
  std::vector<std::unique_ptr<CaptureBackend>> backends;
  backends.push_back(MakeTestPatternBackend());
  CaptureGraph graph(resources, {}, log, std::move(backends));
  testing::RecordingSink sink;
  ASSERT_EQ(CaptureError::kNone, graph.EnumerateDevices());
  ASSERT_EQ(CaptureError::kNone, graph.ListSizes(""));
  graph.SetFrameRate(30.0);
  ASSERT_EQ(CaptureError::kNone, graph.Open(sink, 0, 0));
  ASSERT_TRUE(sink.WaitForFrames(1));
  OverlaySettings settings;
  settings.caption = "Test";
  ClampOverlayPosition(settings.x, settings.y, graph.Width(), graph.Height());
  ASSERT_TRUE(graph.ProcessFrame(settings));
  EXPECT_EQ(640u, graph.LatestImage().Width());
  EXPECT_EQ(480u, graph.LatestImage().Height());
  EXPECT_EQ(CaptureError::kNone, graph.Pause());
  graph.Stop();
}

}  // namespace
}  // namespace orbiscope
