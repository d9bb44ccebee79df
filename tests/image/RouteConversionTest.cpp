// The conversions the camera routes run, in their order, and the picture formats that
// only those routes produce: WBMP, the octree palette and the bit-depth reductions.
#include "image/OctreeQuantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "ImageTestSupport.h"
#include "image/PaletteSearch.h"
#include "image/Picture.h"
#include "image/WbmpEncoder.h"

namespace orbiscope {
namespace {

using testing::DecodeGif;
using testing::EncodeBytes;

CPicture OneColour(std::uint32_t w, std::uint32_t h, RGBQuad c) {
  CPicture pic(w, h, 24, kFormatBmp);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) pic.SetPixelColor(x, y, c);
  return pic;
}

TEST(WbmpTest, HeaderRowsAndSizeLimits) {
  CPicture pic(90, 70, 1, kFormatWbmp);
  std::memset(pic.Bits(), 0, pic.RowBytes() * 70u);
  pic.SetPixelIndex(0, 69, 1);  // top-left pixel white
  pic.SetPixelIndex(89, 0, 1);  // bottom-right pixel white
  std::vector<std::uint8_t> bytes = EncodeBytes(pic, kFormatWbmp);
  ASSERT_EQ(bytes.size(), 4u + 70u * 12u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x5A, 0x46}));
  EXPECT_EQ(bytes[4], 0x80);                   // first row is the top
  EXPECT_EQ(bytes[4 + 69 * 12 + 11], 0x40);    // pixel 89 is bit 6 of byte 11

  CPicture wide(200, 1, 1, kFormatWbmp);
  bytes = EncodeBytes(wide, kFormatWbmp);
  ASSERT_GE(bytes.size(), 5u);
  EXPECT_EQ(bytes[2], 0x81);
  EXPECT_EQ(bytes[3], 0x48);
  EXPECT_EQ(bytes[4], 0x01);

  for (auto [w, h, bpp] : {std::tuple{256u, 1u, 1u}, std::tuple{1u, 256u, 1u}, std::tuple{8u, 8u, 8u}}) {
    CPicture refused(w, h, bpp, kFormatWbmp);
    EXPECT_TRUE(EncodeBytes(refused, kFormatWbmp).empty());
    EXPECT_EQ(testing::EncodeError(refused, kFormatWbmp), "Can't save this image as WBMP");
  }
}

TEST(ReduceBitDepthTest, BlackAndWhiteThresholdsOfTheWbmpRoute) {
  CPicture pic(3, 1, 24, kFormatBmp);
  pic.SetPixelColor(0, 0, RGBQuad{127, 127, 127, 0});
  pic.SetPixelColor(1, 0, RGBQuad{128, 128, 128, 0});
  pic.SetPixelColor(2, 0, RGBQuad{0, 0, 255, 0});  // pure red
  ASSERT_TRUE(pic.ReduceBitDepth(1));
  ASSERT_EQ(pic.Bpp(), 1u);
  EXPECT_EQ(pic.GetPaletteColor(0), (RGBQuad{0, 0, 0, 0}));
  EXPECT_EQ(pic.GetPaletteColor(1), (RGBQuad{255, 255, 255, 0}));
  EXPECT_EQ(pic.GetPixelIndex(0, 0), 0);
  EXPECT_EQ(pic.GetPixelIndex(1, 0), 1);
  EXPECT_EQ(pic.GetPixelIndex(2, 0), 0);
}

TEST(ReduceBitDepthTest, RefusalsAndNoOps) {
  CPicture empty;
  EXPECT_FALSE(empty.ReduceBitDepth(1));
  CPicture one(4, 4, 1, kFormatBmp);
  EXPECT_FALSE(one.ReduceBitDepth(8));  // more bits than the picture has
  EXPECT_EQ(one.Bpp(), 1u);
  EXPECT_TRUE(one.ReduceBitDepth(1));   // equal, nothing to do
  CPicture deep(4, 4, 24, kFormatBmp);
  EXPECT_FALSE(deep.ReduceBitDepth(12));  // would round up to 24 bits
  EXPECT_EQ(deep.Bpp(), 24u);
  ASSERT_TRUE(deep.ReduceBitDepth(4));
  EXPECT_EQ(deep.PaletteSize(), 16u);
}

