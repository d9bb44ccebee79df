#include "image/BmpCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ImageTestSupport.h"
#include "image/ImageStream.h"

namespace orbiscope {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Le16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Le32(Bytes& b, std::uint32_t v) {
  Le16(b, v);
  Le16(b, v >> 16);
}

// A bare DIB as the grabber hands frames over: info header, optional palette and masks,
// then the pixel bytes.
Bytes Dib(std::int32_t w, std::int32_t h, int bpp, std::uint32_t compression, const Bytes& extra,
          const Bytes& pixels, std::int32_t pels = 0, std::uint32_t clrUsed = 0) {
  Bytes b;
  Le32(b, 40);
  Le32(b, static_cast<std::uint32_t>(w));
  Le32(b, static_cast<std::uint32_t>(h));
  Le16(b, 1);
  Le16(b, static_cast<std::uint32_t>(bpp));
  Le32(b, compression);
  Le32(b, static_cast<std::uint32_t>(pixels.size()));
  Le32(b, static_cast<std::uint32_t>(pels));
  Le32(b, static_cast<std::uint32_t>(pels));
  Le32(b, clrUsed);
  Le32(b, 0);
  b.insert(b.end(), extra.begin(), extra.end());
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes WithFileHeader(const Bytes& dib, std::uint32_t headerAndPalette) {
  Bytes b = {'B', 'M'};
  Le32(b, static_cast<std::uint32_t>(14 + dib.size()));
  Le32(b, 0);
  Le32(b, 14 + headerAndPalette);
  b.insert(b.end(), dib.begin(), dib.end());
  return b;
}

CPicture Decode(const Bytes& bytes) {
  CPicture pic;
  MemoryStream s(bytes.data(), bytes.size());
  pic.Decode(&s, kFormatBmp);
  return pic;
}

TEST(BmpReaderTest, TopDownPictureEqualsItsBottomUpTwin) {
  // 2 x 2, rows padded to 8 bytes: bottom row blue, green; top row red, white.
  const Bytes bottom = {255, 0, 0, 0, 255, 0, 0, 0};
  const Bytes top = {0, 0, 255, 255, 255, 255, 0, 0};
  Bytes upward = bottom;
  upward.insert(upward.end(), top.begin(), top.end());
  Bytes downward = top;
  downward.insert(downward.end(), bottom.begin(), bottom.end());
  CPicture a = Decode(WithFileHeader(Dib(2, 2, 24, 0, {}, upward), 40));
  CPicture b = Decode(WithFileHeader(Dib(2, -2, 24, 0, {}, downward), 40));
  ASSERT_TRUE(a.HasPixels()) << a.LastError();
  ASSERT_TRUE(b.HasPixels()) << b.LastError();
  EXPECT_EQ(b.Height(), 2u);
  EXPECT_EQ(std::memcmp(a.Block(), b.Block(), a.BlockSize()), 0);
  EXPECT_EQ(a.GetPixelColor(0, 1), (RGBQuad{0, 0, 255, 0}));
  EXPECT_EQ(a.Format(), kFormatBmp);
}

TEST(BmpReaderTest, ZeroResolutionOfAFrameKeeps96DotsPerInch) {
  const Bytes pixels(12, 0x40);
  CPicture frame = Decode(Dib(2, 2, 24, 0, {}, Bytes(16, 0x40)));
  ASSERT_TRUE(frame.HasPixels()) << frame.LastError();
  EXPECT_EQ(frame.Info().xDpi, 96u);
  EXPECT_EQ(frame.Info().yDpi, 96u);
  EXPECT_EQ(frame.Header().biXPelsPerMeter, 3780);
  // A given resolution is converted: 2835 pels per metre are 72 dots per inch.
  CPicture print = Decode(Dib(2, 2, 24, 0, {}, Bytes(16, 0x40), 2835));
  EXPECT_EQ(print.Info().xDpi, 72u);
  EXPECT_EQ(print.Header().biYPelsPerMeter, 2835);
}

TEST(BmpReaderTest, RunLengthEncodedPictures) {
  // RLE8, 4 x 2: bottom row "3 x index 1, then 2", end of line; top row absolute run of
  // 3 (padded), then one more pixel by a run, end of picture.
  const Bytes rle8 = {3, 1, 1, 2, 0, 0, 0, 3, 5, 6, 7, 0, 1, 8, 0, 1};
  Bytes palette(256 * 4, 0);
  CPicture p8 = Decode(Dib(4, 2, 8, 1, palette, rle8));
  ASSERT_TRUE(p8.HasPixels()) << p8.LastError();
  const std::uint8_t want8[2][4] = {{1, 1, 1, 2}, {5, 6, 7, 8}};
  for (std::uint32_t y = 0; y < 2; ++y)
    for (std::uint32_t x = 0; x < 4; ++x) EXPECT_EQ(p8.GetPixelIndex(x, y), want8[y][x]) << x << y;

  // RLE4, 7 x 1: a run of 3 alternating 0xA and 0xB, an absolute run of 3 nibbles (two
  // bytes, no padding), a run of 1, end of picture.
  const Bytes rle4 = {3, 0xAB, 0, 3, 0xCD, 0xE0, 1, 0xF0, 0, 1};
  CPicture p4 = Decode(Dib(7, 1, 4, 2, Bytes(16 * 4, 0), rle4));
  ASSERT_TRUE(p4.HasPixels()) << p4.LastError();
  const std::uint8_t want4[7] = {0xA, 0xB, 0xA, 0xC, 0xD, 0xE, 0xF};
  for (std::uint32_t x = 0; x < 7; ++x) EXPECT_EQ(p4.GetPixelIndex(x, 0), want4[x]) << x;

  // Runs and deltas that point outside the picture are dropped, never written.
  const Bytes hostile = {255, 9, 0, 2, 200, 200, 0, 5, 1, 2, 3, 4, 5, 0, 0, 1};
  CPicture safe = Decode(Dib(3, 2, 8, 1, palette, hostile));
  ASSERT_TRUE(safe.HasPixels());
  EXPECT_EQ(safe.GetPixelIndex(2, 0), 9);
}

TEST(BmpReaderTest, SixteenAndThirtyTwoBitPicturesBecomeTwentyFourBits) {
  // 5-5-5 default masks: pure red 0x7C00, and a 5-6-5 bit-field picture.
  CPicture p555 = Decode(Dib(2, 1, 16, 0, {}, {0x00, 0x7C, 0x1F, 0x00}));
  ASSERT_TRUE(p555.HasPixels()) << p555.LastError();
  EXPECT_EQ(p555.Bpp(), 24u);
  EXPECT_EQ(p555.GetPixelColor(0, 0), (RGBQuad{0, 0, 255, 0}));
  EXPECT_EQ(p555.GetPixelColor(1, 0), (RGBQuad{255, 0, 0, 0}));
  Bytes masks;
  Le32(masks, 0xF800);
  Le32(masks, 0x07E0);
  Le32(masks, 0x001F);
  CPicture p565 = Decode(Dib(2, 1, 16, 3, masks, {0xE0, 0x07, 0x00, 0xF8}));
  ASSERT_TRUE(p565.HasPixels()) << p565.LastError();
  EXPECT_EQ(p565.GetPixelColor(0, 0), (RGBQuad{0, 255, 0, 0}));
  EXPECT_EQ(p565.GetPixelColor(1, 0), (RGBQuad{0, 0, 255, 0}));
  CPicture p32 = Decode(Dib(1, 1, 32, 0, {}, {10, 20, 30, 99}));
  ASSERT_TRUE(p32.HasPixels()) << p32.LastError();
  EXPECT_EQ(p32.GetPixelColor(0, 0), (RGBQuad{10, 20, 30, 0}));
}

TEST(BmpReaderTest, CoreHeaderWithThreeBytePalette) {
  Bytes b = {'B', 'M'};
  Le32(b, 0);
  Le32(b, 0);
  Le32(b, 14 + 12 + 6);
  Le32(b, 12);
  Le16(b, 3);
  Le16(b, 1);
  Le16(b, 1);
  Le16(b, 1);
  b.insert(b.end(), {1, 2, 3, 4, 5, 6});   // two entries
  b.insert(b.end(), {0xA0, 0, 0, 0});     // pixels 1, 0, 1
  CPicture pic = Decode(b);
  ASSERT_TRUE(pic.HasPixels()) << pic.LastError();
  EXPECT_EQ(pic.GetPaletteColor(1), (RGBQuad{4, 5, 6, 0}));
  EXPECT_EQ(pic.GetPixelColor(2, 0), (RGBQuad{4, 5, 6, 0}));
  EXPECT_EQ(pic.GetPixelIndex(1, 0), 0);
}

TEST(BmpReaderTest, RefusalsCarryTheirTexts) {
  const Bytes tiny = {'B', 'M', 1};
  EXPECT_STREQ(Decode(tiny).LastError(), "Not a BMP");
  Bytes badHeader = WithFileHeader({7, 0, 0, 0, 1, 2}, 40);
  EXPECT_STREQ(Decode(badHeader).LastError(), "Error reading BMP info");
  EXPECT_STREQ(Decode(Dib(1, 1, 24, 1, {}, Bytes(4))).LastError(), "unknown compression");
  EXPECT_STREQ(Decode(Dib(1, 1, 32, 2, {}, Bytes(4))).LastError(), "unknown compression");
  EXPECT_STREQ(Decode(Dib(1, 1, 8, 2, Bytes(1024), Bytes(4))).LastError(),
               "compression type not supported");
  EXPECT_STREQ(Decode(Dib(1, 1, 7, 0, {}, Bytes(4))).LastError(), "Error reading BMP info");
  EXPECT_STREQ(Decode(Dib(0, 1, 24, 0, {}, Bytes(4))).LastError(), "Error reading BMP info");
  EXPECT_STREQ(Decode(Dib(100000, 100000, 24, 0, {}, Bytes(4))).LastError(), "Can't allocate memory");
  CPicture cancelled;
  cancelled.Info().escape = 1;
  const Bytes frame = Dib(1, 1, 24, 0, {}, Bytes(4));
  MemoryStream s(frame.data(), frame.size());
  EXPECT_FALSE(DecodeBmp(cancelled, &s));
  EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

TEST(BmpReaderTest, ShortPixelDataReadsAsBlackNotAsOldMemory) {
  CPicture pic = Decode(Dib(4, 4, 24, 0, {}, Bytes(10, 0xFF)));
  ASSERT_TRUE(pic.HasPixels());
  EXPECT_EQ(pic.GetPixelColor(3, 3), (RGBQuad{}));
}

TEST(BmpWriterTest, EveryDepthRoundTripsThroughTheReader) {
  for (std::uint32_t bpp : {1u, 4u, 8u, 24u}) {
    CPicture pic = testing::NaturalFrame(13, 7, bpp);
    if (bpp != 24) {
      ASSERT_TRUE(pic.ReduceBitDepth(bpp));
    }
    pic.SetResolution(300, 150);
    const Bytes bytes = testing::EncodeBytes(pic, kFormatBmp);
    ASSERT_FALSE(bytes.empty());
    CPicture back(bytes.data(), bytes.size(), kFormatUnknown);
    ASSERT_TRUE(back.HasPixels()) << back.LastError();
    EXPECT_EQ(back.Bpp(), bpp);
    EXPECT_EQ(back.Info().xDpi, 300u);
    EXPECT_EQ(back.Info().yDpi, 150u);
    EXPECT_EQ(std::memcmp(back.Bits(), pic.Bits(), pic.Header().biSizeImage), 0) << bpp;
    if (bpp != 24) {
      EXPECT_EQ(std::memcmp(back.Palette(), pic.Palette(), 4 * pic.PaletteSize()), 0) << bpp;
    }
  }
}

// Damaged files must fail or decode, never read or write outside their buffers (the
// sanitizer build watches): every byte of a few small files changed in turn, plus
// random damage and truncation.
TEST(BmpReaderTest, DamagedFilesNeverReachOutsideTheirBuffers) {
  Bytes masks;
  Le32(masks, 0xF800);
  Le32(masks, 0x07E0);
  Le32(masks, 0x001F);
  const std::vector<Bytes> samples = {
      WithFileHeader(Dib(3, -2, 24, 0, {}, Bytes(24, 0x55)), 40),
      Dib(4, 2, 8, 1, Bytes(256 * 4, 1), {3, 1, 1, 2, 0, 0, 0, 3, 5, 6, 7, 0, 1, 8, 0, 1}),
      Dib(7, 1, 4, 2, Bytes(16 * 4, 2), {3, 0xAB, 0, 3, 0xCD, 0xE0, 1, 0xF0, 0, 1}),
      Dib(2, 1, 16, 3, masks, {0xE0, 0x07, 0x00, 0xF8}),
      Dib(9, 3, 1, 0, Bytes(8, 3), Bytes(12, 0xA5), 0, 2),
  };
  std::mt19937 rng(5);
  int decoded = 0;
  for (const Bytes& sample : samples) {
    for (std::size_t i = 0; i < sample.size(); ++i) {
      for (std::uint8_t value : {std::uint8_t{0}, std::uint8_t{0xFF}, std::uint8_t{0x80}}) {
        Bytes damaged = sample;
        damaged[i] = value;
        CPicture pic = Decode(damaged);
        decoded += pic.HasPixels();
        if (!pic.HasPixels()) {
          EXPECT_STRNE(pic.LastError(), "");
        }
      }
    }
    for (int round = 0; round < 300; ++round) {
      Bytes damaged(sample.begin(), sample.begin() + static_cast<long>(rng() % (sample.size() + 1)));
      for (int k = 0; k < 3 && !damaged.empty(); ++k) damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
      CPicture pic = Decode(damaged);
      decoded += pic.HasPixels();
    }
  }
  EXPECT_GT(decoded, 0);
}

}  // namespace
}  // namespace orbiscope
