#include "capture/Overlay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/FrameFormat.h"
#include "capture/GrabberCallback.h"
#include "capture/TextMask.h"
#include "image/Picture.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

constexpr std::uint32_t kRed = 0x000000FF;

CPicture Black(std::uint32_t width, std::uint32_t height, std::uint8_t value = 0) {
  CPicture p;
  p.Create(width, height, 24, kFormatBmp);
  std::memset(p.Bits(), value, static_cast<std::size_t>(p.RowBytes()) * height);
  return p;
}

// Colour of the pixel in column x, row yTop counted from the top.
RGBQuad At(const CPicture& p, std::int64_t x, std::int64_t yTop) {
  return p.GetPixelColor(x, static_cast<std::int64_t>(p.Height()) - 1 - yTop, false);
}

bool IsRed(RGBQuad c) { return c.red == 255 && c.green == 0 && c.blue == 0; }
bool IsBlack(RGBQuad c) { return c.red == 0 && c.green == 0 && c.blue == 0; }

// Every pixel is red exactly where the mask, placed with its bottom row on row y, has ink.
void ExpectPlacedMask(const CPicture& image, const TextMaskImage& mask, int x, int y) {
  int mismatches = 0;
  for (std::int64_t row = 0; row < image.Height(); ++row) {
    for (std::int64_t col = 0; col < image.Width(); ++col) {
      const std::int64_t ix = col - x;
      const std::int64_t iy = y - row;  // mask rows count up from its bottom
      const bool ink = ix >= 0 && ix < mask.width && iy >= 0 && iy < mask.height &&
                       mask.coverage[static_cast<std::size_t>(iy * mask.width + ix)] != 0;
      const RGBQuad c = At(image, col, row);
      if (ink ? !IsRed(c) : !IsBlack(c)) ++mismatches;
    }
  }
  EXPECT_EQ(0, mismatches);
}

TextFont Font(int height = -13) {
  TextFont f;
  f.face = "DejaVu Sans";
  f.height = height;
  return f;
}

TEST(OverlayTest, ClampingPlacesTheUnplacedCaptionAndResetsOutOfRangeValues) {
  std::int32_t x = kUnplaced, y = kUnplaced;
  ClampOverlayPosition(x, y, 640, 480);
  EXPECT_EQ(0, x);
  EXPECT_EQ(480, y);
  x = 640, y = 500;
  ClampOverlayPosition(x, y, 640, 480);
  EXPECT_EQ(0, x);
  EXPECT_EQ(480, y);
  x = -7, y = -3;  // no lower bound
  ClampOverlayPosition(x, y, 640, 480);
  EXPECT_EQ(-7, x);
  EXPECT_EQ(-3, y);
}

