// JPEG and PNG writers checked by reading their files back with libjpeg and libpng
// directly, and by our own readers.
#include "image/JpegCodec.h"
#include "image/PngCodec.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "ImageTestSupport.h"
#include "image/ImageStream.h"

namespace orbiscope {
namespace {

using testing::EncodeBytes;
using testing::EncodeError;
using Bytes = std::vector<std::uint8_t>;

struct JpegInfo {
  bool ok = false;
  int components = 0;
  int densityUnit = -1, xDensity = 0, yDensity = 0;
  int width = 0, height = 0;
  Bytes firstRow;  // decoded samples of the first scan line
};

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void JpegFail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }

JpegInfo ReadJpeg(const Bytes& bytes) {
  JpegInfo info;
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegFail;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return JpegInfo{};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  info.components = cinfo.num_components;
  info.densityUnit = cinfo.density_unit;
  info.xDensity = cinfo.X_density;
  info.yDensity = cinfo.Y_density;
  jpeg_start_decompress(&cinfo);
  info.width = static_cast<int>(cinfo.output_width);
  info.height = static_cast<int>(cinfo.output_height);
  Bytes row(cinfo.output_width * cinfo.output_components);
  JSAMPROW rows[1] = {row.data()};
  jpeg_read_scanlines(&cinfo, rows, 1);
  info.firstRow = row;
  jpeg_abort_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  info.ok = true;
  return info;
}

TEST(JpegWriterTest, FrameGivesJfif96DpiThreeComponentsAndTopRowFirst) {
  // A decoded camera frame (resolution 0 in its header) must still say 96 dpi.
  Bytes dib(40, 0);
  dib[0] = 40;
  dib[4] = 90;
  dib[8] = 70;
  dib[12] = 1;
  dib[14] = 24;
  CPicture frame;
  {
    Bytes bmp = dib;
    bmp.resize(40 + 272 * 70, 0);
    // The top 16 rows (the last stored ones, one whole row of sampling blocks) bright
    // red, everything else black.
    for (std::size_t y = 54; y < 70; ++y)
      for (std::size_t x = 0; x < 90; ++x) bmp[40 + 272 * y + 3 * x + 2] = 255;
    MemoryStream s(bmp.data(), bmp.size());
    ASSERT_TRUE(frame.Decode(&s, kFormatBmp)) << frame.LastError();
  }
  const Bytes jpeg = EncodeBytes(frame, kFormatJpeg);
  ASSERT_GT(jpeg.size(), 100u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(std::memcmp(jpeg.data() + 6, "JFIF", 5), 0);
  const JpegInfo info = ReadJpeg(jpeg);
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.components, 3);
  EXPECT_EQ(info.densityUnit, 1);
  EXPECT_EQ(info.xDensity, 96);
  EXPECT_EQ(info.yDensity, 96);
  EXPECT_EQ(info.width, 90);
  EXPECT_EQ(info.height, 70);
  EXPECT_GT(info.firstRow[0], 200);  // red leads in the decoded red-green-blue order
  EXPECT_LT(info.firstRow[2], 60);
}

TEST(JpegWriterTest, GreyRampGivesOneComponentOtherPalettesAreRefused) {
  CPicture grey;
  Bytes mask(32 * 16);
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(grey.FromMask8(mask.data(), 32, 16, 32, true));
  const JpegInfo info = ReadJpeg(EncodeBytes(grey, kFormatJpeg));
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.components, 1);

  CPicture colour(8, 8, 8, kFormatBmp);
  colour.SetPaletteColor(1, RGBQuad{0, 0, 255, 0});
  EXPECT_TRUE(EncodeBytes(colour, kFormatJpeg).empty());
  EXPECT_EQ(EncodeError(colour, kFormatJpeg), "JPEG can save only RGB or GreyScale images");
  CPicture packed(8, 8, 1, kFormatBmp);
  packed.SetPaletteColor(1, RGBQuad{1, 1, 1, 0});  // a grey ramp of packed bits
  EXPECT_TRUE(EncodeBytes(packed, kFormatJpeg).empty());
  EXPECT_EQ(EncodeError(packed, kFormatJpeg), "JPEG can save only RGB or GreyScale images");
}