TEST(ReduceBitDepthTest, ImportantColoursLimitTheSearch) {
  for (const bool diffusion : {false, true}) {
    CPicture pic = OneColour(2, 2, RGBQuad{200, 200, 200, 0});
    RGBQuad pal[256] = {};
    pal[5] = RGBQuad{200, 200, 200, 0};
    ASSERT_TRUE(pic.ReduceBitDepth(8, diffusion, pal, 4));
    EXPECT_EQ(pic.GetPixelIndex(0, 0), 0) << diffusion;  // entry 5 is beyond the 4 searched
    EXPECT_EQ(pic.GetNearestIndex(RGBQuad{200, 200, 200, 0}), 0) << diffusion;
  }
}

TEST(ReduceBitDepthTest, ErrorDiffusionKeepsTheMeanOfAFlatGrey) {
  CPicture pic = OneColour(64, 64, RGBQuad{64, 64, 64, 0});
  ASSERT_TRUE(pic.ReduceBitDepth(1, true));
  int white = 0;
  for (std::uint32_t y = 0; y < 64; ++y)
    for (std::uint32_t x = 0; x < 64; ++x) white += pic.GetPixelIndex(x, y);
  EXPECT_NEAR(white / 4096.0, 64 / 255.0, 0.03);  // plain nearest would give all black
}

// Every index is the one a plain scan of the palette gives, from a 24-bit or a palette
// picture; bits beyond the last pixel and the row padding are zero.
TEST(ReduceBitDepthTest, IndicesAreThoseOfAPlainScan) {
  const CPicture frame = testing::NaturalFrame(61, 37, 9);  // odd width: partial last bytes
  CPicture eightBit(frame);
  ASSERT_TRUE(eightBit.ReduceBitDepth(8));  // the standard palette: a palette source
  for (const CPicture* source : {&frame, static_cast<const CPicture*>(&eightBit)}) {
    for (std::uint32_t target : {1u, 4u, 8u}) {
      if (target == source->Bpp()) continue;
      OctreeQuantizer q(1u << target, 7);
      ASSERT_TRUE(q.ProcessImage(*source));
      RGBQuad table[256] = {};
      q.GetColorTable(table);
      CPicture pic(*source);
      ASSERT_TRUE(pic.ReduceBitDepth(target, false, table, 0));
      for (std::uint32_t y = 0; y < 37; ++y) {
        for (std::uint32_t x = 0; x < 61; ++x) {
          const std::uint8_t want =
              PaletteSearch::NearestByScan(table, 1u << target, source->GetPixelColor(x, y));
          ASSERT_EQ(pic.GetPixelIndex(x, y), want) << source->Bpp() << "->" << target << " "
                                                   << x << "," << y;
        }
        const std::uint32_t usedBits = 61 * target;
        const std::uint8_t* row = pic.Row(y);
        if (usedBits % 8) {
          EXPECT_EQ(row[usedBits / 8] & ((1u << (8 - usedBits % 8)) - 1), 0u);
        }
        for (std::uint32_t b = (usedBits + 7) / 8; b < pic.RowBytes(); ++b) EXPECT_EQ(row[b], 0);
      }
    }
  }
}

