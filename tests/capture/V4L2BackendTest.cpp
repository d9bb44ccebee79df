#include "capture/V4L2Backend.h"

#include <gtest/gtest.h>

#include "capture/CaptureGraph.h"
#include "capture/TestPattern.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/FakeCapture.h"
#include "tests/capture/FakeV4L2Device.h"

namespace orbiscope {
namespace {

using testing::FakeCamera;
using testing::FakeControl;
using testing::FakeV4L2Device;
using testing::RecordingSink;

constexpr const char* kCam = "/dev/video0";
constexpr const char* kMeta = "/dev/video1";
constexpr const char* kYuvOnly = "/dev/video2";

class V4L2BackendTest : public ::testing::Test {
protected:
  V4L2BackendTest() {
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    FakeCamera cam;
    cam.path = kCam;
    cam.card = "HD Pro Webcam C920 With A Long Card Name";
    cam.formats = {{V4L2_PIX_FMT_YUYV, {{1280, 720}, {640, 480}}},
                   {V4L2_PIX_FMT_BGR24, {{640, 480}, {320, 240}, {162, 120}}}};
    cam.strideExtra = 8;
    FakeControl brightness;
    brightness.id = V4L2_CID_BRIGHTNESS;
    brightness.name = "Brightness";
    FakeControl power;
    power.id = V4L2_CID_POWER_LINE_FREQUENCY;
    power.name = "Power Line Frequency";
    power.type = V4L2_CTRL_TYPE_MENU;
    power.minimum = 0;
    power.maximum = 2;
    power.value = 1;
    power.menu = {"Disabled", "50 Hz", "60 Hz"};
    cam.controls = {brightness, power};
    device_->AddCamera(cam);

    FakeCamera meta;  // the second node a camera makes: metadata, not frames
    meta.path = kMeta;
    meta.card = "HD Pro Webcam C920 metadata";
    meta.caps = V4L2_CAP_META_CAPTURE;
    device_->AddCamera(meta);
  }

  CaptureGraph& Graph() {
    if (!graph_) {
      std::vector<std::unique_ptr<CaptureBackend>> backends;
      backends.push_back(MakeV4L2Backend(device_));
      backends.push_back(MakeTestPatternBackend());
      graph_ = std::make_unique<CaptureGraph>(
          resources_,
          [this](std::string_view caption, std::string_view text) {
            boxes_.push_back(std::string(caption) + "|" + std::string(text));
          },
          log_, std::move(backends));
    }
    return *graph_;
  }

  // Pushes frame n once streaming runs and processes it.
  const CPicture& Deliver(int n) {
    EXPECT_TRUE(device_->WaitUntilStreaming(kCam));
    const int before = sink_.Frames();
    EXPECT_TRUE(device_->PushFrame(kCam, n));
    EXPECT_TRUE(sink_.WaitForFrames(before + 1));
    OverlaySettings plain;
    plain.x = plain.y = 0;
    EXPECT_TRUE(Graph().ProcessFrame(plain));
    return Graph().LatestImage();
  }

  std::shared_ptr<FakeV4L2Device> device_ = std::make_shared<FakeV4L2Device>();
  ResourceLibrary resources_;
  LogXML log_;
  std::vector<std::string> boxes_;
  RecordingSink sink_;
  std::unique_ptr<CaptureGraph> graph_;  // last: it stops streaming before the rest goes
};

TEST_F(V4L2BackendTest, CamerasAreListedByCardBeforeTheTestPattern) {
  ASSERT_EQ(CaptureError::kNone, Graph().EnumerateDevices());
  EXPECT_EQ((std::vector<std::string>{"HD Pro Webcam C920 With A", std::string(kTestPatternName)}),
            Graph().DeviceNames());
}

TEST_F(V4L2BackendTest, OnlyTheConvertedBgrSizesAreOfferedInOrder) {
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().ListSizes(""));
  EXPECT_EQ((std::vector<std::string>{"640 x 480", "320 x 240", "162 x 120"}), Graph().SizeNames());
  EXPECT_EQ(640, Graph().Width());

  FakeCamera yuv;
  yuv.path = kYuvOnly;
  yuv.card = "Old camera";
  yuv.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480}}}};
  device_->AddCamera(yuv);
  Graph().EnumerateDevices();
  EXPECT_TRUE(Failed(Graph().ListSizes("Old camera")));
}

