#include "capture/FrameTransform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "capture/FrameFormat.h"
#include "capture/TestPattern.h"
#include "image/Picture.h"

namespace orbiscope {
namespace {

// A frame in the grabber's format whose every pixel is a different colour: its index.
std::vector<std::uint8_t> NumberedFrame(int width, int height) {
  const std::int64_t rowBytes = RowBytes(width, 24);
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(rowBytes * height), 0xEE);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) {
      const std::uint32_t n = static_cast<std::uint32_t>(row * width + x);
      std::uint8_t* p = frame.data() + row * rowBytes + x * 3;
      p[0] = n & 0xFF;
      p[1] = (n >> 8) & 0xFF;
      p[2] = (n >> 16) & 0xFF;
    }
  return frame;
}

// The number of the pixel at column x, row yTop from the top.
std::uint32_t NumberAt(const CPicture& p, std::int64_t x, std::int64_t yTop) {
  const RGBQuad c = p.GetPixelColor(x, static_cast<std::int64_t>(p.Height()) - 1 - yTop, false);
  return c.blue | (c.green << 8) | (std::uint32_t{c.red} << 16);
}

// The source number of a corner of a width x height frame, counted from the top-left.
enum Corner { kTopLeft, kTopRight, kBottomLeft, kBottomRight };
std::uint32_t CornerNumber(Corner corner, std::uint32_t w, std::uint32_t h) {
  const std::uint32_t x = corner == kTopRight || corner == kBottomRight ? w - 1 : 0;
  const std::uint32_t yTop = corner == kBottomLeft || corner == kBottomRight ? h - 1 : 0;
  return (h - 1 - yTop) * w + x;  // stored rows count from the bottom
}

// Every turn: where the source's top-left and top-right corners go (two corners fix the
// turn), and that each source pixel appears exactly once with the row padding cleared.
// 37 x 21 has padded rows and is no multiple of any band of rows the pass may work in.
TEST(FrameTransformTest, EveryTurnMovesTheCornersWhereTheyBelongAndKeepsEveryPixel) {
  constexpr int kW = 37, kH = 21;
  struct Case {
    int rotate;
    FrameFlip flip;
    Corner topLeftGoesTo, topRightGoesTo;
  };
  const Case cases[] = {
      {0, FrameFlip::kNone, kTopLeft, kTopRight},
      {90, FrameFlip::kNone, kTopRight, kBottomRight},
      {180, FrameFlip::kNone, kBottomRight, kBottomLeft},
      {270, FrameFlip::kNone, kBottomLeft, kTopLeft},
      {0, FrameFlip::kHorizontal, kTopRight, kTopLeft},
      {0, FrameFlip::kVertical, kBottomLeft, kBottomRight},
      // Mirrored first, then turned: the mirrored top-right corner is the one turned.
      {90, FrameFlip::kHorizontal, kBottomRight, kTopRight},
      {90, FrameFlip::kVertical, kTopLeft, kBottomLeft},
      {180, FrameFlip::kHorizontal, kBottomLeft, kBottomRight},
      {270, FrameFlip::kVertical, kBottomRight, kTopRight},
  };
  const std::vector<std::uint8_t> frame = NumberedFrame(kW, kH);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rotate << " " << FlipName(c.flip));
    const FrameTurn turn{c.rotate, c.flip};
    CPicture out;
    ASSERT_TRUE(TurnFrame(frame.data(), kW, kH, turn, out));
    const std::uint32_t w = turn.Sideways() ? kH : kW, h = turn.Sideways() ? kW : kH;
    ASSERT_EQ(w, out.Width());
    ASSERT_EQ(h, out.Height());
    ASSERT_EQ(24u, out.Bpp());
    auto at = [&](Corner corner) {
      return NumberAt(out, corner == kTopRight || corner == kBottomRight ? w - 1 : 0,
                      corner == kBottomLeft || corner == kBottomRight ? h - 1 : 0);
    };
    EXPECT_EQ(CornerNumber(kTopLeft, kW, kH), at(c.topLeftGoesTo));
    EXPECT_EQ(CornerNumber(kTopRight, kW, kH), at(c.topRightGoesTo));

    std::set<std::uint32_t> seen;
    int padding = 0;
    for (std::uint32_t row = 0; row < h; ++row) {
      for (std::uint32_t x = 0; x < w; ++x) seen.insert(NumberAt(out, x, row));
      const std::uint8_t* bytes = out.Row(row);
      for (std::uint32_t i = w * 3; i < out.RowBytes(); ++i) padding += bytes[i] != 0;
    }
    EXPECT_EQ(static_cast<std::size_t>(kW * kH), seen.size());
    EXPECT_EQ(static_cast<std::uint32_t>(kW * kH - 1), *seen.rbegin());
    EXPECT_EQ(0, padding);
  }
}

