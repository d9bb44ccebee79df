#include "capture/LatestFrame.h"

#include "capture/FrameCopy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace orbiscope {
namespace {

// A 24-bit picture whose every byte is value, so that a mixed frame is easy to see.
CPicture Filled(std::uint32_t width, std::uint32_t height, std::uint8_t value) {
  CPicture p;
  p.Create(width, height, 24, kFormatBmp);
  std::memset(p.Bits(), value, static_cast<std::size_t>(p.RowBytes()) * height);
  return p;
}

bool AllBytes(const CPicture& p, std::uint8_t value) {
  const std::uint8_t* b = p.Bits();
  const std::size_t n = static_cast<std::size_t>(p.RowBytes()) * p.Height();
  for (std::size_t i = 0; i < n; ++i)
    if (b[i] != value) return false;
  return true;
}

TEST(LatestFrameTest, EmptyBeforeFirstPublicationThenCopiesWithSize) {
  LatestFrame store;
  FrameSnapshot empty = store.Snapshot();
  EXPECT_FALSE(empty.image.HasPixels());
  EXPECT_EQ(0, empty.width);
  EXPECT_EQ(0, empty.height);

  CPicture frame = Filled(8, 4, 7);
  frame.AlphaCreate();
  store.Publish(frame, 4, 8);
  // The publisher's picture stays its own: changing it does not reach the store.
  std::memset(frame.Bits(), 9, frame.RowBytes() * 4);

  FrameSnapshot snap = store.Snapshot();
  ASSERT_TRUE(snap.image.HasPixels());
  EXPECT_EQ(8, snap.width);
  EXPECT_EQ(4, snap.height);
  EXPECT_TRUE(AllBytes(snap.image, 7));
  EXPECT_TRUE(snap.image.HasAlpha());

  // A snapshot is private: drawing into it leaves the store alone.
  std::memset(snap.image.Bits(), 1, snap.image.RowBytes() * 4);
  EXPECT_TRUE(AllBytes(store.Snapshot().image, 7));
}

TEST(LatestFrameTest, TakenOverPublicationReplacesTheFrame) {
  LatestFrame store;
  store.Publish(Filled(4, 4, 1), 4, 4);
  CPicture next = Filled(6, 2, 2);
  store.Publish(std::move(next), 2, 6);
  EXPECT_FALSE(next.HasPixels());
  FrameSnapshot snap = store.Snapshot();
  EXPECT_EQ(6u, snap.image.Width());
  EXPECT_EQ(6, snap.width);
  EXPECT_EQ(2, snap.height);
  EXPECT_TRUE(AllBytes(snap.image, 2));
}

// Readers racing a publisher always get one whole frame, with the size it came with.
TEST(LatestFrameTest, ReadersNeverSeeAMixedFrame) {
  LatestFrame store;
  store.Publish(Filled(16, 8, 0), 8, 16);
  constexpr int kReaders = 3;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::latch started(kReaders + 1);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      started.arrive_and_wait();
      while (!done.load()) {
        FrameSnapshot s = store.Snapshot();
        const std::uint8_t v = s.image.Bits()[0];
        // Frames change size every second publication (so copies both reuse the store's
        // block and replace it); size and pixels must agree.
        const bool sizeOk = ((v / 2) % 2 == 0) ? (s.width == 16 && s.image.Width() == 16)
                                         : (s.width == 12 && s.image.Width() == 12);
        if (!sizeOk || !AllBytes(s.image, v)) ++bad;
      }
    });
  }
  started.arrive_and_wait();
  for (int i = 1; i <= 400; ++i) {
    const std::uint8_t v = static_cast<std::uint8_t>(i);
    if ((v / 2) % 2 == 0) store.Publish(Filled(16, 8, v), 8, 16);
    else store.Publish(Filled(12, 6, v), 6, 12);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, bad.load());
}

TEST(FrameCopyTest, SameSizeCopyReusesTheBlockAndMatchesCopyFrom) {
  CPicture target = Filled(10, 5, 3);
  const std::uint8_t* block = target.Block();
  CPicture source = Filled(10, 5, 8);
  source.Info().format = kFormatJpeg;
  source.SetPelsPerMeter(1000, 2000);
  CopyFrame(target, source);
  EXPECT_EQ(block, target.Block());  // no new allocation for a frame of the same size
  EXPECT_TRUE(AllBytes(target, 8));
  EXPECT_EQ(kFormatJpeg, target.Format());
  EXPECT_EQ(1000, target.Header().biXPelsPerMeter);
  EXPECT_EQ(0, std::memcmp(target.Block(), source.Block(), source.BlockSize()));
  std::memset(source.Bits(), 1, source.RowBytes() * 5);
  EXPECT_TRUE(AllBytes(target, 8));  // a copy, not a share

  // Another size, or planes to carry, take the full copy.
  CPicture wider = Filled(12, 5, 4);
  wider.AlphaCreate();
  CopyFrame(target, wider);
  EXPECT_EQ(12u, target.Width());
  EXPECT_TRUE(target.HasAlpha());
  EXPECT_TRUE(AllBytes(target, 4));
}

}  // namespace
}  // namespace orbiscope
