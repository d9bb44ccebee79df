// Our libv4l2 device and V4L2 back-end over the real libv4l2 and libv4lconvert, with an
// emulated USB camera behind their system calls: what the video page lists, the pixels
// after conversion, the rate, the controls, the read() path, and unplug and replug.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "capture/CaptureGraph.h"
#include "capture/TestPattern.h"
#include "capture/V4L2Backend.h"
#include "capture/V4L2Device.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/EmulatedCamera.h"
#include "tests/capture/FakeCapture.h"

namespace orbiscope {
namespace {

using testing::CameraEmulator;
using testing::EmulatedCameraSpec;
using testing::RecordingSink;
using testing::UsbCameraSpec;

EmulatedCameraSpec MjpegOnlySpec() {
  EmulatedCameraSpec spec = UsbCameraSpec();
  spec.formats.resize(1);
  return spec;
}

EmulatedCameraSpec ReadOnlySpec() {
  EmulatedCameraSpec spec;
  spec.card = "Old Parallel Camera";
  spec.streaming = false;
  spec.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480, {30}}, {320, 240, {30}}}}};
  return spec;
}

class LibV4L2CameraTest : public ::testing::Test {
protected:
  LibV4L2CameraTest() { resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so"); }

  void TearDown() override {
    std::ostringstream unknown;
    for (unsigned long request : emulator_.UnknownRequests()) unknown << std::hex << request << ' ';
    EXPECT_EQ("", unknown.str()) << "requests libv4l2 sent that the camera does not know";
  }

  CaptureGraph& Graph() {
    if (!graph_) {
      std::vector<std::unique_ptr<CaptureBackend>> backends;
      backends.push_back(MakeV4L2Backend(MakeLibV4L2Device(emulator_.Folder())));
      backends.push_back(MakeTestPatternBackend());
      graph_ = std::make_unique<CaptureGraph>(
          resources_,
          [this](std::string_view caption, std::string_view text) {
            boxes_.push_back(std::string(caption) + "|" + std::string(text));
          },
          log_, std::move(backends));
      graph_->EnumerateDevices();
    }
    return *graph_;
  }

  // Waits for the next frame and processes it without caption or time.
  const CPicture& NextFrame() {
    const int before = sink_.Frames();
    EXPECT_TRUE(sink_.WaitForFrames(before + 1));
    OverlaySettings plain;
    plain.x = plain.y = 0;
    EXPECT_TRUE(Graph().ProcessFrame(plain));
    return Graph().LatestImage();
  }

  // The frame against the scene the camera saw, on the right half (the logo sits in the
  // bottom-left quarter): the mean difference of a byte, and the share of bytes far off.
  static std::pair<double, double> Difference(const CPicture& image) {
    const int w = static_cast<int>(image.Width()), h = static_cast<int>(image.Height());
    const std::vector<std::uint8_t> scene = testing::ScenePixels(w, h);
    double sum = 0, far = 0, count = 0;
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* row = image.Row(static_cast<std::uint32_t>(h - 1 - y));  // bottom-up
      const std::uint8_t* want = &scene[static_cast<std::size_t>(y) * w * 3];
      for (int i = w / 2 * 3; i < w * 3; ++i, ++count) {
        const int d = std::abs(row[i] - want[i]);
        sum += d;
        if (d > 48) ++far;
      }
    }
    return {sum / count, far / count};
  }

  CameraEmulator emulator_;
  ResourceLibrary resources_;
  LogXML log_;
  std::vector<std::string> boxes_;
  RecordingSink sink_;
  std::unique_ptr<CaptureGraph> graph_;  // last: it stops streaming before the rest goes
};

TEST_F(LibV4L2CameraTest, VideoPageListsTheConvertedSizesOfTheCamera) {
  emulator_.AddCamera(0, UsbCameraSpec());
  ASSERT_EQ(2u, Graph().DeviceNames().size());
  EXPECT_EQ("USB 2.0 HD Camera", Graph().DeviceNames()[0]);
  ASSERT_EQ(CaptureError::kNone, Graph().ListSizes(""));
  EXPECT_EQ((std::vector<std::string>{"640 x 480", "1280 x 720", "1920 x 1080"}), Graph().SizeNames());
  EXPECT_EQ(640, Graph().Width());
}