// Every pixel against the plain definition: mirrored, then turned clockwise a quarter at a
// time on a grid. Frames of several tiles each way whose rows are padded, and not (then
// the buffer ends on a pixel, which a word-wide read must not pass).
TEST(FrameTransformTest, EveryPixelOfEveryTurnLandsWhereTheTurnedGridPutsIt) {
  using Grid = std::vector<std::vector<std::uint32_t>>;
  for (const auto& [kW, kH] : {std::pair{67, 45}, std::pair{68, 40}}) {
    const std::vector<std::uint8_t> frame = NumberedFrame(kW, kH);
    Grid source(kH, std::vector<std::uint32_t>(kW));
    for (int yTop = 0; yTop < kH; ++yTop)
      for (int x = 0; x < kW; ++x) source[yTop][x] = static_cast<std::uint32_t>((kH - 1 - yTop) * kW + x);
    for (int rotate : {0, 90, 180, 270}) {
      for (FrameFlip flip : {FrameFlip::kNone, FrameFlip::kHorizontal, FrameFlip::kVertical}) {
        SCOPED_TRACE(testing::Message() << kW << "x" << kH << " " << rotate << " " << FlipName(flip));
        Grid want = source;
        if (flip == FrameFlip::kHorizontal)
          for (auto& row : want) std::reverse(row.begin(), row.end());
        if (flip == FrameFlip::kVertical) std::reverse(want.begin(), want.end());
        for (int quarter = 0; quarter < rotate / 90; ++quarter) {
          Grid turned(want[0].size(), std::vector<std::uint32_t>(want.size()));
          for (std::size_t r = 0; r < turned.size(); ++r)
            for (std::size_t c = 0; c < turned[r].size(); ++c) turned[r][c] = want[want.size() - 1 - c][r];
          want = std::move(turned);
        }
        CPicture out;
        ASSERT_TRUE(TurnFrame(frame.data(), kW, kH, FrameTurn{rotate, flip}, out));
        ASSERT_EQ(want.size(), out.Height());
        ASSERT_EQ(want[0].size(), out.Width());
        int wrong = 0;
        for (std::uint32_t yTop = 0; yTop < out.Height(); ++yTop)
          for (std::uint32_t x = 0; x < out.Width(); ++x) wrong += NumberAt(out, x, yTop) != want[yTop][x];
        EXPECT_EQ(0, wrong);
      }
    }
  }
}

// Unturned, the pass makes the very picture a BMP decode of the buffer made, so that the
// pictures served (resolution, quality and all) stay byte for byte what they were.
TEST(FrameTransformTest, UnturnedFrameEqualsTheBmpDecodeOfTheBufferAndEncodesAlike) {
  constexpr int kW = 61, kH = 17;
  const std::vector<std::uint8_t> frame = NumberedFrame(kW, kH);
  std::vector<std::uint8_t> file(54, 0);
  file[0] = 'B';
  file[1] = 'M';
  auto le32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  le32(2, static_cast<std::uint32_t>(54 + frame.size()));
  le32(10, 54);
  le32(14, 40);
  le32(18, kW);
  le32(22, kH);
  file[26] = 1;
  file[28] = 24;
  file.insert(file.end(), frame.begin(), frame.end());
  const CPicture decoded(file.data(), file.size(), kFormatBmp);
  ASSERT_TRUE(decoded.HasPixels()) << decoded.LastError();

  CPicture turned;
  ASSERT_TRUE(TurnFrame(frame.data(), kW, kH, FrameTurn{}, turned));
  EXPECT_EQ(0, std::memcmp(&decoded.Header(), &turned.Header(), sizeof(BitmapInfoHeader)));
  EXPECT_EQ(decoded.Format(), turned.Format());
  EXPECT_EQ(decoded.Info().xDpi, turned.Info().xDpi);
  EXPECT_EQ(decoded.Info().jpegQuality, turned.Info().jpegQuality);
  ASSERT_EQ(decoded.BlockSize(), turned.BlockSize());
  // Pixels alike; the row padding, which no encoder reads, is cleared rather than copied.
  for (std::uint32_t row = 0; row < kH; ++row)
    EXPECT_EQ(0, std::memcmp(decoded.Row(row), turned.Row(row), kW * 3)) << "row " << row;
  for (std::uint32_t format : {kFormatJpeg, kFormatPng}) {
    std::size_t a = 0, b = 0;
    CPicture left(decoded), right(turned);
    EncodedBytes one = left.EncodeToMemory(format, a);
    EncodedBytes two = right.EncodeToMemory(format, b);
    ASSERT_TRUE(one && two);
    ASSERT_EQ(a, b);
    EXPECT_EQ(0, std::memcmp(one.get(), two.get(), a)) << "format " << format;
  }
}

