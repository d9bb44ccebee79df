#include "image/Picture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/ImageStream.h"
#include "resources/ResourceLibrary.h"
#include "resources/ResourcePicture.h"

namespace orbiscope {
namespace {

// Fills a 24-bit picture so that every pixel's colour names its position.
void FillPositions(CPicture& pic) {
  for (std::uint32_t y = 0; y < pic.Height(); ++y) {
    for (std::uint32_t x = 0; x < pic.Width(); ++x) {
      pic.SetPixelColor(x, y, RGBQuad{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                      static_cast<std::uint8_t>(x ^ y), 0});
    }
  }
}

TEST(PictureTest, StartsEmptyWithTheDocumentedDefaults) {
  CPicture pic(kFormatJpeg);
  EXPECT_FALSE(pic.HasPixels());
  EXPECT_EQ(pic.Format(), kFormatJpeg);
  EXPECT_EQ(pic.Info().jpegQuality, 75);
  EXPECT_EQ(pic.Info().alphaMax, 255);
  EXPECT_EQ(pic.Info().transparentIndex, -1);
  EXPECT_EQ(pic.Info().enabled, 1);
  EXPECT_EQ(pic.Info().xDpi, 96u);
  EXPECT_EQ(pic.Info().yDpi, 96u);
  EXPECT_EQ(pic.Header().biXPelsPerMeter, 3780);
  EXPECT_EQ(pic.Header().biYPelsPerMeter, 3780);
  EXPECT_EQ(pic.Header().biWidth, 0);
  EXPECT_STREQ(pic.LastError(), "");
}

TEST(PictureTest, CreateLaysOutOneBlockWithPaddedRows) {
  CPicture pic;
  ASSERT_NE(pic.Create(320, 240, 24, kFormatBmp), nullptr);
  EXPECT_EQ(pic.RowBytes(), 960u);
  EXPECT_EQ(pic.BlockSize(), 40u + 230400u);
  EXPECT_EQ(pic.PaletteSize(), 0u);
  EXPECT_EQ(pic.Bits(), pic.Block() + 40);
  BitmapInfoHeader stored;
  std::memcpy(&stored, pic.Block(), sizeof(stored));
  EXPECT_EQ(stored.biSize, 40u);
  EXPECT_EQ(stored.biSizeImage, 230400u);

  ASSERT_NE(pic.Create(90, 70, 1, kFormatWbmp), nullptr);
  EXPECT_EQ(pic.PaletteSize(), 2u);
  EXPECT_EQ(pic.RowBytes(), 12u);
  EXPECT_EQ(pic.Bits(), pic.Block() + 48);
  EXPECT_EQ(pic.GetPaletteColor(1), RGBQuad{});  // the palette starts zeroed

  for (std::uint32_t bpp : {16u, 32u}) {
    ASSERT_NE(pic.Create(3, 1, bpp, kFormatBmp), nullptr);
    EXPECT_EQ(pic.Bpp(), 24u);
    EXPECT_EQ(pic.RowBytes(), 12u);
  }
  ASSERT_NE(pic.Create(5, 2, 3, kFormatBmp), nullptr);
  EXPECT_EQ(pic.Bpp(), 4u);
  EXPECT_EQ(pic.RowBytes(), 4u);
}

TEST(PictureTest, CreateRefusesHugeRequestsButTakesA4KFrame) {
  CPicture pic;
  EXPECT_NE(pic.Create(3840, 2160, 24, kFormatJpeg), nullptr);
  EXPECT_EQ(pic.Create(16385, 1, 24, kFormatJpeg), nullptr);
  EXPECT_STREQ(pic.LastError(), "PICTURE_MAX_MEMORY exceeded");
  EXPECT_FALSE(pic.HasPixels());
  // Each side is allowed but the block is not: 16384 x 16384 x 3 bytes.
  EXPECT_EQ(pic.Create(16384, 16384, 24, kFormatJpeg), nullptr);
  EXPECT_STREQ(pic.LastError(), "PICTURE_MAX_MEMORY exceeded");
  // Sizes whose product overflows 32 bits must not slip through either.
  EXPECT_EQ(pic.Create(0xFFFFFFFFu, 0xFFFFFFFFu, 24, kFormatJpeg), nullptr);
  // A picture whose creation failed stays empty and later writers say so.
  std::uint8_t* buffer = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(pic.Encode(buffer, size, kFormatBmp).error, "null image!!!");
}

TEST(PictureTest, CopyAndTakeOverKeepOwnershipStraight) {
  CPicture source(4, 3, 24, kFormatBmp);
  FillPositions(source);
  source.Info().jpegQuality = 50;
  ASSERT_TRUE(source.AlphaCreate());
  source.AlphaPlane()[5] = 7;

  CPicture copy(source);
  EXPECT_NE(copy.Block(), source.Block());
  EXPECT_EQ(std::memcmp(copy.Block(), source.Block(), source.BlockSize()), 0);
  EXPECT_EQ(copy.Info().jpegQuality, 50);
  ASSERT_TRUE(copy.HasAlpha());
  EXPECT_EQ(copy.AlphaPlane()[5], 7);

  CPicture paletteOnly(source, false, false, false);
  EXPECT_TRUE(paletteOnly.HasPixels());
  EXPECT_FALSE(paletteOnly.HasAlpha());


  CPicture taker;
  taker.TakeOver(copy);
  EXPECT_FALSE(copy.HasPixels());
  EXPECT_FALSE(copy.HasAlpha());
  EXPECT_EQ(taker.GetPixelColor(2, 1).green, 1);

  CPicture moved(std::move(taker));
  EXPECT_TRUE(moved.HasPixels());
  EXPECT_FALSE(taker.HasPixels());
}

// A copy into a picture of the same size and depth keeps the block it has, and must still
// end up exactly what a fresh copy makes: no plane, palette entry or error left behind.
TEST(PictureTest, CopyIntoASameSizedPictureMatchesAFreshCopy) {
  CPicture source(4, 3, 8, kFormatGif);
  std::memset(source.Bits(), 7, source.Header().biSizeImage);
  source.SetPaletteColor(7, RGBQuad{1, 2, 3, 0});
  ASSERT_TRUE(source.AlphaCreate());
  source.AlphaPlane()[2] = 9;

  CPicture target(4, 3, 8, kFormatBmp);
  std::memset(target.Bits(), 1, target.Header().biSizeImage);
  target.SetPaletteColor(200, RGBQuad{9, 9, 9, 0});
  ASSERT_TRUE(target.SelectionCreate());
  target.SetLastError("stale");
  const std::uint8_t* block = target.Block();
  target.CopyFrom(source);
  EXPECT_EQ(target.Block(), block);
  const CPicture fresh(source);
  ASSERT_EQ(target.BlockSize(), fresh.BlockSize());
  EXPECT_EQ(std::memcmp(target.Block(), fresh.Block(), fresh.BlockSize()), 0);
  EXPECT_FALSE(target.HasSelection());
  ASSERT_TRUE(target.HasAlpha());
  EXPECT_EQ(target.AlphaPlane()[2], 9);
  EXPECT_EQ(target.Format(), kFormatGif);
  EXPECT_STREQ(target.LastError(), "");

  // Only the palette: the old pixels may stay, the old palette may not.
  CPicture paletteOnly(4, 3, 8, kFormatBmp);
  paletteOnly.SetPaletteColor(200, RGBQuad{9, 9, 9, 0});
  paletteOnly.CopyFrom(source, false, false, false);
  EXPECT_EQ(paletteOnly.GetPaletteColor(200), RGBQuad{});
  EXPECT_EQ(paletteOnly.GetPaletteColor(7), (RGBQuad{1, 2, 3, 0}));
  EXPECT_FALSE(paletteOnly.HasAlpha());
}

// Several workers encode and scale the one shared frame: nothing they do may show in it.
TEST(PictureTest, EncodeAndScaleOnlyReadThePicture) {
  CPicture frame(64, 48, 24, kFormatBmp);
  FillPositions(frame);
  const CPicture before(frame);

  PictureInfo low = frame.Info();
  low.jpegQuality = 20;
  std::size_t lowSize = 0, ownSize = 0;
  const EncodedBytes withLow = frame.EncodeToMemory(kFormatJpeg, lowSize, &low);
  const EncodedBytes withOwn = frame.EncodeToMemory(kFormatJpeg, ownSize);
  ASSERT_TRUE(withLow && withOwn);
  CPicture lowered(frame);
  lowered.Info().jpegQuality = 20;
  std::size_t loweredSize = 0;
  const EncodedBytes reference = lowered.EncodeToMemory(kFormatJpeg, loweredSize);
  ASSERT_EQ(lowSize, loweredSize);
  EXPECT_EQ(std::memcmp(withLow.get(), reference.get(), lowSize), 0);
  EXPECT_LT(lowSize, ownSize);

  CPicture half;
  ASSERT_TRUE(frame.Scale(32, 24, kScaleNearest, half));
  EXPECT_EQ(half.Width(), 32u);
  EXPECT_EQ(half.Info().jpegQuality, frame.Info().jpegQuality);
  // A size the picture cannot hold: the reason comes back, the target stays as it was.
  const PictureResult refused = frame.Scale(CPicture::kMaxSide, CPicture::kMaxSide, kScaleNearest, half);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.error, "PICTURE_MAX_MEMORY exceeded");
  EXPECT_EQ(half.Width(), 32u);