// What the camera streams for each size and rate asked: of its own formats at the size the
// one that gives the rate, uncompressed when that does, MJPEG where only it does (libv4l2's
// own choice would take YUYV at any rate); a camera without MJPEG gives what YUYV can.
TEST_F(LibV4L2CameraTest, RateAskedChoosesTheCameraFormat) {
  enum Camera { kBoth, kMjpegOnly, kYuyvOnly };
  struct Case {
    Camera camera;
    int sizeIndex;
    double asked;
    std::uint32_t fourcc;
    int width;
    std::uint32_t rate;
  };
  const Case cases[] = {
      {kBoth, 0, 0.0, V4L2_PIX_FMT_YUYV, 640, 30},  // rate 0: the camera's fastest
      {kBoth, 0, 15.0, V4L2_PIX_FMT_YUYV, 640, 15},
      {kBoth, 1, 30.0, V4L2_PIX_FMT_MJPEG, 1280, 30},
      {kBoth, 2, 30.0, V4L2_PIX_FMT_MJPEG, 1920, 30},
      {kBoth, 1, 0.0, V4L2_PIX_FMT_MJPEG, 1280, 30},
      {kBoth, 1, 10.0, V4L2_PIX_FMT_YUYV, 1280, 10},
      {kMjpegOnly, 2, 15.0, V4L2_PIX_FMT_MJPEG, 1920, 15},
      {kYuyvOnly, 1, 30.0, V4L2_PIX_FMT_YUYV, 1280, 10},
      {kYuyvOnly, 2, 0.0, V4L2_PIX_FMT_YUYV, 1920, 5},
  };
  EmulatedCameraSpec mjpeg = MjpegOnlySpec();
  mjpeg.card = "MJPEG Camera";
  EmulatedCameraSpec yuyv = UsbCameraSpec();
  yuyv.card = "YUYV Camera";
  yuyv.formats.erase(yuyv.formats.begin());
  const std::string paths[] = {emulator_.AddCamera(0, UsbCameraSpec()), emulator_.AddCamera(1, mjpeg),
                               emulator_.AddCamera(2, yuyv)};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "camera " << c.camera << ", " << c.width << " at " << c.asked);
    Graph().SetFrameRate(c.asked);
    Graph().SetWidth(0);
    Graph().SetHeight(0);
    ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, c.camera, c.sizeIndex));
    const CameraEmulator::Mode mode = emulator_.CurrentMode(paths[c.camera]);
    EXPECT_EQ(c.fourcc, mode.fourcc);
    EXPECT_EQ(c.width, mode.width);
    EXPECT_EQ(c.width, Graph().Callback().FrameWidth());
    EXPECT_EQ((v4l2_fract{1, c.rate}.denominator), mode.interval.denominator);
    if (c.asked == 0.0) {
      EXPECT_NEAR(c.rate, Graph().FrameRate(), 0.01);
    }
    Graph().Stop();
  }
}

TEST_F(LibV4L2CameraTest, PixelsAfterConversionAreTheScene) {
  struct Case {
    const char* what;
    EmulatedCameraSpec spec;
    int sizeIndex;
    std::uint32_t fourcc;  // what the camera must be streaming for the case to mean anything
  };
  const Case cases[] = {
      {"YUYV 640 x 480 through mmap", UsbCameraSpec(), 0, V4L2_PIX_FMT_YUYV},
      {"MJPEG 1280 x 720 through mmap", MjpegOnlySpec(), 1, V4L2_PIX_FMT_MJPEG},
      {"MJPEG 1920 x 1080 of a camera with YUYV too", UsbCameraSpec(), 2, V4L2_PIX_FMT_MJPEG},
      {"YUYV 320 x 240 through read()", ReadOnlySpec(), 1, V4L2_PIX_FMT_YUYV},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EmulatedCameraSpec spec = c.spec;
    spec.card = "Camera " + std::to_string(number);
    const std::string path = emulator_.AddCamera(number, spec);
    graph_.reset();
    ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, number, c.sizeIndex));
    EXPECT_EQ(c.fourcc, emulator_.CurrentMode(path).fourcc);
    const CPicture& image = NextFrame();
    const auto [mean, far] = Difference(image);
    EXPECT_LT(mean, 4.0);
    EXPECT_LT(far, 0.005);
    Graph().Stop();
    ++number;
  }
}

// A frame that lost its tail on the way is dropped, not shown half grey, and the stream
// goes on with the whole ones.
TEST_F(LibV4L2CameraTest, TruncatedFramesAreDroppedAndTheStreamGoesOn) {
  const std::pair<const char*, std::uint32_t> formats[] = {{"MJPEG", V4L2_PIX_FMT_MJPEG},
                                                           {"YUYV", V4L2_PIX_FMT_YUYV}};
  for (const auto& [what, fourcc] : formats) {
    SCOPED_TRACE(what);
    EmulatedCameraSpec spec = UsbCameraSpec();
    if (fourcc == V4L2_PIX_FMT_MJPEG) spec.formats.resize(1);
    else spec.formats.erase(spec.formats.begin());
    spec.truncateEvery = 2;
    const int number = fourcc == V4L2_PIX_FMT_MJPEG ? 0 : 1;
    spec.card = what;
    const std::string path = emulator_.AddCamera(number, spec);
    graph_.reset();
    ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, number, 0));
    ASSERT_EQ(fourcc, emulator_.CurrentMode(path).fourcc);
    for (int i = 0; i < 4; ++i) {
      const auto [mean, far] = Difference(NextFrame());
      EXPECT_LT(mean, 4.0) << "frame " << i;
      EXPECT_LT(far, 0.005) << "frame " << i;
    }
    EXPECT_GE(emulator_.FramesServed(path), 7u);  // the cut ones came too
    Graph().Stop();
  }
}