TEST(JpegWriterTest, RoundTripThroughOurReaderStaysClose) {
  CPicture frame = testing::NaturalFrame(64, 48);
  const Bytes jpeg = EncodeBytes(frame, kFormatJpeg);
  CPicture back(jpeg.data(), jpeg.size(), kFormatUnknown);
  ASSERT_TRUE(back.HasPixels()) << back.LastError();
  EXPECT_EQ(back.Format(), kFormatJpeg);
  double error = 0;
  for (std::uint32_t y = 0; y < 48; ++y) {
    for (std::uint32_t x = 0; x < 64; ++x) {
      const RGBQuad a = frame.GetPixelColor(x, y), b = back.GetPixelColor(x, y);
      error += std::abs(a.red - b.red) + std::abs(a.green - b.green) + std::abs(a.blue - b.blue);
    }
  }
  EXPECT_LT(error / (64 * 48 * 3), 6.0);
  EXPECT_EQ(back.Info().xDpi, 96u);
}

TEST(JpegWriterTest, LibraryFailuresAnswerFalseWithTheLibraryMessage) {
  CPicture frame = testing::NaturalFrame(64, 64);
  // A stream that takes nothing: the destination manager's write fails.
  std::uint8_t fixed[1];
  MemoryStream readOnly(static_cast<const std::uint8_t*>(fixed), 0);
  const PictureResult written = frame.Encode(&readOnly, kFormatJpeg);
  EXPECT_FALSE(written);
  EXPECT_NE(written.error.find("Output file write error"), std::string::npos) << written.error;
  CPicture empty;
  CPicture zero(empty);  // 0 x 0: libjpeg refuses an empty image
  EXPECT_TRUE(EncodeBytes(zero, kFormatJpeg).empty());
  EXPECT_NE(EncodeError(zero, kFormatJpeg), "");
  const Bytes truncated = {0xFF, 0xD8, 0xFF};
  CPicture broken(truncated.data(), truncated.size(), kFormatJpeg);
  EXPECT_FALSE(broken.HasPixels());
  EXPECT_STRNE(broken.LastError(), "");
}

struct PngRead {
  bool ok = false;
  png_uint_32 width = 0, height = 0;
  int colorType = -1, bitDepth = 0;
  int paletteEntries = 0;
  std::vector<png_color> palette;
  Bytes trans;
  bool hasBackground = false;
  png_color_16 background{};
  png_uint_32 xPels = 0, yPels = 0;
  std::vector<Bytes> rows;  // top row first, as libpng gives them
};

void PngReadData(png_structp png, png_bytep out, png_size_t n) {
  auto* cursor = static_cast<std::pair<const Bytes*, std::size_t>*>(png_get_io_ptr(png));
  if (cursor->second + n > cursor->first->size()) png_error(png, "short");
  std::memcpy(out, cursor->first->data() + cursor->second, n);
  cursor->second += n;
}

