#include "dialogs/VideoPage.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "log/LogXML.h"
#include "tests/capture/FakeCapture.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::FakeBackend;
using testing::FakeDeviceScript;
using testing::Rgb;
using testing::TempDir;

class VideoPageTest : public ::testing::Test {
protected:
  VideoPageTest() {
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    config_.SetFileName(dir_.File("orbiscope.CONFIG.XML"));
    devices_.resize(2);
    devices_[0].name = "USB Camera with a rather long product name";
    devices_[0].caps = {Rgb(640, 480), Rgb(320, 240)};
    devices_[1].name = "Second";
    devices_[1].caps = {Rgb(800, 600)};
  }

  // Start-up as the main window runs it: list devices, the page loads, sizes, lists.
  std::unique_ptr<CDlgOpcionVideo> MakePage() {
    std::vector<std::unique_ptr<CaptureBackend>> backends;
    backends.push_back(std::make_unique<FakeBackend>(&devices_));
    graph_ = std::make_unique<CaptureGraph>(resources_, nullptr, log_, std::move(backends));
    graph_->EnumerateDevices();
    host_ = std::make_unique<GraphVideoHost>(*graph_, window_);
    auto page = std::make_unique<CDlgOpcionVideo>(
        config_, resources_,
        [this](std::string_view caption, std::string_view text) {
          boxes_.push_back(std::string(caption) + "|" + std::string(text));
        },
        *graph_, *host_);
    OverlayFont dialogFont;
    dialogFont.faceName = "DejaVu Sans";
    page->OnInitDialog(dialogFont);
    ApplyVideoSettings(page->Settings(), *graph_);
    const std::string device = graph_->ContainsDevice(page->DeviceLabel()) ? page->DeviceLabel() : "";
    graph_->ListSizes(device);
    page->FillLists();
    return page;
  }

  TempDir dir_;
  ConfigStore config_;
  LogXML log_;
  ResourceLibrary resources_;
  std::vector<FakeDeviceScript> devices_;
  testing::RecordingSink window_;
  std::unique_ptr<CaptureGraph> graph_;
  std::unique_ptr<GraphVideoHost> host_;
  std::vector<std::string> boxes_;
};

TEST_F(VideoPageTest, DefaultsWithoutASettingsFile) {
  auto page = MakePage();
  EXPECT_EQ(page->CaptionText(), "");
  EXPECT_EQ(page->TimeMode(), 126);
  EXPECT_EQ(page->TimeLabel(), resources_.String(126));
  EXPECT_EQ(page->Colour(), 0u);
  EXPECT_EQ(page->X(), -100);
  EXPECT_EQ(page->Y(), -100);
  EXPECT_EQ(page->Font().height, -13);
  EXPECT_EQ(page->Font().faceName, "DejaVu Sans");
  EXPECT_EQ(graph_->FrameRate(), 15.0);
  EXPECT_EQ(page->FrameRateText(), "15");
  // Device names are known by their first 25 characters.
  EXPECT_EQ(page->DeviceLabel(), "USB Camera with a rather ");
  EXPECT_EQ(page->DeviceIndex(), 0);
  EXPECT_EQ(page->SizeIndex(), 0);
  EXPECT_FALSE(page->ShowText());
  // Menu items cut long device names to 25 characters.
  EXPECT_EQ(page->DeviceMenuItems()[0], "USB Camera with a rather ");
}

TEST_F(VideoPageTest, SettingsRoundTripThroughTheFile) {
  {
    auto page = MakePage();
    page->SetCaptionText("A caption that is far longer than thirty-five characters");
    EXPECT_EQ(page->CaptionText(), "A caption that is far longer than t");
    page->OnCommand(VideoCommand::kTime, 2);
    OverlayFont font;
    font.faceName = "DejaVu Serif";
    font.height = -20;
    font.italic = 1;
    page->OnFontChosen(font, 0x0000FF);
    page->OnCommand(VideoCommand::kDevice, 1);
    page->OnArrow(CDlgOpcionVideo::Arrow::Right);
    config_.SetValue("VIDEO", "FPS", "12");  // by hand, a key the page did not change
    ASSERT_TRUE(page->SaveSettings());
  }
  auto page = MakePage();
  EXPECT_EQ(page->CaptionText(), "A caption that is far longer than t");
  EXPECT_EQ(page->TimeMode(), 128);
  EXPECT_EQ(page->Font().faceName, "DejaVu Serif");
  EXPECT_EQ(page->Font().height, -20);
  EXPECT_EQ(page->Font().italic, 1);
  EXPECT_EQ(page->Font().underline, 0);
  EXPECT_EQ(page->Colour(), 0x0000FFu);
  EXPECT_EQ(page->DeviceLabel(), "Second");
  EXPECT_EQ(page->DeviceIndex(), 1);
  EXPECT_EQ(page->X(), -98);  // one step right of the unplaced position
  EXPECT_EQ(config_.GetValue("VIDEO\\OVERLAYTEXT\\FONT", "ITALIC", ""), "TRUE");
  EXPECT_EQ(config_.GetValue("VIDEO\\OVERLAYTEXT\\FONT", "STRIKEOUT", ""), "FALSE");
  // What the user did not change keeps the file's value, or stays out of it.
  EXPECT_EQ(config_.GetValue("VIDEO", "FPS", ""), "12");
  EXPECT_EQ(config_.GetValue("VIDEO\\OVERLAYTEXT", "SHOWTEXT", "none"), "none");
}

