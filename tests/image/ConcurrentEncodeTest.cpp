// Camera requests run on several workers at once, each reading the one latest frame: some
// copy it first, the routes encode or scale it where it lies. Reading a shared const picture
// writes nothing to it, and the writers keep no shared state.
#include "image/Picture.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "ImageTestSupport.h"
#include "image/OctreeQuantizer.h"

namespace orbiscope {
namespace {

std::vector<std::uint8_t> RouteBytes(const CPicture& latest, int route, bool copyFirst) {
  CPicture copy;
  if (copyFirst) copy = latest;
  const CPicture& source = copyFirst ? copy : latest;
  CPicture small;
  switch (route) {
    case 0: return testing::EncodeBytes(source, kFormatJpeg);
    case 1: return testing::EncodeBytes(source, kFormatPng);
    case 2: {
      OctreeQuantizer q(256, 7);
      q.ProcessImage(source);
      RGBQuad table[256] = {};
      q.GetColorTable(table);
      if (!source.Scale(90, 90, kScaleNearest, small)) return {};
      small.ReduceBitDepth(8, false, table, 0);
      return testing::EncodeBytes(small, kFormatGif);
    }
    default:
      if (!source.Scale(90, 70, kScaleNearest, small)) return {};
      small.ReduceBitDepth(1);
      return testing::EncodeBytes(small, kFormatWbmp);
  }
}

TEST(ConcurrentEncodeTest, WorkersReadingOneFrameGetTheSingleThreadedBytes) {
  const CPicture latest = testing::NaturalFrame(160, 120, 4);
  std::vector<std::vector<std::uint8_t>> expected;
  for (int route = 0; route < 4; ++route) expected.push_back(RouteBytes(latest, route, true));

  constexpr int kWorkers = 8;
  std::vector<std::vector<std::uint8_t>> got(kWorkers);
  std::latch start(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      start.arrive_and_wait();  // all workers read the frame at the same moment
      got[w] = RouteBytes(latest, w % 4, w < 4);
    });
  }
  for (auto& t : workers) t.join();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_FALSE(got[w].empty()) << w;
    EXPECT_EQ(got[w], expected[w % 4]) << "route " << w % 4;
  }
}

// A palette frame: every worker asks it for nearest indices and scales it at once.
TEST(ConcurrentEncodeTest, WorkersAskingOnePalettePictureGetTheSingleThreadedAnswers) {
  CPicture palette = testing::NaturalFrame(160, 120, 5);
  ASSERT_TRUE(palette.ReduceBitDepth(8));
  const CPicture& shared = palette;
  auto answers = [&shared] {
    std::vector<std::uint8_t> out;
    for (int c = 0; c < 4096; ++c) {
      out.push_back(shared.GetNearestIndex(RGBQuad{static_cast<std::uint8_t>(c * 7),
                                                   static_cast<std::uint8_t>(c >> 4),
                                                   static_cast<std::uint8_t>(c * 13), 0}));
    }
    CPicture small;
    if (shared.Scale(70, 50, kScaleBilinear, small)) {
      out.insert(out.end(), small.Bits(), small.Bits() + small.Header().biSizeImage);
    }
    return out;
  };
  const std::vector<std::uint8_t> expected = answers();

  constexpr int kWorkers = 4;
  std::vector<std::vector<std::uint8_t>> got(kWorkers);
  std::latch start(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      start.arrive_and_wait();
      got[w] = answers();
    });
  }
  for (auto& t : workers) t.join();
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(got[w], expected) << w;
}

}  // namespace
}  // namespace orbiscope
