#include "image/GifEncoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "ImageTestSupport.h"
#include "image/GifCoders.h"
#include "image/ImageStream.h"
#include "image/OctreeQuantizer.h"

namespace orbiscope {
namespace {

using testing::DecodeGif;
using testing::EncodeBytes;

// The image data of a single-image GIF without local table: the minimum code size, the
// sub-block lengths and the joined data bytes.
struct ImageData {
  int minCodeSize = 0;
  std::vector<int> blockLengths;
  std::vector<std::uint8_t> bytes;
};

ImageData ExtractImageData(const std::vector<std::uint8_t>& gif) {
  ImageData d;
  std::size_t pos = 13;
  if (gif[10] & 0x80) pos += 3u << ((gif[10] & 7) + 1);
  while (pos < gif.size() && gif[pos] == 0x21) {  // extensions
    pos += 2;
    while (gif[pos] != 0) pos += gif[pos] + 1u;
    ++pos;
  }
  pos += 10;  // image descriptor
  d.minCodeSize = gif[pos++];
  while (gif[pos] != 0) {
    d.blockLengths.push_back(gif[pos]);
    d.bytes.insert(d.bytes.end(), gif.begin() + static_cast<long>(pos) + 1,
                   gif.begin() + static_cast<long>(pos) + 1 + gif[pos]);
    pos += gif[pos] + 1u;
  }
  return d;
}

// Reads codes of one fixed width, least significant bit first.
std::vector<int> CodesAtWidth(const std::vector<std::uint8_t>& bytes, int width) {
  std::vector<int> codes;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::uint8_t b : bytes) {
    acc |= static_cast<std::uint32_t>(b) << bits;
    bits += 8;
    while (bits >= width) {
      codes.push_back(static_cast<int>(acc & ((1u << width) - 1)));
      acc >>= width;
      bits -= width;
    }
  }
  return codes;
}

CPicture PalettePicture(std::uint32_t w, std::uint32_t h, std::uint32_t bpp,
                        const std::vector<std::uint8_t>& topDownIndices) {
  CPicture pic(w, h, bpp, kFormatGif);
  for (std::uint32_t i = 0; i < pic.PaletteSize(); ++i) {
    pic.SetPaletteColor(i, RGBQuad{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                                   static_cast<std::uint8_t>(i * 7), 0});
  }
  std::memset(pic.Bits(), 0, static_cast<std::size_t>(pic.RowBytes()) * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) pic.SetPixelIndex(x, h - 1 - y, topDownIndices[y * w + x]);
  }
  return pic;
}

TEST(GifEncoderTest, OneColourRoutePictureGivesTheDocumentedBytesAndCodes) {
  CPicture frame(640, 480, 24, kFormatBmp);
  for (std::uint32_t y = 0; y < 480; ++y)
    for (std::uint32_t x = 0; x < 640; ++x) frame.SetPixelColor(x, y, RGBQuad{30, 60, 90, 0});
  OctreeQuantizer quantizer(256, 7);
  ASSERT_TRUE(quantizer.ProcessImage(frame));
  RGBQuad table[256] = {};
  quantizer.GetColorTable(table);
  ASSERT_TRUE(frame.ReduceBitDepth(8, false, table, 0));
  ASSERT_TRUE(frame.ScaleInPlace(90, 90));
  const std::vector<std::uint8_t> gif = EncodeBytes(frame, kFormatGif);
  ASSERT_FALSE(gif.empty());

  const std::uint8_t head[] = {'G', 'I', 'F', '8', '9', 'a', 90, 0, 90, 0, 0xE7, 0, 0};
  EXPECT_EQ(std::memcmp(gif.data(), head, sizeof(head)), 0);
  EXPECT_EQ(gif[13], 90);  // entry 0 is the colour as red, green, blue
  EXPECT_EQ(gif[14], 60);
  EXPECT_EQ(gif[15], 30);
  for (std::size_t i = 16; i < 13 + 768; ++i) ASSERT_EQ(gif[i], 0) << i;
  const std::uint8_t control[] = {0x21, 0xF9, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00,
                                  0x2C, 0, 0, 0, 0, 90, 0, 90, 0, 0x00, 0x08};
  EXPECT_EQ(std::memcmp(gif.data() + 13 + 768, control, sizeof(control)), 0);
  EXPECT_EQ(gif.back(), ';');

  const ImageData data = ExtractImageData(gif);
  std::vector<int> expected = {256, 0};
  for (int code = 258; code <= 382; ++code) expected.push_back(code);
  expected.push_back(355);
  expected.push_back(257);
  std::vector<int> codes = CodesAtWidth(data.bytes, 9);
  codes.resize(expected.size());  // the rest are the padding bits of the last byte
  EXPECT_EQ(codes, expected);
  EXPECT_EQ(data.bytes.size(), (expected.size() * 9 + 7) / 8);

  const auto decoded = DecodeGif(gif);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.indices, std::vector<std::uint8_t>(8100, 0));
}