TEST_F(VideoPageTest, FrameRateEnterRules) {
  auto page = MakePage();
  const int runsBefore = devices_[0].runs;
  page->SetFrameRateText("30");
  page->OnEnter();
  EXPECT_EQ(graph_->FrameRate(), 30.0);
  EXPECT_EQ(devices_[0].runs, runsBefore + 1) << "a new rate restarts capture";
  page->OnEnter();
  EXPECT_EQ(devices_[0].runs, runsBefore + 1) << "the same rate changes nothing";
  for (const char* refused : {"31", "0", "-5", "abc", ""}) {
    boxes_.clear();
    page->SetFrameRateText(refused);
    page->OnEnter();
    ASSERT_EQ(boxes_.size(), 1u) << refused;
    EXPECT_EQ(boxes_[0], resources_.String(131) + "|" + resources_.String(130));
    EXPECT_EQ(page->FrameRateText(), refused) << "the box keeps what was typed";
  }
  EXPECT_EQ(graph_->FrameRate(), 30.0);
}

TEST_F(VideoPageTest, SavedDeviceThatIsGoneKeepsItsLabelAndTheFirstDevice) {
  config_.SetValue("VIDEO", "DEVICE", "Unplugged camera");
  auto page = MakePage();
  EXPECT_EQ(page->DeviceLabel(), "Unplugged camera");
  EXPECT_EQ(page->DeviceIndex(), 0);
}

TEST_F(VideoPageTest, ChoosingADeviceTakesItsSizes) {
  devices_.push_back(FakeDeviceScript{});
  devices_[2].name = "Third";
  devices_[2].caps = {Rgb(320, 240), Rgb(640, 480)};
  auto page = MakePage();
  // A device with fewer sizes: the size index must not stay past the end of its list.
  page->OnCommand(VideoCommand::kSize, 1);
  page->OnCommand(VideoCommand::kDevice, 1);
  EXPECT_EQ(page->SizeNames(), std::vector<std::string>{"800 x 600"});
  EXPECT_EQ(page->SizeIndex(), 0);
  EXPECT_EQ(page->SizeLabel(), "800 x 600");
  EXPECT_EQ(devices_[1].runs, 1);
  EXPECT_EQ(graph_->Width(), 800);
  // A device that offers the size too keeps it, wherever it lists it.
  page->OnCommand(VideoCommand::kDevice, 0);
  page->OnCommand(VideoCommand::kDevice, 2);
  EXPECT_EQ(page->SizeIndex(), 1);
  EXPECT_EQ(page->SizeLabel(), "640 x 480");
  ASSERT_EQ(devices_[2].runs, 1);
  EXPECT_EQ(devices_[2].formatsSet.back().width, 640);
}

// A choice beyond its menu (a stale menu, a device list that shrank) must neither index
// past a list nor change anything.
TEST_F(VideoPageTest, ChoicesOutsideTheirMenuChangeNothing) {
  auto page = MakePage();
  const int runsBefore = devices_[0].runs;
  for (const VideoCommand command :
       {VideoCommand::kDevice, VideoCommand::kSize, VideoCommand::kTime, VideoCommand::kTurn, VideoCommand::kMirror}) {
    for (const int item : {-1, 9}) page->OnCommand(command, item);
  }
  EXPECT_EQ(page->DeviceIndex(), 0);
  EXPECT_EQ(page->SizeIndex(), 0);
  EXPECT_EQ(page->TimeMode(), kTimeNone);
  EXPECT_EQ(page->Turn(), FrameTurn{});
  EXPECT_EQ(devices_[0].runs, runsBefore);
  ASSERT_TRUE(page->SaveSettings());
  EXPECT_FALSE(std::filesystem::exists(config_.FileName())) << "no choice, no edit";
}