TEST(OverlayTest, TimeTextFollowsTheMode) {
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz ? oldTz : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const std::time_t seventh = 6 * 86400 + 9 * 3600 + 5 * 60 + 3;  // 7 Jan 1970 09:05:03
  EXPECT_EQ("09:05:03", TimeText(kTimeOfDay, seventh));
  EXPECT_EQ("07 09:05:03", TimeText(kTimeDayAndTime, seventh));
  EXPECT_FALSE(TimeText(kTimeLocale, seventh).empty());
  EXPECT_EQ("", TimeText(kTimeNone, seventh));
  EXPECT_EQ("", TimeText(130, seventh));
  if (oldTz) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

TEST(OverlayTest, CaptionBottomRowLandsOnRowYInFullColour) {
  TextMaskRenderer renderer;
  const TextMaskImage& mask = renderer.Render("Hgy", Font());
  ASSERT_GT(mask.width, 0);
  // The line is h high and the mask leaves h more columns for an italic overhang.
  const TextMaskImage copy = mask;
  CPicture image = Black(120, 60);
  DrawOverlayText(image, renderer, 10, 40, "Hgy", kRed, "DejaVu Sans", -13, 400, false, false);
  ExpectPlacedMask(image, copy, 10, 40);
  // Anti-aliased edges are not blended: no pixel is anything but black or pure red.
  int ink = 0;
  for (std::int64_t r = 0; r < 60; ++r)
    for (std::int64_t c = 0; c < 120; ++c) {
      const RGBQuad p = At(image, c, r);
      EXPECT_TRUE(IsBlack(p) || IsRed(p));
      ink += IsRed(p);
    }
  EXPECT_GT(ink, 20);
  // The descenders reach the bottom rows of the mask, so ink sits just above row 40.
  int lowest = -1;
  for (std::int64_t r = 0; r < 60; ++r)
    for (std::int64_t c = 0; c < 120; ++c)
      if (IsRed(At(image, c, r))) lowest = static_cast<int>(r);
  EXPECT_LE(lowest, 40);
  EXPECT_GE(lowest, 37);
}

TEST(OverlayTest, CaptionOverTheEdgesIsClippedNeverWrapped) {
  TextMaskRenderer renderer;
  const TextMaskImage mask = renderer.Render("Wide caption", Font());
  // Right edge, and a bottom edge one row below the picture (the unplaced default).
  CPicture image = Black(60, 30);
  DrawOverlayText(image, renderer, 40, 30, "Wide caption", kRed, "DejaVu Sans", -13, 400, false, false);
  ExpectPlacedMask(image, mask, 40, 30);
  // Above the top and left of the left edge.
  CPicture other = Black(60, 30);
  DrawOverlayText(other, renderer, -5, 4, "Wide caption", kRed, "DejaVu Sans", -13, 400, false, false);
  ExpectPlacedMask(other, mask, -5, 4);
  // A picture without pixels is left alone.
  CPicture empty;
  DrawOverlayText(empty, renderer, 0, 0, "x", kRed, "", -13, 400, false, false);
  EXPECT_FALSE(empty.HasPixels());
}

TEST(OverlayTest, OutlineRimsTheTextInBlackAndLeavesTheRestAlone) {
  TextMaskRenderer renderer;
  const TextMaskImage mask = renderer.Render("Hgy", Font());
  const auto inkAt = [&](std::int64_t col, std::int64_t row, int x, int y) {
    const std::int64_t ix = col - x, iy = y - row;
    return ix >= 0 && ix < mask.width && iy >= 0 && iy < mask.height &&
           mask.coverage[static_cast<std::size_t>(iy * mask.width + ix)] != 0;
  };
  // Inside the picture, and cut by its top-left corner: the rim is clipped like the text.
  for (const auto& [x, y] : {std::pair{10, 40}, std::pair{-3, 5}}) {
    CPicture image = Black(80, 50, 255);
    DrawOverlayText(image, renderer, x, y, "Hgy", kRed, "DejaVu Sans", -13, 400, false, false,
                    /*outline=*/true);
    int wrong = 0, rim = 0;
    for (std::int64_t r = 0; r < 50; ++r)
      for (std::int64_t c = 0; c < 80; ++c) {
        bool near = false;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) near = near || inkAt(c + dc, r + dr, x, y);
        const RGBQuad p = At(image, c, r);
        const bool white = p.red == 255 && p.green == 255 && p.blue == 255;
        if (inkAt(c, r, x, y) ? !IsRed(p) : near ? !IsBlack(p) : !white) ++wrong;
        rim += !inkAt(c, r, x, y) && near;
      }
    EXPECT_EQ(0, wrong) << "at " << x << "," << y;
    EXPECT_GT(rim, 20);
  }
}

TEST(OverlayTest, WeightItalicUnderlineAndFaceChangeTheMask) {
  TextMaskRenderer renderer;
  auto inkOf = [](const TextMaskImage& m) {
    int n = 0;
    for (auto v : m.coverage) n += v != 0;
    return n;
  };
  TextFont regular = Font(-20);
  const TextMaskImage plain = renderer.Render("Orbiscope", regular);
  TextFont bold = regular;
  bold.weight = 700;
  EXPECT_GT(inkOf(renderer.Render("Orbiscope", bold)), inkOf(plain) * 11 / 10);
  TextFont italic = regular;
  italic.italic = true;
  EXPECT_NE(plain.coverage, renderer.Render("Orbiscope", italic).coverage);

  TextFont underline = regular;
  underline.underline = true;
  const TextMaskImage under = renderer.Render("Orbiscope", underline);
  // Some row is inked across the whole text width (w = mask width - h).
  const int textWidth = under.width - under.height;
  bool fullRow = false;
  for (int r = 0; r < under.height && !fullRow; ++r) {
    int n = 0;
    for (int c = 0; c < textWidth; ++c) n += under.coverage[static_cast<std::size_t>(r * under.width + c)] != 0;
    fullRow = n == textWidth;
  }
  EXPECT_TRUE(fullRow);

  // fontconfig picks the face by name; an unknown name still yields some font.
  EXPECT_NE(std::string::npos, renderer.FontFile(TextFont{"DejaVu Sans Mono", -13}).find("Mono"));
  EXPECT_FALSE(renderer.FontFile(TextFont{"No Such Face 123", -13}).empty());
  EXPECT_EQ(0, renderer.Render("", regular).width);
}

TEST(OverlayTest, LogoAddsIntoTheBottomLeftAndBlackChangesNothing) {
  CPicture logo = Black(4, 2);
  logo.SetPixelColor(1, 0, RGBQuad{200, 10, 0, 0});
  CPicture frame = Black(6, 3, 100);
  StampLogo(frame, logo);
  EXPECT_EQ((RGBQuad{255, 110, 100, 0}), frame.GetPixelColor(1, 0, false));  // capped at 255
  for (std::int64_t y = 0; y < 3; ++y)
    for (std::int64_t x = 0; x < 6; ++x)
      if (!(x == 1 && y == 0)) {
        EXPECT_EQ((RGBQuad{100, 100, 100, 0}), frame.GetPixelColor(x, y, false));
      }
  CPicture none;
  StampLogo(frame, none);
  EXPECT_EQ((RGBQuad{100, 100, 100, 0}), frame.GetPixelColor(0, 0, false));
}