// The GIF route scales before it reduces, so that only the kept pixels are searched. That
// must give the pixels of reducing first, also when the palette repeats colours (the
// octree's unused black entries) and when the picture is scaled up.
TEST(ReduceBitDepthTest, ScalingBeforeOrAfterTheReductionGivesTheSamePicture) {
  std::mt19937 rng(5);
  RGBQuad palette[256] = {};
  for (int i = 0; i < 200; ++i) {
    // Few levels: many colours lie at equal distances from several entries.
    palette[i] = RGBQuad{static_cast<std::uint8_t>(rng() % 6 * 51),
                         static_cast<std::uint8_t>(rng() % 6 * 51),
                         static_cast<std::uint8_t>(rng() % 6 * 51), 0};
  }
  palette[7] = palette[3];
  for (auto [w, h] : {std::pair{640u, 480u}, std::pair{161u, 97u}, std::pair{64u, 48u}}) {
    CPicture reducedFirst = testing::NaturalFrame(w, h, w);
    CPicture scaledFirst(reducedFirst);
    ASSERT_TRUE(reducedFirst.ReduceBitDepth(8, false, palette, 0));
    ASSERT_TRUE(reducedFirst.ScaleInPlace(90, 90));
    ASSERT_TRUE(scaledFirst.ScaleInPlace(90, 90));
    ASSERT_TRUE(scaledFirst.ReduceBitDepth(8, false, palette, 0));
    // Header and palette, then the pixels (scaling leaves row padding as it found it).
    const std::size_t head = reducedFirst.Bits() - reducedFirst.Block();
    ASSERT_EQ(head, std::size_t{40 + 4 * 256});
    ASSERT_EQ(0, std::memcmp(reducedFirst.Block(), scaledFirst.Block(), head)) << w << "x" << h;
    for (std::uint32_t y = 0; y < 90; ++y) {
      ASSERT_EQ(0, std::memcmp(reducedFirst.Row(y), scaledFirst.Row(y), 90)) << w << "x" << h;
    }
  }
}

TEST(PaletteSearchTest, AgreesWithAPlainScanOnTiesDuplicatesAndRandomColours) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::vector<RGBQuad> pal(round % 2 ? 256 : 1 + rng() % 40);
    for (auto& c : pal) {
      // Few levels make ties and repeated entries common.
      const int levels = round < 10 ? 4 : 256;
      c = RGBQuad{static_cast<std::uint8_t>(rng() % levels * (255 / (levels - 1))),
                  static_cast<std::uint8_t>(rng() % levels * (255 / (levels - 1))),
                  static_cast<std::uint8_t>(rng() % levels * (255 / (levels - 1))), 0};
    }
    PaletteSearch search(pal.data(), static_cast<std::uint32_t>(pal.size()));
    for (int i = 0; i < 3000; ++i) {
      const RGBQuad c{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                      static_cast<std::uint8_t>(rng()), 0};
      ASSERT_EQ(search.Nearest(c), PaletteSearch::NearestByScan(pal.data(), pal.size(), c));
    }
    for (const RGBQuad& c : pal) {
      ASSERT_EQ(search.Nearest(c), PaletteSearch::NearestByScan(pal.data(), pal.size(), c));
    }
  }
}

TEST(OctreeQuantizerTest, SevenColourBitsShareALeafForColoursDifferingInTheLowestBit) {
  CPicture pic(2, 1, 24, kFormatBmp);
  pic.SetPixelColor(0, 0, RGBQuad{10, 20, 30, 0});
  pic.SetPixelColor(1, 0, RGBQuad{11, 21, 31, 0});
  OctreeQuantizer q(256, 7);
  ASSERT_TRUE(q.ProcessImage(pic));
  EXPECT_EQ(q.LeafCount(), 1u);
  RGBQuad table[256] = {};
  EXPECT_EQ(q.GetColorTable(table), 1u);
  EXPECT_EQ(table[0], (RGBQuad{10, 20, 30, 0}));  // integer means: 21/2, 41/2, 61/2
}