struct CoderCase {
  int codecOption;
  int blockLimit;
};

class GifCoderTest : public ::testing::TestWithParam<CoderCase> {};

// Every coder must give back the indices through giflib, across the boundaries that
// break coders: code widths 9 to 12 and a full table (random data), long and uneven runs
// (the run-length coder's table and clear decisions), packed widths not a multiple of 8.
TEST_P(GifCoderTest, IndependentDecoderGetsEveryIndexBack) {
  std::mt19937 rng(7);
  struct Shape {
    std::uint32_t w, h, bpp;
    int kind;  // 0 random, 1 runs, 2 one long run, 3 staircase
  };
  const Shape shapes[] = {{300, 200, 8, 0}, {257, 190, 8, 1}, {640, 100, 8, 2}, {37, 23, 1, 0},
                          {37, 23, 4, 1},   {181, 97, 8, 3},  {1, 1, 8, 0},     {5, 3, 1, 2}};
  for (const Shape& s : shapes) {
    const std::uint32_t colors = 1u << s.bpp;
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(s.w) * s.h);
    std::uint8_t value = 0;
    std::size_t runLeft = 0;
    for (std::size_t i = 0; i < indices.size(); ++i) {
      switch (s.kind) {
        case 0: value = static_cast<std::uint8_t>(rng() % colors); break;
        case 1:
          if (runLeft == 0) {
            value = static_cast<std::uint8_t>(rng() % std::min(colors, 6u));
            runLeft = 1 + rng() % 700;
          }
          --runLeft;
          break;
        case 2: value = static_cast<std::uint8_t>(i < 50 ? 1 : 2 % colors); break;
        default: value = static_cast<std::uint8_t>((i / (1 + i % 13)) % colors); break;
      }
      indices[i] = value;
    }
    CPicture pic = PalettePicture(s.w, s.h, s.bpp, indices);
    pic.Info().codecOption = GetParam().codecOption;
    const std::vector<std::uint8_t> gif = EncodeBytes(pic, kFormatGif);
    ASSERT_FALSE(gif.empty()) << s.w << "x" << s.h;
    const auto decoded = DecodeGif(gif);
    ASSERT_TRUE(decoded.ok) << s.w << "x" << s.h << " kind " << s.kind;
    ASSERT_EQ(decoded.width, static_cast<int>(s.w));
    EXPECT_EQ(decoded.indices, indices) << s.w << "x" << s.h << " kind " << s.kind;
    const ImageData data = ExtractImageData(gif);
    EXPECT_EQ(data.minCodeSize, static_cast<int>(std::max(2u, s.bpp)));
    for (std::size_t b = 0; b + 1 < data.blockLengths.size(); ++b) {
      ASSERT_EQ(data.blockLengths[b], GetParam().blockLimit) << "only the last block is short";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllCoders, GifCoderTest,
                         ::testing::Values(CoderCase{0, 255}, CoderCase{kGifCodecLzw, 254},
                                           CoderCase{kGifCodecUncompressed, 254}));

// Records the codes a coder emits and their widths.
class RecordingSink final : public GifCodeSink {
public:
  void PutCode(int code, int width) override { codes.push_back({code, width}); }
  void Finish() override { finished = true; }
  std::vector<std::pair<int, int>> codes;
  bool finished = false;
};

TEST(GifCoderUnitTest, UncompressedCoderWidensLikeTheDecoderAndClearsBeforeCode4096) {
  RecordingSink sink;
  GifUncompressedCoder coder(sink);
  coder.Start(9);
  for (int i = 0; i < 5000; ++i) coder.Pixel(i % 256);
  coder.End();
  ASSERT_TRUE(sink.finished);
  EXPECT_EQ(sink.codes[0], (std::pair<int, int>{256, 9}));
  // Pixel k (1-based) is written when the decoder's next free code is 258 + k - 2; it
  // widens after reading code 255, 767 and 1791 after the clear.
  EXPECT_EQ(sink.codes[255].second, 9);
  EXPECT_EQ(sink.codes[256].second, 10);
  EXPECT_EQ(sink.codes[768].second, 11);
  EXPECT_EQ(sink.codes[1792].second, 12);
  // After 3838 pixels the next free code would be 4096: a clear at 12 bits, then 9 again.
  EXPECT_EQ(sink.codes[3839], (std::pair<int, int>{256, 12}));
  EXPECT_EQ(sink.codes[3840].second, 9);
  EXPECT_EQ(sink.codes.back(), (std::pair<int, int>{257, sink.codes.back().second}));
}

TEST(GifCoderUnitTest, EmptyPictureGivesClearAndEndOnly) {
  for (int option : {0, kGifCodecLzw, kGifCodecUncompressed}) {
    RecordingSink sink;
    std::unique_ptr<GifCoder> coder;
    if (option == kGifCodecLzw) coder = std::make_unique<GifLzwCoder>(sink);
    else if (option == kGifCodecUncompressed) coder = std::make_unique<GifUncompressedCoder>(sink);
    else coder = std::make_unique<GifRunLengthCoder>(sink);
    coder->Start(3);
    coder->End();
    EXPECT_EQ(sink.codes, (std::vector<std::pair<int, int>>{{4, 3}, {5, 3}})) << option;
  }
}

TEST(GifEncoderTest, TwentyFourBitPictureComesBackExactlyFromTheMosaic) {
  CPicture pic = testing::NaturalFrame(40, 33, 3);
  const std::vector<std::uint8_t> gif = EncodeBytes(pic, kFormatGif);
  ASSERT_FALSE(gif.empty());
  EXPECT_EQ(gif[10], 0x11);
  const auto decoded = DecodeGif(gif);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.imageCount, 3 * 3);
  for (std::uint32_t y = 0; y < 33; ++y) {
    for (std::uint32_t x = 0; x < 40; ++x) {
      const RGBQuad c = pic.GetPixelColor(x, 32 - y);
      const std::uint8_t* got = &decoded.screen[(y * 40 + x) * 3];
      ASSERT_EQ(got[0], c.red) << x << "," << y;
      ASSERT_EQ(got[1], c.green);
      ASSERT_EQ(got[2], c.blue);
    }
  }
}