PngRead ReadPng(const Bytes& bytes) {
  PngRead r;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::pair<const Bytes*, std::size_t> cursor{&bytes, 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return PngRead{};
  }
  png_set_read_fn(png, &cursor, PngReadData);
  png_read_info(png, info);
  r.width = png_get_image_width(png, info);
  r.height = png_get_image_height(png, info);
  r.colorType = png_get_color_type(png, info);
  r.bitDepth = png_get_bit_depth(png, info);
  png_colorp pal = nullptr;
  if (png_get_PLTE(png, info, &pal, &r.paletteEntries)) r.palette.assign(pal, pal + r.paletteEntries);
  png_bytep trans = nullptr;
  int transCount = 0;
  if (png_get_tRNS(png, info, &trans, &transCount, nullptr)) r.trans.assign(trans, trans + transCount);
  png_color_16p bg = nullptr;
  if (png_get_bKGD(png, info, &bg)) {
    r.hasBackground = true;
    r.background = *bg;
  }
  int unit = 0;
  png_get_pHYs(png, info, &r.xPels, &r.yPels, &unit);
  r.rows.assign(r.height, Bytes(png_get_rowbytes(png, info)));
  std::vector<png_bytep> pointers;
  for (Bytes& row : r.rows) pointers.push_back(row.data());
  png_read_image(png, pointers.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  r.ok = true;
  return r;
}

TEST(PngWriterTest, RouteFrameIsEightBitRgbWithWhiteBackgroundAndResolution) {
  CPicture frame = testing::NaturalFrame(33, 21);
  const PngRead r = ReadPng(EncodeBytes(frame, kFormatPng));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.colorType, PNG_COLOR_TYPE_RGB);
  EXPECT_EQ(r.bitDepth, 8);
  ASSERT_TRUE(r.hasBackground);
  EXPECT_EQ(r.background.red, 255);
  EXPECT_EQ(r.background.blue, 255);
  EXPECT_EQ(r.xPels, 3780u);
  for (std::uint32_t y = 0; y < 21; ++y) {
    for (std::uint32_t x = 0; x < 33; ++x) {
      const RGBQuad c = frame.GetPixelColor(x, 20 - y);
      ASSERT_EQ(r.rows[y][3 * x], c.red);
      ASSERT_EQ(r.rows[y][3 * x + 1], c.green);
      ASSERT_EQ(r.rows[y][3 * x + 2], c.blue);
    }
  }
  CPicture back;
  const Bytes bytes = EncodeBytes(frame, kFormatPng);
  MemoryStream s(bytes.data(), bytes.size());
  ASSERT_TRUE(back.Decode(&s, kFormatUnknown)) << back.LastError();
  for (std::uint32_t y = 0; y < 21; ++y) {
    EXPECT_EQ(std::memcmp(back.Row(y), frame.Row(y), 3 * 33), 0) << y;
  }
}

TEST(PngWriterTest, PaletteIsTrimmedToTheHighestUsedIndex) {
  CPicture pic(100, 100, 8, kFormatPng);
  for (std::uint32_t i = 0; i < 256; ++i) {
    pic.SetPaletteColor(i, RGBQuad{static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(255 - i), 0});
  }
  for (std::uint32_t y = 0; y < 100; ++y)
    for (std::uint32_t x = 0; x < 100; ++x) pic.SetPixelIndex(x, y, static_cast<std::uint8_t>((x + y) % 10));
  const PngRead r = ReadPng(EncodeBytes(pic, kFormatPng));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.colorType, PNG_COLOR_TYPE_PALETTE);
  EXPECT_EQ(r.paletteEntries, 10);
  EXPECT_EQ(r.palette[9].red, 255 - 9);
  EXPECT_EQ(r.palette[9].blue, 9);
  EXPECT_EQ(r.rows[0][3], 2);  // top row y = 99: (3 + 99) % 10
  // At 65 536 pixels and more the whole palette is written.
  CPicture big(256, 256, 8, kFormatPng);
  std::memset(big.Bits(), 1, big.Header().biSizeImage);
  EXPECT_EQ(ReadPng(EncodeBytes(big, kFormatPng)).paletteEntries, 256);
}