TEST_F(V4L2BackendTest, RateGoesThroughStreamParametersBothWays) {
  Graph().EnumerateDevices();
  // Rate 0: the camera's own interval, 1/30 s, comes back as 30 frames a second.
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(30.0, Graph().FrameRate());
  Graph().Stop();
  Graph().SetFrameRate(15.0);
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 1));
  const v4l2_fract interval = device_->Interval(kCam);
  EXPECT_EQ(666'666ull * interval.denominator, 10'000'000ull * interval.numerator);
  EXPECT_EQ(320, Graph().Callback().FrameWidth());
}

TEST_F(V4L2BackendTest, FramesArriveBottomUpWithTheStrideRemoved) {
  Graph().EnumerateDevices();
  // 162 pixels make 486-byte rows: padded to 488 in the frame, 494 apart in the device.
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 2));
  const CPicture& image = Deliver(7);
  ASSERT_EQ(162u, image.Width());
  ASSERT_EQ(120u, image.Height());
  for (std::uint32_t stored = 0; stored < 120; ++stored) {
    const std::uint8_t expected = static_cast<std::uint8_t>(7 + (119 - stored));  // top row r holds 7 + r
    const std::uint8_t* row = image.Row(stored);
    int wrong = -1;
    // The right half: the logo is stamped into the bottom-left quarter.
    for (int i = 81 * 3; i < 162 * 3 && wrong < 0; ++i)
      if (row[i] != expected) wrong = i;
    EXPECT_EQ(-1, wrong) << "stored row " << stored << " byte " << wrong << " is " << int(row[wrong < 0 ? 0 : wrong]);
  }
}

TEST_F(V4L2BackendTest, UnpluggedCameraIsLostThenReopenedWhenItReturns) {
  Graph().EnumerateDevices();
  sink_.onDeviceBack = [this] { Graph().Open(sink_, 0, 0); };
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  Deliver(1);

  device_->Unplug(kCam);
  ASSERT_TRUE(sink_.WaitForGraphEvents(1));
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ(1, Graph().Stopped());
  ASSERT_EQ(1u, boxes_.size());
  EXPECT_EQ("Error!|" + resources_.String(105), boxes_[0]);
  EXPECT_EQ(std::vector<std::string>{"stop-server"}, sink_.log);

  device_->Plug(kCam);
  ASSERT_TRUE(sink_.WaitForGraphEvents(2));
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ((std::vector<std::string>{"stop-server", "device-back"}), sink_.log);
  EXPECT_EQ(0, Graph().Stopped());
  EXPECT_EQ(1u, boxes_.size());
  const CPicture& again = Deliver(50);
  EXPECT_EQ(static_cast<std::uint8_t>(50 + 479), again.Row(0)[3 * 639]);
}

TEST_F(V4L2BackendTest, StoppingAfterALossKeepsTheReturningCameraStopped) {
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  ASSERT_TRUE(device_->WaitUntilStreaming(kCam));
  device_->Unplug(kCam);
  ASSERT_TRUE(sink_.WaitForGraphEvents(1));
  Graph().HandleGraphEvents(sink_);
  device_->Plug(kCam);
  ASSERT_TRUE(sink_.WaitForGraphEvents(2));  // the return is queued...
  Graph().Stop();               // ...but the user stopped capture in between
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ(1, Graph().Stopped());
  EXPECT_EQ(std::vector<std::string>{"stop-server"}, sink_.log);
}

TEST_F(V4L2BackendTest, ControlsAreTheDeviceSettings) {
  Graph().EnumerateDevices();
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 0));
  EXPECT_EQ(CaptureError::kNone, Graph().ShowPropertyPages(sink_));
  EXPECT_EQ(std::vector<std::string>{"controls"}, sink_.log);

  auto backend = MakeV4L2Backend(device_);
  auto source = backend->Bind(backend->Devices().at(0));
  ASSERT_EQ(CaptureError::kNone, source->Connect());
  const std::vector<DeviceControl> controls = source->Controls();
  ASSERT_EQ(2u, controls.size());
  EXPECT_EQ("Brightness", controls[0].name);
  EXPECT_EQ(DeviceControl::Kind::Integer, controls[0].kind);
  EXPECT_EQ(DeviceControl::Kind::Menu, controls[1].kind);
  EXPECT_EQ(1, controls[1].value);
  ASSERT_EQ(3u, controls[1].menu.size());
  EXPECT_EQ("60 Hz", controls[1].menu[2].second);
  EXPECT_EQ(CaptureError::kNone, source->SetControl(V4L2_CID_BRIGHTNESS, 200));
  EXPECT_EQ(200, device_->ControlValue(kCam, V4L2_CID_BRIGHTNESS));
  EXPECT_EQ(CaptureError::kFailed, source->SetControl(V4L2_CID_BRIGHTNESS, 999));
}

}  // namespace
}  // namespace orbiscope