TEST_F(LibV4L2CameraTest, ControlsAreListedAndApplied) {
  const std::string path = emulator_.AddCamera(0, UsbCameraSpec());
  auto backend = MakeV4L2Backend(MakeLibV4L2Device(emulator_.Folder()));
  auto source = backend->Bind(backend->Devices().at(0));
  ASSERT_EQ(CaptureError::kNone, source->Connect());
  ASSERT_TRUE(source->HasControls());
  const std::vector<DeviceControl> controls = source->Controls();
  ASSERT_EQ(4u, controls.size());
  EXPECT_EQ("Brightness", controls[0].name);
  EXPECT_EQ(DeviceControl::Kind::Integer, controls[0].kind);
  EXPECT_EQ(-64, controls[0].minimum);
  EXPECT_EQ(DeviceControl::Kind::Boolean, controls[1].kind);
  EXPECT_EQ(DeviceControl::Kind::Menu, controls[2].kind);
  EXPECT_EQ(1, controls[2].value);
  ASSERT_EQ(3u, controls[2].menu.size());
  // A menu with holes lists only the values the camera names.
  ASSERT_EQ(2u, controls[3].menu.size());
  EXPECT_EQ((std::pair<std::int32_t, std::string>{3, "Aperture Priority Mode"}), controls[3].menu[1]);

  const std::pair<std::uint32_t, std::int32_t> changes[] = {{V4L2_CID_BRIGHTNESS, -20},
                                                            {V4L2_CID_AUTO_WHITE_BALANCE, 0},
                                                            {V4L2_CID_POWER_LINE_FREQUENCY, 2},
                                                            {V4L2_CID_EXPOSURE_AUTO, 1}};
  for (const auto& [id, value] : changes) {
    EXPECT_EQ(CaptureError::kNone, source->SetControl(id, value)) << std::hex << id;
    EXPECT_EQ(value, emulator_.ControlValue(path, id)) << std::hex << id;
  }
  EXPECT_EQ(CaptureError::kFailed, source->SetControl(V4L2_CID_EXPOSURE_AUTO, 2));
  EXPECT_EQ(1, emulator_.ControlValue(path, V4L2_CID_EXPOSURE_AUTO));
  EXPECT_EQ(-20, source->Controls()[0].value);
}

TEST_F(LibV4L2CameraTest, UnpluggedCameraStopsTheServerAndReopensWhenItReturns) {
  const std::string path = emulator_.AddCamera(0, MjpegOnlySpec());
  sink_.onDeviceBack = [this] { Graph().Open(sink_, 0, 1); };
  ASSERT_EQ(CaptureError::kNone, Graph().Open(sink_, 0, 1));
  NextFrame();

  emulator_.Unplug(path);
  ASSERT_TRUE(sink_.WaitForGraphEvents(1));
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ(1, Graph().Stopped());
  EXPECT_EQ(std::vector<std::string>{"Error!|" + resources_.String(105)}, boxes_);
  EXPECT_EQ(std::vector<std::string>{"stop-server"}, sink_.log);
  EXPECT_FALSE(std::filesystem::exists(path));
  Graph().EnumerateDevices();
  EXPECT_EQ(std::vector<std::string>{std::string(kTestPatternName)}, Graph().DeviceNames());

  emulator_.Plug(path);
  ASSERT_TRUE(sink_.WaitForGraphEvents(2));
  Graph().EnumerateDevices();
  Graph().HandleGraphEvents(sink_);
  EXPECT_EQ((std::vector<std::string>{"stop-server", "device-back"}), sink_.log);
  EXPECT_EQ(0, Graph().Stopped());
  const std::uint64_t served = emulator_.FramesServed(path);
  const CPicture& again = NextFrame();
  EXPECT_EQ(1280u, again.Width());
  EXPECT_GT(emulator_.FramesServed(path), served);
  EXPECT_LT(Difference(again).first, 4.0);
}

}  // namespace
}  // namespace orbiscope