TEST_F(VideoPageTest, CaptionSteps) {
  auto page = MakePage();
  graph_->SetHeight(480);
  graph_->SetWidth(640);
  page->AdoptPosition(0, 11);
  std::vector<int> ys;
  for (int i = 0; i < 4; ++i) {
    page->OnArrow(CDlgOpcionVideo::Arrow::Up);
    ys.push_back(page->Y());
  }
  EXPECT_EQ(ys, (std::vector<int>{9, 10, 8, 10}));
  page->AdoptPosition(636, 479);
  page->OnArrow(CDlgOpcionVideo::Arrow::Right);
  EXPECT_EQ(page->X(), 635);
  page->OnArrow(CDlgOpcionVideo::Arrow::Down);
  page->OnArrow(CDlgOpcionVideo::Arrow::Down);
  EXPECT_EQ(page->Y(), 480);
  page->OnResetPosition();
  EXPECT_EQ(page->X(), 0);
  EXPECT_EQ(page->Y(), 478);
}

TEST_F(VideoPageTest, NothingIsSavedWithoutADeviceOrBeforeLoading) {
  devices_.clear();
  auto page = MakePage();
  EXPECT_TRUE(page->SaveSettings());
  EXPECT_FALSE(std::filesystem::exists(config_.FileName()));

  // With a device, a page whose settings were never loaded (the settings file could not
  // be used) still writes nothing: its defaults would replace the user's values.
  devices_.resize(1);
  devices_[0].name = "Camera";
  devices_[0].caps = {Rgb(640, 480)};
  graph_->EnumerateDevices();
  CDlgOpcionVideo unloaded(config_, resources_, {}, *graph_, *host_);
  unloaded.OnInitDialog(OverlayFont{}, /*loadSettings=*/false);
  graph_->ListSizes("");
  unloaded.FillLists();
  ASSERT_FALSE(unloaded.DeviceNames().empty());
  EXPECT_TRUE(unloaded.SaveSettings());
  EXPECT_FALSE(std::filesystem::exists(config_.FileName()));
}

// The turn is read with the other settings, applied to the graph at once and on every
// change, shown in the size, bounds the caption on the turned frame, and saved on close.
TEST_F(VideoPageTest, TurnAndMirrorAreLoadedAppliedLiveAndSaved) {
  {
    auto page = MakePage();
    EXPECT_EQ(page->Turn(), FrameTurn{});  // no file: as the camera gives it
    page->OnCommand(VideoCommand::kTurn, 1);
    page->OnCommand(VideoCommand::kMirror, 2);
    EXPECT_EQ(graph_->Turn(), (FrameTurn{90, FrameFlip::kVertical}));
    EXPECT_EQ(page->SizeLabel(), "640 x 480");
    EXPECT_EQ(page->ShownSizeLabel(), "480 x 640");
    page->OnResetPosition();
    EXPECT_EQ(page->Y(), 638);  // two rows above the bottom of a 640-row frame
    ASSERT_TRUE(page->SaveSettings());
  }
  EXPECT_EQ(config_.GetValue("VIDEO", "ROTATE", ""), "90");
  EXPECT_EQ(config_.GetValue("VIDEO", "FLIP", ""), "VERTICAL");
  // The size was the device's own pick, no edit: the turned size is never written either.
  EXPECT_EQ(config_.GetInt("VIDEO\\SIZE", "WIDHT", 0), 0);
  {
    auto page = MakePage();
    EXPECT_EQ(page->Turn(), (FrameTurn{90, FrameFlip::kVertical}));
    EXPECT_EQ(graph_->Turn(), page->Turn());
  }
  // Values the page does not know leave the picture untouched rather than guessed at.
  ASSERT_EQ(0, config_.SetValue("VIDEO", "ROTATE", "45"));
  ASSERT_EQ(0, config_.SetValue("VIDEO", "FLIP", "both"));
  auto page = MakePage();
  EXPECT_EQ(page->Turn(), FrameTurn{});
  EXPECT_EQ(page->ShownSizeLabel(), "640 x 480");
  EXPECT_EQ(page->ShownSizeNames(), page->SizeNames());
}

// Turned sideways, the size menu lists what the label shows; the size chosen from it is
// still stored as the camera's own.
TEST_F(VideoPageTest, TheSizeMenuListsTurnedSizesAndTheFileKeepsTheCamerasOwn) {
  ASSERT_EQ(0, config_.SetValue("VIDEO", "ROTATE", "270"));
  auto page = MakePage();
  EXPECT_EQ(page->ShownSizeNames(), (std::vector<std::string>{"480 x 640", "240 x 320"}));
  page->OnCommand(VideoCommand::kSize, 1);
  EXPECT_EQ(page->ShownSizeLabel(), "240 x 320");
  ASSERT_TRUE(page->SaveSettings());
  EXPECT_EQ(config_.GetInt("VIDEO\\SIZE", "WIDHT", 0), 320);
  EXPECT_EQ(config_.GetInt("VIDEO\\SIZE", "HEIGTH", 0), 240);
}

}  // namespace
}  // namespace orbiscope