// The frame path end to end: caption, time text and logo on a decoded frame.
class OverlayFrameTest : public ::testing::Test {
protected:
  OverlayFrameTest() : grabber_(resources_) {
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  }
  // Feeds a frame of one grey value and processes it.
  const CPicture& Process(int width, int height, const OverlaySettings& settings, std::uint8_t grey = 0) {
    grabber_.SetFrameSize(width, height);
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(FrameBytes(width, height, 24)), grey);
    grabber_.BufferCB(0.0, frame.data(), static_cast<long>(frame.size()));
    EXPECT_TRUE(grabber_.ProcessFrame(settings));
    return grabber_.WorkingImage();
  }
  ResourceLibrary resources_;
  GrabberCallback grabber_;
};

TEST_F(OverlayFrameTest, LogoIsScaledToHalfWidthBy14thAndSitsBottomLeft) {
  OverlaySettings settings;
  settings.x = 0;
  settings.y = 0;
  const CPicture& frame = Process(640, 480, settings);
  ASSERT_TRUE(grabber_.LogoImage().HasPixels()) << "picture 229 missing from the resource library";
  EXPECT_EQ(320u, grabber_.LogoImage().Width());
  EXPECT_EQ(45u, grabber_.LogoImage().Height());
  EXPECT_EQ(640, grabber_.LogoWidth());
  // On a black frame the stamped area is the logo itself; outside it nothing changed.
  bool logoVisible = false;
  int outside = 0;
  for (std::int64_t y = 0; y < 480; ++y)
    for (std::int64_t x = 0; x < 640; ++x) {
      const RGBQuad c = frame.GetPixelColor(x, y, false);
      if (x < 320 && y < 45) {
        EXPECT_EQ(grabber_.LogoImage().GetPixelColor(x, y, false), c);
        logoVisible |= !IsBlack(c);
      } else {
        outside += !IsBlack(c);
      }
    }
  EXPECT_TRUE(logoVisible);
  EXPECT_EQ(0, outside);
  // A new frame width rescales it on the next frame.
  Process(320, 240, settings);
  EXPECT_EQ(160u, grabber_.LogoImage().Width());
  EXPECT_EQ(22u, grabber_.LogoImage().Height());
}

TEST_F(OverlayFrameTest, TimeTextBottomIsHeightPlusFiveRowsDown) {
  OverlaySettings settings;
  settings.x = 0;
  settings.y = 0;  // the caption is empty anyway
  settings.colour = kRed;
  settings.timeMode = kTimeOfDay;
  settings.font.faceName = "DejaVu Sans";
  settings.font.height = -13;
  const CPicture& frame = Process(640, 480, settings);
  int lowest = -1, highest = 480;
  for (std::int64_t r = 0; r < 300; ++r)
    for (std::int64_t c = 0; c < 640; ++c)
      if (IsRed(At(frame, c, r))) {
        lowest = std::max(lowest, static_cast<int>(r));
        highest = std::min(highest, static_cast<int>(r));
      }
  ASSERT_GE(lowest, 0) << "no time text drawn";
  EXPECT_LE(lowest, 18);   // bottom edge on row |-13| + 5
  EXPECT_GE(lowest, 13);   // digits stand on the baseline, a few rows above the edge
  EXPECT_GE(highest, 18 - 15);
}

TEST_F(OverlayFrameTest, StrikeOutAndWidthChangeNothing) {
  OverlaySettings settings;
  settings.caption = "Strike me";
  settings.x = 20;
  settings.y = 100;
  settings.colour = 0x0000FF00;
  settings.font.faceName = "DejaVu Sans";
  const CPicture first(Process(320, 240, settings, 30));
  settings.font.strikeOut = 1;
  settings.font.width = 40;
  settings.font.escapement = 900;
  const CPicture& second = Process(320, 240, settings, 30);
  ASSERT_EQ(first.BlockSize(), second.BlockSize());
  EXPECT_EQ(0, std::memcmp(first.Block(), second.Block(), first.BlockSize()));
  // And the caption was drawn at all, in pure green.
  bool green = false;
  for (std::int64_t c = 20; c < 120 && !green; ++c)
    for (std::int64_t r = 85; r <= 100 && !green; ++r) {
      const RGBQuad p = At(second, c, r);
      green = p.green == 255 && p.red == 0 && p.blue == 0;
    }
  EXPECT_TRUE(green);
}

}  // namespace
}  // namespace orbiscope
