#include "dialogs/VideoSettings.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::TempDir;

// Every value away from what a missing file gives, so that a key read under one name and
// written under another cannot pass.
VideoSettings Edited() {
  VideoSettings s;
  s.device = "Second";
  s.width = 800;
  s.height = 600;
  s.frameRate = "12";
  s.showText = true;
  s.caption = "Front door";
  s.timeMode = kTimeDayAndTime;
  s.x = 40;
  s.y = 300;
  s.font.faceName = "DejaVu Serif";
  s.font.height = -20;
  s.font.width = 7;
  s.font.italic = 1;
  s.font.underline = 1;
  s.font.strikeOut = 1;
  s.colour = 0x00FF00;
  s.turn = FrameTurn{270, FrameFlip::kHorizontal};
  s.outline = true;
  s.keepServing = true;
  return s;
}

void ExpectSame(const VideoSettings& a, const VideoSettings& b) {
  EXPECT_EQ(a.device, b.device);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.frameRate, b.frameRate);
  EXPECT_EQ(a.showText, b.showText);
  EXPECT_EQ(a.caption, b.caption);
  EXPECT_EQ(a.timeMode, b.timeMode);
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.font.faceName, b.font.faceName);
  EXPECT_EQ(a.font.height, b.font.height);
  EXPECT_EQ(a.font.width, b.font.width);
  EXPECT_EQ(a.font.italic, b.font.italic);
  EXPECT_EQ(a.font.underline, b.font.underline);
  EXPECT_EQ(a.font.strikeOut, b.font.strikeOut);
  EXPECT_EQ(a.colour, b.colour);
  EXPECT_EQ(a.turn, b.turn);
}

TEST(VideoSettingsTest, EditedGroupsReadBackAndTheFileOnlyKeysAreNeverWritten) {
  TempDir dir;
  ConfigStore config;
  config.SetFileName(dir.File("orbiscope.CONFIG.XML"));
  const VideoEdits all = {VideoField::kDevice,   VideoField::kSize,     VideoField::kFrameRate, VideoField::kShowText,
                          VideoField::kCaption,  VideoField::kPosition, VideoField::kTimeMode,  VideoField::kFont,
                          VideoField::kRotate,   VideoField::kFlip};
  const VideoSettings written = Edited();
  ASSERT_TRUE(WriteVideoSettings(config, written, all));
  const VideoSettings read = ReadVideoSettings(config, OverlayFont{});
  ExpectSame(read, written);
  // Outline and keep-serving belong to the file's owner: the program only reads them.
  EXPECT_FALSE(read.outline);
  EXPECT_FALSE(read.keepServing);
}

TEST(VideoSettingsTest, OnlyTheEditedGroupIsWritten) {
  TempDir dir;
  ConfigStore config;
  config.SetFileName(dir.File("orbiscope.CONFIG.XML"));
  ASSERT_TRUE(WriteVideoSettings(config, Edited(), {VideoField::kPosition}));
  OverlayFont start;
  start.faceName = "DejaVu Sans";
  const VideoSettings read = ReadVideoSettings(config, start);
  EXPECT_EQ(read.x, 40);
  EXPECT_EQ(read.y, 300);
  // Everything else is what a file without those keys gives.
  EXPECT_EQ(read.device, "");
  EXPECT_EQ(read.width, 0);
  EXPECT_EQ(read.caption, "");
  EXPECT_EQ(read.timeMode, kTimeNone);
  EXPECT_EQ(read.font.faceName, "DejaVu Sans");
  EXPECT_EQ(read.turn, FrameTurn{});
}

}  // namespace
}  // namespace orbiscope