TEST(OctreeQuantizerTest, The257thLeafReducesTheNewestLevelSixNode) {
  // 256 colours in 128 level-6 nodes of two leaves each: the red and green top bits
  // pick distinct paths, blue's lowest kept bit splits each node.
  std::vector<RGBQuad> colors;
  for (int i = 0; i < 128; ++i) {
    const auto r = static_cast<std::uint8_t>((i & 0x3F) << 2);
    const auto g = static_cast<std::uint8_t>((i >> 6) << 7);
    colors.push_back(RGBQuad{0, g, r, 0});
    colors.push_back(RGBQuad{2, g, r, 0});
  }
  CPicture pic(static_cast<std::uint32_t>(colors.size()) + 1, 1, 24, kFormatBmp);
  for (std::uint32_t x = 0; x < colors.size(); ++x) pic.SetPixelColor(x, 0, colors[x]);
  // The 257th colour is a third leaf below the level-6 node of (252, 0, 0/2); the level-6
  // node created last, that of (252, 128, 0/2), is the one reduced.
  pic.SetPixelColor(256, 0, RGBQuad{0, 0, 255, 0});
  OctreeQuantizer q(256, 7);
  ASSERT_TRUE(q.ProcessImage(pic));
  EXPECT_EQ(q.LeafCount(), 256u);
  RGBQuad table[256] = {};
  ASSERT_EQ(q.GetColorTable(table), 256u);
  const RGBQuad mergedPair{1, 128, 252, 0};  // blue (0 + 2) / 2
  const RGBQuad newest{0, 0, 255, 0};
  int untouched = 0;
  for (const RGBQuad& c : table) untouched += std::count(colors.begin(), colors.end(), c) ? 1 : 0;
  EXPECT_EQ(untouched, 254);
  EXPECT_NE(std::find(table, table + 256, mergedPair), table + 256);
  EXPECT_NE(std::find(table, table + 256, newest), table + 256);
  EXPECT_EQ(std::find(table, table + 256, (RGBQuad{0, 128, 252, 0})), table + 256);
}

// Over 16.8 million pixels of one colour take a leaf's sums past 2^32; the mean must still
// be that colour. One bit per pixel keeps the picture at 2 MiB.
TEST(OctreeQuantizerTest, LeafSumsBeyondThirtyTwoBitsKeepTheMean) {
  BitmapInfoHeader header;
  header.biWidth = 4200;
  header.biHeight = 4100;  // 17 220 000 pixels: 255 each sums to 4.39e9
  header.biBitCount = 1;
  std::vector<std::uint8_t> pixels((4200 + 31) / 32 * 4 * 4100, 0);
  const RGBQuad palette[2] = {{253, 254, 255, 0}, {0, 0, 0, 0}};
  OctreeQuantizer q(256, 7);
  ASSERT_TRUE(q.ProcessImage(header, pixels.data(), palette));
  RGBQuad table[256] = {};
  ASSERT_EQ(q.GetColorTable(table), 1u);
  EXPECT_EQ(table[0], (RGBQuad{253, 254, 255, 0}));
}

// A quantizer asked for more colours than a palette holds still fills at most 256 entries.
TEST(OctreeQuantizerTest, TheTableStopsAtTwoHundredFiftySixEntries) {
  CPicture pic(300, 1, 24, kFormatBmp);
  for (std::uint32_t x = 0; x < 300; ++x)
    pic.SetPixelColor(x, 0, RGBQuad{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8), 7, 0});
  OctreeQuantizer q(1000, 8);
  ASSERT_TRUE(q.ProcessImage(pic));
  ASSERT_EQ(q.LeafCount(), 300u);
  std::vector<RGBQuad> table(300, RGBQuad{1, 2, 3, 4});
  EXPECT_EQ(q.GetColorTable(table.data()), 256u);
  EXPECT_EQ(std::count(table.begin() + 256, table.end(), (RGBQuad{1, 2, 3, 4})), 44);
}

