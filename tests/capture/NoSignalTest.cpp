#include "capture/NoSignal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace orbiscope {
namespace {

// The columns and rows (from the top) that carry ink, as [first, last]; -1 when none.
struct Ink {
  int left = -1, right = -1, top = -1, bottom = -1;
};

Ink InkOf(const CPicture& p) {
  Ink ink;
  for (std::uint32_t y = 0; y < p.Height(); ++y) {
    const std::uint8_t* row = p.Row(y);
    const int top = static_cast<int>(p.Height() - 1 - y);
    for (std::uint32_t x = 0; x < p.Width(); ++x) {
      if (row[3 * x] == NoSignalPicture::kBackground && row[3 * x + 1] == NoSignalPicture::kBackground &&
          row[3 * x + 2] == NoSignalPicture::kBackground)
        continue;
      const int col = static_cast<int>(x);
      ink.left = ink.left < 0 ? col : std::min(ink.left, col);
      ink.right = std::max(ink.right, col);
      ink.top = ink.top < 0 ? top : std::min(ink.top, top);
      ink.bottom = std::max(ink.bottom, top);
    }
  }
  return ink;
}

// The text sits in the middle of every size, and a frame too small for it clips it.
TEST(NoSignalPicture, DarkFrameOfTheSizeWithTheTextCentred) {
  NoSignalPicture maker;
  const struct {
    std::int32_t width, height;
    bool whole;  // the text fits
  } kCases[] = {{320, 240, true}, {640, 480, true}, {1280, 720, true}, {30, 14, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const CPicture frame = maker.Frame(c.width, c.height, "No signal", "");
    ASSERT_EQ(frame.Width(), static_cast<std::uint32_t>(c.width));
    ASSERT_EQ(frame.Height(), static_cast<std::uint32_t>(c.height));
    EXPECT_EQ(frame.Bpp(), 24u);
    const Ink ink = InkOf(frame);
    ASSERT_GE(ink.left, 0) << "some text is drawn";
    if (!c.whole) continue;
    EXPECT_GT(ink.left, 0);
    EXPECT_LT(ink.right, c.width - 1);
    // Glyph shapes leave the ink a few pixels off the exact middle, never more.
    EXPECT_LE(std::abs((ink.left + ink.right) - c.width), 8);
    EXPECT_LE(std::abs((ink.top + ink.bottom) - c.height), c.height / 10);
  }
}

// Each call hands out its own copy: marks drawn into one never reach the next.
TEST(NoSignalPicture, EachFrameIsAFreshCopyAndFollowsTheText) {
  NoSignalPicture maker;
  CPicture first = maker.Frame(160, 120, "No signal", "");
  const CPicture clean(first);
  std::fill(first.Row(0), first.Row(0) + 3 * 160, std::uint8_t{255});
  const CPicture second = maker.Frame(160, 120, "No signal", "");
  EXPECT_TRUE(std::equal(clean.Block(), clean.Block() + clean.BlockSize(), second.Block()));
  const CPicture other = maker.Frame(160, 120, "Sin señal", "");
  EXPECT_FALSE(std::equal(clean.Block(), clean.Block() + clean.BlockSize(), other.Block()));
  EXPECT_FALSE(maker.Frame(0, 120, "No signal", "").HasPixels());
  EXPECT_FALSE(maker.Frame(160, -1, "No signal", "").HasPixels());
}

}  // namespace
}  // namespace orbiscope
