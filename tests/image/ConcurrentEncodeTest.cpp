// Camera requests run on several workers at once, each copying the one latest frame and
// encoding its copy: copies of a shared const picture and the writers keep no shared state.
#include "image/Picture.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "ImageTestSupport.h"
#include "image/OctreeQuantizer.h"

namespace orbiscope {
namespace {

std::vector<std::uint8_t> RouteBytes(const CPicture& latest, int route) {
  CPicture copy(latest);
  switch (route) {
    case 0: return testing::EncodeBytes(copy, kFormatJpeg);
    case 1: return testing::EncodeBytes(copy, kFormatPng);
    case 2: {
      OctreeQuantizer q(256, 7);
      q.ProcessImage(copy);
      RGBQuad table[256] = {};
      q.GetColorTable(table);
      copy.ScaleInPlace(90, 90);
      copy.ReduceBitDepth(8, false, table, 0);
      return testing::EncodeBytes(copy, kFormatGif);
    }
    default:
      copy.ScaleInPlace(90, 70);
      copy.ReduceBitDepth(1);
      return testing::EncodeBytes(copy, kFormatWbmp);
  }
}

TEST(ConcurrentEncodeTest, WorkersEncodingCopiesOfOneFrameGetTheSingleThreadedBytes) {
  const CPicture latest = testing::NaturalFrame(160, 120, 4);
  std::vector<std::vector<std::uint8_t>> expected;
  for (int route = 0; route < 4; ++route) expected.push_back(RouteBytes(latest, route));

  constexpr int kWorkers = 8;
  std::vector<std::vector<std::uint8_t>> got(kWorkers);
  std::latch start(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      start.arrive_and_wait();  // all workers copy and encode at the same moment
      got[w] = RouteBytes(latest, w % 4);
    });
  }
  for (auto& t : workers) t.join();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_FALSE(got[w].empty()) << w;
    EXPECT_EQ(got[w], expected[w % 4]) << "route " << w % 4;
  }
}

}  // namespace
}  // namespace orbiscope