// The tree exactly as described, without any shortcut: the quantizer's table must match
// it entry for entry on pictures that force thousands of reductions at every level.
class ReferenceOctree {
public:
  ReferenceOctree(unsigned maxColors, unsigned colorBits) : max_(maxColors), bits_(colorBits) {}
  ~ReferenceOctree() { Free(root_); }
  void Add(int r, int g, int b) {
    Node** link = &root_;
    for (unsigned level = 0;; ++level) {
      if (*link == nullptr) {
        *link = new Node{};
        if (level == bits_) {
          (*link)->leaf = true;
          ++leaves_;
        } else {
          (*link)->next = reducible_[level];
          reducible_[level] = *link;
        }
      }
      Node* n = *link;
      if (n->leaf) {
        ++n->count;
        n->r += r;
        n->g += g;
        n->b += b;
        break;
      }
      const int mask = 0x80 >> level;
      link = &n->child[((r & mask) ? 4 : 0) + ((g & mask) ? 2 : 0) + ((b & mask) ? 1 : 0)];
    }
    while (leaves_ > max_) {
      int level = static_cast<int>(bits_) - 1;
      while (level > 0 && reducible_[level] == nullptr) --level;
      Node* n = reducible_[level];
      reducible_[level] = n->next;
      unsigned children = 0;
      for (Node*& c : n->child) {
        if (c == nullptr) continue;
        n->count += c->count;
        n->r += c->r;
        n->g += c->g;
        n->b += c->b;
        delete c;
        c = nullptr;
        ++children;
      }
      n->leaf = true;
      leaves_ -= children - 1;
    }
  }
  std::vector<RGBQuad> Table() const {
    std::vector<RGBQuad> out;
    Walk(root_, out);
    return out;
  }

private:
  struct Node {
    bool leaf = false;
    std::uint64_t count = 0, r = 0, g = 0, b = 0;
    Node* child[8] = {};
    Node* next = nullptr;
  };
  static void Free(Node* n) {
    if (n == nullptr) return;
    for (Node* c : n->child) Free(c);
    delete n;
  }
  static void Walk(const Node* n, std::vector<RGBQuad>& out) {
    if (n == nullptr) return;
    if (n->leaf) {
      out.push_back(RGBQuad{static_cast<std::uint8_t>(n->b / n->count), static_cast<std::uint8_t>(n->g / n->count),
                            static_cast<std::uint8_t>(n->r / n->count), 0});
      return;
    }
    for (const Node* c : n->child) Walk(c, out);
  }
  unsigned max_, bits_, leaves_ = 0;
  Node* root_ = nullptr;
  Node* reducible_[8] = {};
};

TEST(OctreeQuantizerTest, MatchesTheTreeAsDescribedOnBusyPictures) {
  std::mt19937 rng(3);
  for (int round = 0; round < 4; ++round) {
    CPicture pic = round < 2 ? testing::NaturalFrame(320, 240, static_cast<std::uint32_t>(round))
                             : CPicture(257, 131, 24, kFormatBmp);
    if (round >= 2) {  // random colours: reductions high up the tree as well
      for (std::uint32_t y = 0; y < pic.Height(); ++y)
        for (std::uint32_t x = 0; x < pic.Width(); ++x)
          pic.SetPixelColor(x, y, RGBQuad{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                          static_cast<std::uint8_t>(round == 2 ? rng() : 7), 0});
    }
    const unsigned maxColors = round == 3 ? 16 : 256;
    ReferenceOctree reference(maxColors, 7);
    for (std::uint32_t y = 0; y < pic.Height(); ++y) {
      for (std::uint32_t x = 0; x < pic.Width(); ++x) {
        const RGBQuad c = pic.GetPixelColor(x, y);
        reference.Add(c.red, c.green, c.blue);
      }
    }
    OctreeQuantizer q(maxColors, 7);
    ASSERT_TRUE(q.ProcessImage(pic));
    RGBQuad table[256] = {};
    const std::uint32_t n = q.GetColorTable(table);
    EXPECT_EQ(std::vector<RGBQuad>(table, table + n), reference.Table()) << round;
  }
}

