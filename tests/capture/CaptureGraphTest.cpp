#include "capture/CaptureGraph.h"

#include <gtest/gtest.h>

#include <cstring>

#include "capture/FramePreview.h"
#include "capture/LatestFrame.h"

#include "capture/FrameFormat.h"
#include "capture/TestPattern.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/FakeCapture.h"

namespace orbiscope {
namespace {

using testing::FakeBackend;
using testing::FakeDeviceScript;
using testing::RecordingSink;
using testing::Rgb;
using testing::Yuv;

FakeDeviceScript Device(std::string name, std::vector<CaptureCapability> caps) {
  FakeDeviceScript script;
  script.name = std::move(name);
  script.caps = std::move(caps);
  return script;
}

TEST(FrameFormatTest, RateAndFrameTimeRoundTrip) {
  EXPECT_EQ(666'666, RateToFrameTime(15.0));
  EXPECT_EQ(15.0, FrameTimeToRate(666'666));
  EXPECT_EQ(333'333, RateToFrameTime(30.0));
  EXPECT_EQ(30.0, FrameTimeToRate(333'333));
  // 100 ns units divide by integers: 7.5 fps is 1 333 333, and back it reads 7.
  EXPECT_EQ(1'333'333, RateToFrameTime(7.5));
  EXPECT_EQ(7.0, FrameTimeToRate(1'333'333));
  // A device that reports no duration leaves the rate open instead of dividing by zero.
  EXPECT_EQ(0.0, FrameTimeToRate(0));
  EXPECT_EQ(0, RateToFrameTime(0.0));
}

TEST(FrameFormatTest, RowsArePaddedToFourBytes) {
  EXPECT_EQ(1920, RowBytes(640, 24));
  EXPECT_EQ(12, RowBytes(3, 24));   // 9 bytes of pixels, 3 of padding
  EXPECT_EQ(4, RowBytes(1, 24));
  EXPECT_EQ(12 * 5, FrameBytes(3, -5, 24));
}

TEST(FrameFormatTest, NamesAreCutToTwentyFiveCharactersNeverInsideOne) {
  EXPECT_EQ("USB2.0 HD UVC WebCam: USB", CutDeviceName("USB2.0 HD UVC WebCam: USB2.0 HD"));
  EXPECT_EQ("short", CutDeviceName("short"));
  // 24 plain characters and a two-byte one make 25 characters of 26 bytes.
  const std::string accented = std::string(24, 'a') + "\xC3\xA9" + "zz";
  EXPECT_EQ(std::string(24, 'a') + "\xC3\xA9", CutDeviceName(accented));
  EXPECT_EQ("640 x 480", SizeName(640, 480));
}

class CaptureGraphTest : public ::testing::Test {
protected:
  CaptureGraphTest() { resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so"); }

  // The graph over the scripted devices; boxes are recorded.
  CaptureGraph& Graph() {
    if (!graph_) {
      std::vector<std::unique_ptr<CaptureBackend>> backends;
      auto backend = std::make_unique<FakeBackend>(&devices_);
      backend_ = backend.get();
      backends.push_back(std::move(backend));
      graph_ = std::make_unique<CaptureGraph>(
          resources_,
          [this](std::string_view caption, std::string_view text) {
            boxes_.push_back(std::string(caption) + "|" + std::string(text));
            sink_.log.push_back("box");
          },
          log_, std::move(backends));
    }
    return *graph_;
  }

  ResourceLibrary resources_;
  LogXML log_;
  std::vector<FakeDeviceScript> devices_;
  FakeBackend* backend_ = nullptr;
  std::vector<std::string> boxes_;
  RecordingSink sink_;
  std::unique_ptr<CaptureGraph> graph_;
};

TEST_F(CaptureGraphTest, NoDeviceFailsListingWithoutBuildingAGraph) {
  EXPECT_TRUE(Failed(Graph().EnumerateDevices()));
  EXPECT_TRUE(Failed(Graph().ListSizes("")));
  EXPECT_EQ(0, backend_->binds);
  EXPECT_TRUE(Failed(Graph().Pause()));
  EXPECT_TRUE(Failed(Graph().Open(sink_, 0, 0)));
  EXPECT_TRUE(boxes_.empty());  // reports of severity 1 show nothing
}

TEST_F(CaptureGraphTest, LongNameIsListedCutAndFoundAgain) {
  devices_.push_back(Device("Integrated Camera With A Very Long Name", {Rgb(320, 240)}));
  devices_.push_back(Device("Second", {Rgb(640, 480)}));
  ASSERT_EQ(CaptureError::kNone, Graph().EnumerateDevices());
  ASSERT_EQ(2u, Graph().DeviceNames().size());
  const std::string stored = Graph().DeviceNames()[0];
  EXPECT_EQ("Integrated Camera With A ", stored);
  EXPECT_TRUE(Graph().ContainsDevice(stored));
  EXPECT_FALSE(Graph().ContainsDevice("Integrated Camera With A Very Long Name"));
  EXPECT_FALSE(Graph().ContainsDevice("second"));  // exact, case-sensitive
  // Listed again, the list is the same, not doubled.
  ASSERT_EQ(CaptureError::kNone, Graph().EnumerateDevices());
  EXPECT_EQ((std::vector<std::string>{stored, "Second"}), Graph().DeviceNames());

  // The stored (cut) name opens that device, not the first one that happens to bind.
  ASSERT_EQ(CaptureError::kNone, Graph().ListSizes("Second"));
  EXPECT_EQ(std::vector<std::string>{"640 x 480"}, Graph().SizeNames());
  ASSERT_EQ(CaptureError::kNone, Graph().ListSizes(stored));
  EXPECT_EQ(std::vector<std::string>{"320 x 240"}, Graph().SizeNames());
}

TEST_F(CaptureGraphTest, OnlyNonRgbCapabilitiesGiveNoSizes) {
  devices_.push_back(Device("Cam", {Yuv(640, 480), Yuv(320, 240)}));
  ASSERT_EQ(CaptureError::kNone, Graph().EnumerateDevices());
  EXPECT_TRUE(Failed(Graph().ListSizes("")));
  EXPECT_TRUE(Graph().SizeNames().empty());
  EXPECT_EQ(0, Graph().Width());  // capability 0 is not 24-bit: width stays open

  devices_[0].capsResult = CaptureError::kFailed;  // no format control at all
  EXPECT_TRUE(Failed(Graph().ListSizes("")));
}

TEST_F(CaptureGraphTest, SizesAndRateFollowTheRules) {
  devices_.push_back(Device("Cam", {Rgb(640, 480, 666'666), Yuv(800, 600),
                                    Rgb(320, 240, 333'333)}));
  ASSERT_EQ(CaptureError::kNone, Graph().EnumerateDevices());
  ASSERT_EQ(CaptureError::kNone, Graph().ListSizes(""));
  EXPECT_EQ((std::vector<std::string>{"640 x 480", "320 x 240"}), Graph().SizeNames());
  EXPECT_EQ(640, Graph().Width());  // width 0 takes capability 0's size
  EXPECT_EQ(480, Graph().Height());

  // Rate 0: the device's own duration is kept and read back as a rate.
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(15.0, Graph().FrameRate());
  EXPECT_EQ(666'666, devices_[0].formatsSet.back().frameTime);
  EXPECT_EQ(640, Graph().Callback().FrameWidth());

  // Rate 15 asks the device for 666 666; the 24-bit capability sets the size.
  Graph().Stop();
  Graph().SetFrameRate(15.0);
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 2));
  EXPECT_EQ(666'666, devices_[0].formatsSet.back().frameTime);
  EXPECT_EQ(320, devices_[0].formatsSet.back().width);
  EXPECT_EQ(240, Graph().Callback().FrameHeight());

  // A capability that is not 24-bit keeps the size held and is asked for in 24 bits.
  Graph().Stop();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 1));
  EXPECT_EQ(320, devices_[0].formatsSet.back().width);
  EXPECT_TRUE(devices_[0].formatsSet.back().rgb24);

  // An index beyond the device list is an invalid argument; beyond the capabilities a failure.
  EXPECT_EQ(CaptureError::kBadIndex, Graph().Open(sink_, 5, 0));
  EXPECT_TRUE(Failed(Graph().Open(sink_, 0, 9)));
}

TEST_F(CaptureGraphTest, DeviceWithoutFrameDurationLeavesTheRateOpen) {
  devices_.push_back(Device("Cam", {Rgb(640, 480, 0)}));
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(0.0, Graph().FrameRate());
}

TEST_F(CaptureGraphTest, GrabberReadsTheSizeTheDeviceAgreedTo) {
  devices_.push_back(Device("Cam", {Rgb(640, 480)}));
  devices_.back().agreedWidth = 352;
  devices_.back().agreedHeight = 288;
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(640, devices_[0].formatsSet.back().width);
  EXPECT_EQ(352, Graph().Width());
  EXPECT_EQ(288, Graph().Callback().FrameHeight());

  // A device that refuses the format fails the start instead of sending unreadable frames.
  Graph().Stop();
  devices_[0].setFormatResult = CaptureError::kFailed;
  EXPECT_TRUE(Failed(Graph().Open(sink_, 0, 0)));
  EXPECT_EQ(devices_[0].runs, 1);
}

TEST_F(CaptureGraphTest, PlatformBackendsListTheTestPatternLast) {
  CaptureGraph graph(resources_, {}, log_, DefaultCaptureBackends());
  ASSERT_EQ(CaptureError::kNone, graph.EnumerateDevices());
  EXPECT_EQ(kTestPatternName, graph.DeviceNames().back());
}

TEST_F(CaptureGraphTest, FailedRunStopsAndPropertyPagesNeedARunningGraph) {
  devices_.push_back(Device("Cam", {Rgb(640, 480)}));
  devices_.back().runResult = CaptureError::kFailed;
  Graph().EnumerateDevices();
  EXPECT_TRUE(Failed(Graph().Open(sink_, 0, 0)));
  EXPECT_EQ(1, Graph().Stopped());
  EXPECT_TRUE(Failed(Graph().ShowPropertyPages(sink_)));
  EXPECT_TRUE(Failed(Graph().Pause()));

  devices_[0].runResult = CaptureError::kNone;
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(0, Graph().Stopped());
  EXPECT_EQ(CaptureError::kNone, Graph().ShowPropertyPages(sink_));
  EXPECT_EQ(CaptureError::kNone, Graph().Pause());
  Graph().Stop();
  EXPECT_EQ(1, Graph().Stopped());
}

TEST_F(CaptureGraphTest, ConnectFailureAndUnboundDeviceAreReportedQuietly) {
  devices_.push_back(Device("Busy", {Rgb(640, 480)}));
  devices_.back().connectResult = CaptureError::kFailed;
  Graph().EnumerateDevices();
  EXPECT_TRUE(Failed(Graph().ListSizes("")));
  devices_[0].bindable = false;
  EXPECT_TRUE(Failed(Graph().Open(sink_, 0, 0)));
  EXPECT_EQ(0, Graph().Stopped());  // an early step failing leaves stopped at 0
  EXPECT_TRUE(boxes_.empty());
}

// The stop notice comes before the box: a box nobody clicks must not hold up what the
// server does about the loss.
TEST_F(CaptureGraphTest, DeviceLossStopsTheServerThenShowsOneBoxAndReturnAsksForPlay) {
  devices_.push_back(Device("Cam", {Rgb(640, 480)}));
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  ASSERT_NE(nullptr, devices_[0].events);

  devices_[0].events->Post(GraphEvent::kDeviceLost);
  ASSERT_TRUE(sink_.WaitForGraphEvents(1));
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ(1, Graph().Stopped());
  ASSERT_EQ(1u, boxes_.size());
  EXPECT_EQ("Error!|" + resources_.String(105), boxes_[0]);
  EXPECT_EQ((std::vector<std::string>{"stop-server", "box"}), sink_.log);

  // The event queue outlives the torn-down graph: the device coming back is heard, and
  // the window is asked to start server and capture (the graph does not reopen alone).
  const int runsBefore = devices_[0].runs;
  devices_[0].events->Post(GraphEvent::kDeviceBack);
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ((std::vector<std::string>{"stop-server", "box", "device-back"}), sink_.log);
  EXPECT_EQ(runsBefore, devices_[0].runs);
  EXPECT_EQ(1u, boxes_.size());

  // Nothing queued: nothing happens.
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ(3u, sink_.log.size());
}

// Records the frames painted into the preview.
class PaintedFrames final : public FramePreview {
public:
  void PaintFrame(const CPicture& frame) override {
    pictures.push_back(&frame);
    blocks.push_back(frame.Bits());
  }
  std::vector<const CPicture*> pictures;
  std::vector<const std::uint8_t*> blocks;
};

// Besides the streaming thread's copy into the grabber, a frame is written once: into a
// recycled picture's own block, which the preview paints and the graph and the web server
// then share. A copy added anywhere on the way (a decode into a temporary, a latest image
// of the graph's own, a copy on publication) makes one of these pictures or blocks differ.
TEST_F(CaptureGraphTest, AFrameIsWrittenOnceAndSharedByPreviewGraphAndServer) {
  constexpr int kW = 64, kH = 48;
  CaptureGraph& graph = Graph();
  graph.Callback().SetFrameSize(kW, kH);
  std::vector<std::uint8_t> sample(static_cast<std::size_t>(FrameBytes(kW, kH, 24)), 0x40);
  PaintedFrames preview;
  OverlaySettings settings;
  settings.x = 0;
  settings.y = 0;
  settings.preview = &preview;
  LatestFrame server;
  auto frame = [&] {
    graph.Callback().BufferCB(0.0, sample.data(), static_cast<long>(sample.size()));
    ASSERT_TRUE(graph.ProcessFrame(settings));
    const SharedFrame shown = graph.Latest();
    server.Publish(shown.image, FrameInfo{shown.width, shown.height});
  };
  frame();
  ASSERT_EQ(1u, preview.pictures.size());
  const CPicture* first = preview.pictures[0];
  EXPECT_EQ(first, &graph.LatestImage());
  EXPECT_EQ(first, server.Share().image.get());
  EXPECT_EQ(preview.blocks[0], server.Share().image->Bits());
  EXPECT_EQ(kW, server.Share().width);

  frame();  // the first is still held: a second picture
  ASSERT_EQ(2u, preview.pictures.size());
  EXPECT_NE(first, preview.pictures[1]);
  frame();  // by now the first came back, block and all
  ASSERT_EQ(3u, preview.pictures.size());
  EXPECT_EQ(first, preview.pictures[2]);
  EXPECT_EQ(preview.blocks[0], preview.blocks[2]);
  EXPECT_EQ(first, server.Share().image.get());
}

// Frames are made in recycled pictures: one a reader still holds is never made again.
TEST_F(CaptureGraphTest, AFrameAReaderHoldsStaysIntactWhileNewOnesAreMade) {
  constexpr int kW = 32, kH = 16;
  CaptureGraph& graph = Graph();
  graph.Callback().SetFrameSize(kW, kH);
  OverlaySettings settings;
  auto frame = [&](std::uint8_t value) {
    std::vector<std::uint8_t> sample(static_cast<std::size_t>(FrameBytes(kW, kH, 24)), value);
    graph.Callback().BufferCB(0.0, sample.data(), static_cast<long>(sample.size()));
    EXPECT_TRUE(graph.ProcessFrame(settings));
  };
  frame(1);
  const SharedFrame held = graph.Latest();
  const CPicture before(*held.image);
  for (std::uint8_t value = 2; value < 8; ++value) frame(value);
  EXPECT_EQ(7, graph.LatestImage().Row(kH - 1)[0]);  // the top row, clear of the logo
  ASSERT_EQ(before.BlockSize(), held.image->BlockSize());
  EXPECT_EQ(0, std::memcmp(before.Block(), held.image->Block(), before.BlockSize()));
}

TEST_F(CaptureGraphTest, TurnedSidewaysFramesAndSizesSwapWidthAndHeight) {
  CaptureGraph& graph = Graph();
  graph.SetWidth(64);
  graph.SetHeight(48);
  graph.Callback().SetFrameSize(64, 48);
  graph.SetTurn(FrameTurn{270, FrameFlip::kHorizontal});
  EXPECT_EQ(48, graph.TurnedWidth());
  EXPECT_EQ(64, graph.TurnedHeight());
  std::vector<std::uint8_t> sample(static_cast<std::size_t>(FrameBytes(64, 48, 24)), 0x40);
  graph.Callback().BufferCB(0.0, sample.data(), static_cast<long>(sample.size()));
  OverlaySettings settings;
  ASSERT_TRUE(graph.ProcessFrame(settings));
  EXPECT_EQ(48u, graph.LatestImage().Width());
  EXPECT_EQ(64, graph.Latest().height);
  // The capture size, which the settings keep, is the device's.
  EXPECT_EQ(64, graph.Width());
}

}  // namespace
}  // namespace orbiscope