TEST(GifEncoderTest, HeaderCarriesTransparencyDelayOffsetAndComment) {
  CPicture pic = PalettePicture(4, 2, 4, std::vector<std::uint8_t>(8, 3));
  pic.Info().transparentIndex = 3;
  pic.Info().frameDelay = 0x0102;
  pic.Info().xOffset = 5;
  MemoryStream s;
  ASSERT_TRUE(s.Open());
  ASSERT_TRUE(EncodeGif(pic, pic.Info(), &s, "hi", 2));
  const std::uint8_t* b = s.Data();
  EXPECT_EQ(b[10], 0xE3);  // 4 bits per pixel, 16-entry table
  const std::size_t ext = 13 + 48;
  const std::uint8_t control[] = {0x21, 0xF9, 0x04, 0x09, 0x02, 0x01, 0x03, 0x00,
                                  0x21, 0xFE, 0x02, 'h', 'i', 0x00, 0x2C, 5, 0};
  EXPECT_EQ(std::memcmp(b + ext, control, sizeof(control)), 0);
}

// A stream that takes `budget` bytes and refuses the rest.
class ShortStream final : public ImageStream {
public:
  explicit ShortStream(std::size_t budget) : budget_(budget) {}
  bool CloseStream() override { return true; }
  std::size_t ReadItems(void*, std::size_t, std::size_t) override { return 0; }
  std::size_t WriteItems(const void*, std::size_t size, std::size_t count) override {
    if (size * count > budget_) return 0;
    budget_ -= size * count;
    return count;
  }
  bool SeekTo(std::int64_t, int) override { return false; }
  std::int64_t Position() override { return 0; }
  std::int64_t Length() override { return 0; }
  bool FlushOut() override { return true; }
  bool AtEnd() override { return true; }
  int ErrorState() override { return 0; }
  bool PutByte(std::uint8_t b) override { return WriteItems(&b, 1, 1) == 1; }
  int GetByte() override { return -1; }

private:
  std::size_t budget_;
};

TEST(GifEncoderTest, RefusedWritesAreReportedForEveryCoder) {
  for (int option : {0, kGifCodecLzw, kGifCodecUncompressed}) {
    CPicture pic = PalettePicture(64, 64, 8, std::vector<std::uint8_t>(64 * 64, 9));
    pic.Info().codecOption = option;
    ShortStream stream(800);  // the header and table fit, the image data does not
    const PictureResult written = pic.Encode(&stream, kFormatGif);
    EXPECT_FALSE(written) << option;
    EXPECT_EQ(written.error, "Write Error in GIF file");
  }
}

TEST(GifEncoderTest, OtherWritersReportRefusedWritesToo) {
  CPicture wbmp(90, 70, 1, kFormatWbmp);
  ShortStream forWbmp(100);
  EXPECT_EQ(wbmp.Encode(&forWbmp, kFormatWbmp).error, "Write Error in WBMP file");
  CPicture bmp(16, 16, 24, kFormatBmp);
  ShortStream forBmp(100);
  EXPECT_EQ(bmp.Encode(&forBmp, kFormatBmp).error, "Write Error in BMP file");
}

}  // namespace
}  // namespace orbiscope