TEST(OctreeQuantizerTest, RefusesOtherBitCountsAndStaysBounded) {
  BitmapInfoHeader h;
  h.biWidth = 1;
  h.biHeight = 1;
  h.biBitCount = 16;
  std::uint8_t px[4] = {};
  OctreeQuantizer q(256, 7);
  EXPECT_FALSE(q.ProcessImage(h, px, nullptr));
  EXPECT_EQ(q.LeafCount(), 0u);
  CPicture frame = testing::NaturalFrame(320, 240);
  ASSERT_TRUE(q.ProcessImage(frame));
  EXPECT_LE(q.LeafCount(), 256u);
  OctreeQuantizer none(0, 7);  // nothing may be kept: must still end
  EXPECT_TRUE(none.ProcessImage(frame));
}

// The 0 x 0 copy of an empty latest frame through each route's conversions: the JPEG
// and PNG writers refuse it with a message, the GIF and WBMP routes scale it up to
// their fixed sizes from the fixed fallback colour.
TEST(RouteTest, EmptyFrameThroughEveryRoute) {
  const CPicture latest;
  {
    CPicture jpeg(latest);
    EXPECT_TRUE(EncodeBytes(jpeg, kFormatJpeg).empty());
    EXPECT_NE(testing::EncodeError(jpeg, kFormatJpeg), "");
    CPicture png(latest);
    EXPECT_TRUE(EncodeBytes(png, kFormatPng).empty());
    EXPECT_EQ(testing::EncodeError(png, kFormatPng), "Error saving PNG file");
  }
  {
    CPicture gif(latest);
    OctreeQuantizer q(256, 7);
    q.ProcessImage(gif);
    RGBQuad table[256] = {};
    q.GetColorTable(table);
    ASSERT_TRUE(gif.ScaleInPlace(90, 90));
    gif.ReduceBitDepth(8, false, table, 0);
    const auto decoded = DecodeGif(EncodeBytes(gif, kFormatGif));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, 90);
  }
  {
    CPicture wbmp(latest);
    ASSERT_TRUE(wbmp.ScaleInPlace(90, 70));
    ASSERT_TRUE(wbmp.ReduceBitDepth(1));
    const auto bytes = EncodeBytes(wbmp, kFormatWbmp);
    ASSERT_EQ(bytes.size(), 4u + 70u * 12u);
    EXPECT_EQ(bytes[3], 0x46);
  }
}

// The GIF route on a camera-like frame, read back by giflib: every pixel must show the
// palette colour nearest to the source pixel the scaling picked.
TEST(RouteTest, GifRouteShowsTheNearestPaletteColourOfEachSampledPixel) {
  CPicture frame = testing::NaturalFrame(640, 480, 5);
  const CPicture source(frame);
  OctreeQuantizer q(256, 7);
  ASSERT_TRUE(q.ProcessImage(frame));
  RGBQuad table[256] = {};
  q.GetColorTable(table);
  ASSERT_TRUE(frame.ScaleInPlace(90, 90));
  ASSERT_TRUE(frame.ReduceBitDepth(8, false, table, 0));
  ASSERT_NE(frame.Palette(), nullptr);
  frame.Info().alphaPaletteEnabled = 0;
  const auto decoded = DecodeGif(EncodeBytes(frame, kFormatGif));
  ASSERT_TRUE(decoded.ok);
  for (std::uint32_t y = 0; y < 90; ++y) {
    for (std::uint32_t x = 0; x < 90; ++x) {
      const auto sx = static_cast<std::int64_t>(static_cast<float>(x) * (640.0f / 90.0f));
      const auto sy = static_cast<std::int64_t>(static_cast<float>(y) * (480.0f / 90.0f));
      const std::uint8_t want = PaletteSearch::NearestByScan(table, 256, source.GetPixelColor(sx, sy));
      ASSERT_EQ(decoded.indices[(89 - y) * 90 + x], want) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace orbiscope