TEST(FrameTransformTest, ATargetOfTheRightSizeKeepsItsBlockAndAnotherIsRemade) {
  const std::vector<std::uint8_t> frame = NumberedFrame(8, 6);
  CPicture target;
  ASSERT_TRUE(TurnFrame(frame.data(), 8, 6, FrameTurn{}, target));
  const std::uint8_t* block = target.Bits();
  ASSERT_TRUE(TurnFrame(frame.data(), 8, 6, FrameTurn{180, FrameFlip::kNone}, target));
  EXPECT_EQ(block, target.Bits());
  ASSERT_TRUE(TurnFrame(frame.data(), 8, 6, FrameTurn{90, FrameFlip::kNone}, target));
  EXPECT_EQ(6u, target.Width());
  EXPECT_EQ(8u, target.Height());
  // A frame too big for any picture leaves the target empty instead of half written.
  EXPECT_FALSE(TurnFrame(frame.data(), 20000, 6, FrameTurn{}, target));
  EXPECT_FALSE(target.HasPixels());
}

// The test pattern's colour bars stand upright; turned a quarter they run across.
TEST(FrameTransformTest, ColourBarsRunAcrossAfterAQuarterTurn) {
  constexpr int kW = 320, kH = 240;
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(FrameBytes(kW, kH, 24)));
  TestPatternLook look;
  look.movingBlock = false;
  RenderTestPattern(frame.data(), kW, kH, 1, look);
  CPicture out;
  ASSERT_TRUE(TurnFrame(frame.data(), kW, kH, FrameTurn{90, FrameFlip::kNone}, out));
  // The bars, the source's upper half, are now the right half: each row one colour.
  int mixedRows = 0;
  std::set<std::uint32_t> colours;
  for (std::uint32_t row = 0; row < out.Height(); ++row) {
    const std::uint32_t first = NumberAt(out, kH / 2, row);
    colours.insert(first);
    for (std::uint32_t x = kH / 2; x < out.Width(); ++x)
      if (NumberAt(out, x, row) != first) {
        ++mixedRows;
        break;
      }
  }
  EXPECT_EQ(0, mixedRows);
  EXPECT_GE(colours.size(), 7u) << "the bars change colour down the picture";
}

TEST(FrameTransformTest, SettingsWordsParseExactlyOrNotAtAll) {
  int degrees = -1;
  for (const char* good : {"0", "90", "180", "270"}) EXPECT_TRUE(ParseRotation(good, degrees)) << good;
  EXPECT_EQ(270, degrees);
  for (const char* bad : {"", "45", "360", "-90", " 90", "90 "}) EXPECT_FALSE(ParseRotation(bad, degrees)) << bad;
  EXPECT_EQ(270, degrees);
  FrameFlip flip = FrameFlip::kNone;
  for (FrameFlip f : {FrameFlip::kHorizontal, FrameFlip::kVertical, FrameFlip::kNone}) {
    EXPECT_TRUE(ParseFlip(FlipName(f), flip));
    EXPECT_EQ(f, flip);
  }
  for (const char* bad : {"", "horizontal", "BOTH", "TRUE"}) EXPECT_FALSE(ParseFlip(bad, flip)) << bad;
}

}  // namespace
}  // namespace orbiscope