  EXPECT_EQ(std::memcmp(frame.Block(), before.Block(), before.BlockSize()), 0);
  EXPECT_EQ(frame.Info().jpegQuality, 75);
  EXPECT_STREQ(frame.LastError(), "");
}

TEST(PictureTest, PixelsAreStoredBottomUpInBlueGreenRedOrder) {
  CPicture pic(2, 2, 24, kFormatBmp);
  pic.SetPixelColor(1, 0, RGBQuad{10, 20, 30, 0});
  EXPECT_EQ(pic.Bits()[3], 10);
  EXPECT_EQ(pic.Bits()[5], 30);
  // Packed palette pixels: the leftmost pixel in the most significant bits.
  CPicture one(10, 1, 1, kFormatBmp);
  std::memset(one.Bits(), 0, one.RowBytes());
  one.SetPixelIndex(0, 0, 1);
  one.SetPixelIndex(9, 0, 1);
  EXPECT_EQ(one.Bits()[0], 0x80);
  EXPECT_EQ(one.Bits()[1], 0x40);
  CPicture four(3, 1, 4, kFormatBmp);
  std::memset(four.Bits(), 0, four.RowBytes());
  four.SetPixelIndex(1, 0, 0xA);
  four.SetPixelIndex(2, 0, 0x5);
  EXPECT_EQ(four.Bits()[0], 0x0A);
  EXPECT_EQ(four.Bits()[1], 0x50);
  EXPECT_EQ(four.GetPixelIndex(2, 0), 5);
}

TEST(PictureTest, ReadingOutsideFallsBackOnceAndNeverReadsOutside) {
  CPicture pic(2, 2, 24, kFormatBmp);
  FillPositions(pic);
  pic.SetPixelColor(0, 0, RGBQuad{1, 2, 3, 0});
  EXPECT_EQ(pic.GetPixelColor(-1, 5), (RGBQuad{1, 2, 3, 0}));  // pixel (0, 0)
  pic.Info().transparentColor = RGBQuad{9, 9, 9, 0};
  pic.Info().transparentIndex = 0;  // set but no palette: the transparent colour
  EXPECT_EQ(pic.GetPixelColor(2, 0), (RGBQuad{9, 9, 9, 0}));

  CPicture pal(2, 2, 8, kFormatBmp);
  pal.SetPaletteColor(4, RGBQuad{40, 41, 42, 0});
  pal.Info().transparentIndex = 4;
  EXPECT_EQ(pal.GetPixelColor(7, 7), (RGBQuad{40, 41, 42, 0}));

  // The copy of an empty frame is 0 x 0 with a block: no pixel (0, 0) to fall back on.
  CPicture empty;
  CPicture zero(empty);
  ASSERT_TRUE(zero.HasPixels());
  EXPECT_EQ(zero.Width(), 0u);
  EXPECT_EQ(zero.GetPixelColor(0, 0), RGBQuad{});
  EXPECT_EQ(empty.GetPixelColor(0, 0), RGBQuad{});
  zero.SetPixelColor(0, 0, RGBQuad{1, 1, 1, 0});  // nothing to write, nothing written
}

TEST(PictureTest, NearestIndexPrefersTheLowestIndexAndForgetsOnPaletteChange) {
  CPicture pic(1, 1, 8, kFormatGif);
  // Entries 3 and 5 are equally near to grey 100; entry 7 is white.
  pic.SetPaletteColor(3, RGBQuad{90, 100, 100, 0});
  pic.SetPaletteColor(5, RGBQuad{110, 100, 100, 0});
  for (std::uint32_t i = 6; i < 256; ++i) pic.SetPaletteColor(i, RGBQuad{255, 255, 255, 0});
  EXPECT_EQ(pic.GetNearestIndex(RGBQuad{100, 100, 100, 0}), 3);
  EXPECT_EQ(pic.GetNearestIndex(RGBQuad{250, 250, 250, 0}), 6);
  pic.SetPaletteColor(2, RGBQuad{100, 100, 100, 0});
  EXPECT_EQ(pic.GetNearestIndex(RGBQuad{100, 100, 100, 0}), 2);
}

TEST(PictureTest, FlipMirrorAndGreyRamp) {
  CPicture pic(3, 2, 24, kFormatBmp);
  FillPositions(pic);
  pic.FlipRows();
  EXPECT_EQ(pic.GetPixelColor(2, 0).green, 1);
  pic.MirrorColumns();
  EXPECT_EQ(pic.GetPixelColor(0, 0).blue, 2);
  EXPECT_EQ(pic.GetPixelColor(2, 1).blue, 0);

  CPicture bits(9, 1, 1, kFormatBmp);
  std::memset(bits.Bits(), 0, bits.RowBytes());
  bits.SetPixelIndex(0, 0, 1);
  bits.MirrorColumns();
  EXPECT_EQ(bits.GetPixelIndex(8, 0), 1);
  EXPECT_EQ(bits.GetPixelIndex(0, 0), 0);

  CPicture grey(1, 1, 8, kFormatBmp);
  EXPECT_FALSE(grey.IsGreyRamp());  // zeroed palette
  for (std::uint32_t i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    grey.SetPaletteColor(i, RGBQuad{v, v, v, 0});
  }
  EXPECT_TRUE(grey.IsGreyRamp());
  grey.SetPaletteColor(200, RGBQuad{200, 201, 200, 0});
  EXPECT_FALSE(grey.IsGreyRamp());
  EXPECT_FALSE(CPicture(2, 2, 24, kFormatBmp).IsGreyRamp());
  EXPECT_FALSE(CPicture().IsGreyRamp());
}

TEST(PictureTest, PlainBuffersRoundTripLosslessly) {
  const std::uint32_t w = 5, h = 3;
  std::vector<std::uint8_t> bgr(3 * w * h);
  for (std::size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<std::uint8_t>(i * 7);
  CPicture pic;
  ASSERT_TRUE(pic.FromBgr24(bgr.data(), w, h, 3 * w, true));
  // The first top-down row is the top of the picture, the last stored row.
  EXPECT_EQ(pic.GetPixelColor(0, h - 1).blue, bgr[0]);
  std::vector<std::uint8_t> back(bgr.size());
  ASSERT_TRUE(pic.ToBgr24(back.data(), 3 * w, true));
  EXPECT_EQ(back, bgr);

  std::vector<std::uint8_t> mask(w * h);
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<std::uint8_t>(i * 17);
  ASSERT_TRUE(pic.FromMask8(mask.data(), w, h, w, false));
  EXPECT_TRUE(pic.IsGreyRamp());
  std::vector<std::uint8_t> maskBack(mask.size());
  ASSERT_TRUE(pic.ToMask8(maskBack.data(), w, false));
  EXPECT_EQ(maskBack, mask);
  EXPECT_FALSE(CPicture(2, 2, 24, kFormatBmp).ToMask8(maskBack.data(), 2, false));
}

TEST(PictureTest, NearestScalingTakesEverySecondPixelFromTheBottomRow) {
  CPicture pic(640, 480, 24, kFormatJpeg);
  for (std::uint32_t y = 0; y < 480; ++y) {
    for (std::uint32_t x = 0; x < 640; ++x) {
      pic.SetPixelColor(x, y, RGBQuad{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8),
                                      static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(y >> 8)});
    }
  }
  CPicture target;
  ASSERT_TRUE(pic.Scale(320, 240, kScaleNearest, target));
  EXPECT_EQ(pic.Width(), 640u);  // a target leaves the source alone
  ASSERT_EQ(target.Width(), 320u);
  bool allEven = true, topRowUsed = false;
  for (std::uint32_t y = 0; y < 240; ++y) {
    for (std::uint32_t x = 0; x < 320; ++x) {
      const RGBQuad c = target.GetPixelColor(x, y);
      const std::uint32_t sx = c.blue | (c.green << 8);
      const std::uint32_t sy = c.red;
      allEven &= sx == 2 * x && sy == (2 * y) % 256;
      topRowUsed |= y == 239 && sy == 479 % 256;
    }
  }
  EXPECT_TRUE(allEven);
  EXPECT_FALSE(topRowUsed);
  EXPECT_EQ(target.GetPixelColor(0, 0).blue, 0);

  EXPECT_FALSE(pic.ScaleInPlace(0, 10));
  EXPECT_EQ(pic.Width(), 640u);
  // A cancelled resampling keeps the picture rather than half-written rows.
  pic.Info().escape = 1;
  EXPECT_EQ(pic.ScaleInPlace(64, 48).error, "Cancelled");
  EXPECT_EQ(pic.Width(), 640u);
  pic.Info().escape = 0;
  ASSERT_TRUE(pic.ScaleInPlace(90, 70));
  EXPECT_EQ(pic.Width(), 90u);
  EXPECT_EQ(pic.Height(), 70u);
}

// A BMP file takes the rows as stored: what lies past a scaled row's last pixel is zero,
// not what the memory held before.
TEST(PictureTest, ScaledRowsAreZeroPastTheLastPixel) {
  for (const std::uint32_t bpp : {1u, 4u, 8u, 24u}) {
    for (const int mode : {kScaleNearest, kScaleBilinear}) {
      CPicture source(16, 8, bpp, kFormatBmp);
      if (bpp <= 8) source.SetPaletteColor((1u << bpp) - 1, RGBQuad{255, 255, 255, 0});
      std::memset(source.Bits(), 0xFF, source.Header().biSizeImage);
      { CPicture stale(13, 5, bpp, kFormatBmp); std::memset(stale.Bits(), 0xFF, stale.Header().biSizeImage); }
      CPicture scaled;
      ASSERT_TRUE(source.Scale(13, 5, mode, scaled));
      for (std::uint32_t y = 0; y < 5; ++y) {
        const std::uint8_t* row = scaled.Row(y);
        for (std::uint32_t bit = 13 * bpp; bit < 8 * scaled.RowBytes(); ++bit) {
          ASSERT_EQ((row[bit / 8] >> (7 - bit % 8)) & 1, 0) << bpp << " bits, mode " << mode
                                                            << ", row " << y << ", bit " << bit;
        }
      }
    }
  }
}

TEST(PictureTest, ScalingPalettePicturesMapsColoursToTheLowestNearestEntry) {
  CPicture pic(4, 2, 8, kFormatGif);
  pic.SetPaletteColor(2, RGBQuad{9, 9, 9, 0});
  pic.SetPaletteColor(5, RGBQuad{9, 9, 9, 0});  // the same colour again
  std::memset(pic.Bits(), 5, pic.Header().biSizeImage);
  CPicture half;
  ASSERT_TRUE(pic.Scale(2, 1, kScaleNearest, half));
  EXPECT_EQ(half.GetPixelIndex(0, 0), 2);  // colour of entry 5, written as entry 2
  EXPECT_EQ(half.GetPaletteColor(5), (RGBQuad{9, 9, 9, 0}));

  // The same size copies into the target, selection and alpha included.
  ASSERT_TRUE(pic.AlphaCreate());
  CPicture same;
  ASSERT_TRUE(pic.Scale(4, 2, kScaleNearest, same));
  EXPECT_TRUE(same.HasAlpha());
  EXPECT_EQ(same.GetPixelIndex(3, 1), 5);
  // An alpha plane is resampled with the pixels.
  pic.AlphaPlane()[1] = 6;  // pixel (1, 0): not sampled
  pic.AlphaPlane()[2] = 7;  // pixel (2, 0): sampled for (1, 0)
  ASSERT_TRUE(pic.ScaleInPlace(2, 1));
  ASSERT_TRUE(pic.HasAlpha());
  EXPECT_EQ(pic.AlphaPlane()[0], 255);
  EXPECT_EQ(pic.AlphaPlane()[1], 7);
}

TEST(PictureTest, SmoothScalingBlendsNeighboursAndKeepsFlatAreasFlat) {
  for (int mode : {kScaleBilinear, kScaleBicubic}) {
    CPicture flat(7, 5, 24, kFormatBmp);
    for (std::uint32_t y = 0; y < 5; ++y)
      for (std::uint32_t x = 0; x < 7; ++x) flat.SetPixelColor(x, y, RGBQuad{50, 100, 150, 0});
    ASSERT_TRUE(flat.ScaleInPlace(13, 11, mode));
    for (std::uint32_t y = 0; y < 11; ++y)
      for (std::uint32_t x = 0; x < 13; ++x)
        ASSERT_EQ(flat.GetPixelColor(x, y), (RGBQuad{50, 100, 150, 0})) << mode;

    CPicture edge(2, 1, 24, kFormatBmp);
    edge.SetPixelColor(0, 0, RGBQuad{0, 0, 0, 0});
    edge.SetPixelColor(1, 0, RGBQuad{200, 200, 200, 0});
    ASSERT_TRUE(edge.ScaleInPlace(4, 1, mode));
    const int mid = edge.GetPixelColor(1, 0).blue;
    EXPECT_GT(mid, 0) << mode;
    EXPECT_LT(mid, 200) << mode;
  }
}

TEST(PictureTest, EncodeRefusalsCarryTheirTexts) {
  CPicture empty;
  std::uint8_t* buffer = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(empty.Encode(buffer, size, kFormatBmp).error, "null image!!!");

  CPicture pic(4, 4, 24, kFormatBmp);
  EXPECT_EQ(pic.Encode(static_cast<ImageStream*>(nullptr), kFormatBmp).error, "null file handler");
  EXPECT_EQ(pic.Encode(buffer, size, kFormatWmf).error, "Save WMF not supported");
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(pic.Encode(buffer, size, 99).error, "Encode: Unknown format");
  EXPECT_EQ(pic.Encode(buffer, size, kFormatTiff).error, "Save TIFF not supported");
  EXPECT_STREQ(pic.LastError(), "");  // an encode only reads the picture

  // A buffer pointer that is not none is neither used nor touched.
  std::uint8_t sentinel = 0x5A;
  std::uint8_t* given = &sentinel;
  size = 1234;
  EXPECT_FALSE(pic.Encode(given, size, kFormatBmp));
  EXPECT_EQ(given, &sentinel);
  EXPECT_EQ(size, 1234u);
  EXPECT_EQ(sentinel, 0x5A);
}

TEST(PictureTest, DecodeRefusesWhatNoReaderTakes) {
  const std::uint8_t junk[] = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'};
  CPicture pic(junk, sizeof(junk), kFormatUnknown);
  EXPECT_FALSE(pic.HasPixels());
  EXPECT_STREQ(pic.LastError(), "Decode: Unknown or wrong format");
  MemoryStream s(junk, sizeof(junk));
  EXPECT_FALSE(pic.Decode(&s, 77));
  EXPECT_STREQ(pic.LastError(), "Decode: Unknown or wrong format");
  EXPECT_FALSE(pic.Decode(nullptr, kFormatBmp));
  EXPECT_STREQ(pic.LastError(), "null file handler");
}

TEST(PictureTest, AMissingResourcePictureSaysSo) {
  const ResourceLibrary unloaded;
  const CPicture logo = LoadResourcePicture(unloaded, 1, kFormatBmp);
  EXPECT_FALSE(logo.HasPixels());
  EXPECT_EQ(logo.Format(), kFormatBmp);
  EXPECT_STREQ(logo.LastError(), "Unable to load resource!");
}

}  // namespace
}  // namespace orbiscope