TEST(PngWriterTest, TransparentEntryGoesFirstInTheFileWithoutChangingThePicture) {
  CPicture pic(4, 2, 4, kFormatPng);
  for (std::uint32_t i = 0; i < 16; ++i) pic.SetPaletteColor(i, RGBQuad{static_cast<std::uint8_t>(i * 10), 0, 0, 0});
  std::memset(pic.Bits(), 0, pic.Header().biSizeImage);
  pic.SetPixelIndex(0, 1, 5);  // top-left transparent
  pic.SetPixelIndex(1, 1, 0);
  pic.SetPixelIndex(2, 1, 7);
  pic.Info().transparentIndex = 5;
  pic.Info().transparentColor = RGBQuad{50, 0, 0, 0};
  const Bytes before(pic.Block(), pic.Block() + pic.BlockSize());
  const PngRead r = ReadPng(EncodeBytes(pic, kFormatPng));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Bytes(pic.Block(), pic.Block() + pic.BlockSize()), before);
  EXPECT_EQ(r.bitDepth, 4);
  EXPECT_EQ(r.trans, Bytes{0});
  EXPECT_EQ(r.palette[0].blue, 50);  // the old entry 5
  EXPECT_EQ(r.palette[5].blue, 0);   // the old entry 0
  EXPECT_EQ(r.paletteEntries, 8);
  EXPECT_EQ(r.rows[0][0], 0x05);     // pixels 5, 0, 7, 0 became 0, 5, 7, 5
  EXPECT_EQ(r.rows[0][1], 0x75);
  EXPECT_EQ(r.background.index, 0);
}

// A transparent index the palette does not have names no colour: no entry is swapped and
// none is made transparent. The palette's size itself is the first index outside it.
TEST(PngWriterTest, TransparentIndexOutsideThePaletteIsIgnored) {
  for (const std::int32_t index : {16, 200}) {
    CPicture pic(4, 2, 4, kFormatPng);
    for (std::uint32_t i = 0; i < 16; ++i) pic.SetPaletteColor(i, RGBQuad{static_cast<std::uint8_t>(i * 10), 0, 0, 0});
    std::memset(pic.Bits(), 0x5F, pic.Header().biSizeImage);
    pic.Info().transparentIndex = index;
    const PngRead r = ReadPng(EncodeBytes(pic, kFormatPng));
    ASSERT_TRUE(r.ok) << index;
    EXPECT_TRUE(r.trans.empty()) << index;
    ASSERT_EQ(r.paletteEntries, 16) << index;
    for (int i = 0; i < 16; ++i) EXPECT_EQ(r.palette[static_cast<std::size_t>(i)].blue, i * 10) << index;
    EXPECT_EQ(r.rows[0][0], 0x5F) << index;
  }
}

TEST(PngWriterTest, TransparentColourAndAlphaPlaneGiveRgba) {
  CPicture pic(2, 1, 24, kFormatPng);
  pic.SetPixelColor(0, 0, RGBQuad{1, 2, 3, 0});
  pic.SetPixelColor(1, 0, RGBQuad{9, 9, 9, 0});
  pic.Info().transparentIndex = 0;
  pic.Info().transparentColor = RGBQuad{1, 2, 3, 0};
  PngRead r = ReadPng(EncodeBytes(pic, kFormatPng));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.colorType, PNG_COLOR_TYPE_RGB_ALPHA);
  EXPECT_EQ(r.rows[0], (Bytes{3, 2, 1, 0, 9, 9, 9, 255}));
  EXPECT_FALSE(pic.HasAlpha());  // the alpha made for the file is not left behind

  CPicture alpha(1, 1, 24, kFormatPng);
  alpha.SetPixelColor(0, 0, RGBQuad{10, 20, 30, 0});
  ASSERT_TRUE(alpha.AlphaCreate());
  alpha.AlphaPlane()[0] = 200;
  alpha.Info().alphaMax = 128;
  r = ReadPng(EncodeBytes(alpha, kFormatPng));
  EXPECT_EQ(r.rows[0], (Bytes{30, 20, 10, 200 * 128 / 255}));
}

TEST(PngWriterTest, WriteFailureIsReportedAsSavingError) {
  CPicture frame = testing::NaturalFrame(16, 16);
  std::uint8_t fixed[1];
  MemoryStream readOnly(static_cast<const std::uint8_t*>(fixed), 0);
  const PictureResult written = frame.Encode(&readOnly, kFormatPng);
  EXPECT_FALSE(written);
  EXPECT_EQ(written.error, "Error saving PNG file");
}

}  // namespace
}  // namespace orbiscope
