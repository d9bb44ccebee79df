#include "capture/LatestFrame.h"

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
  EXPECT_EQ(0u, empty.generation);
  ASSERT_NE(nullptr, store.Share().image);
  EXPECT_FALSE(store.Share().image->HasPixels());

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
  EXPECT_EQ(1u, snap.generation);

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
  EXPECT_EQ(2u, store.Generation());
}

// A shared frame is the published one, not a copy, and later publications (which recycle
// frames nobody holds) never change it while a reader holds it.
TEST(LatestFrameTest, SharedFrameStaysAsPublishedWhileHeld) {
  LatestFrame store;
  store.Publish(Filled(8, 4, 1), 4, 8);
  const SharedFrame held = store.Share();
  EXPECT_EQ(held.image, store.Share().image);
  EXPECT_EQ(1u, held.generation);
  for (std::uint8_t v = 2; v < 8; ++v) {
    const CPicture next = Filled(8, 4, v);
    store.Publish(next, 4, 8);
    const SharedFrame now = store.Share();
    EXPECT_EQ(v, now.generation);
    EXPECT_TRUE(AllBytes(*now.image, v));
  }
  EXPECT_TRUE(AllBytes(*held.image, 1));
  EXPECT_EQ(8, held.width);
  const FrameSnapshot copy = held.Copy();  // of the held frame, not the newest
  EXPECT_TRUE(AllBytes(copy.image, 1));
  EXPECT_EQ(1u, copy.generation);
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
      for (bool share = false; !done.load(); share = !share) {
        FrameSnapshot copy;
        SharedFrame shared;
        if (share) shared = store.Share();
        else copy = store.Snapshot();
        const CPicture& image = share ? *shared.image : copy.image;
        const std::int32_t width = share ? shared.width : copy.width;
        const std::uint64_t generation = share ? shared.generation : copy.generation;
        const std::uint8_t v = image.Bits()[0];
        // Frames change size every second publication (so copies both reuse a recycled
        // block and replace it); size, pixels and generation must agree.
        const bool sizeOk = ((v / 2) % 2 == 0) ? (width == 16 && image.Width() == 16)
                                               : (width == 12 && image.Width() == 12);
        if (!sizeOk || !AllBytes(image, v) || (generation - 1) % 256 != v) ++bad;
      }
    });
  }
  started.arrive_and_wait();
  for (int i = 1; i <= 400; ++i) {
    const std::uint8_t v = static_cast<std::uint8_t>(i);
    // Both ways in: a copy into a recycled frame, and a taken-over picture.
    const CPicture next = (v / 2) % 2 == 0 ? Filled(16, 8, v) : Filled(12, 6, v);
    if (i % 3 == 0) store.Publish(CPicture(next), next.Height(), next.Width());
    else store.Publish(next, next.Height(), next.Width());
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, bad.load());
}

TEST(FrameCopyTest, SameSizeCopyReusesTheBlock) {
  CPicture target = Filled(10, 5, 3);
  const std::uint8_t* block = target.Block();
  CPicture source = Filled(10, 5, 8);
  source.Info().format = kFormatJpeg;
  source.SetPelsPerMeter(1000, 2000);
  target.CopyFrom(source);
  EXPECT_EQ(block, target.Block());  // no new allocation for a frame of the same size
  EXPECT_TRUE(AllBytes(target, 8));
  EXPECT_EQ(kFormatJpeg, target.Format());
  EXPECT_EQ(1000, target.Header().biXPelsPerMeter);
  EXPECT_EQ(0, std::memcmp(target.Block(), source.Block(), source.BlockSize()));
  std::memset(source.Bits(), 1, source.RowBytes() * 5);
  EXPECT_TRUE(AllBytes(target, 8));  // a copy, not a share

  // Another size takes a block of its own, and the planes come along.
  CPicture wider = Filled(12, 5, 4);
  wider.AlphaCreate();
  target.CopyFrom(wider);
  EXPECT_EQ(12u, target.Width());
  EXPECT_TRUE(target.HasAlpha());
  EXPECT_TRUE(AllBytes(target, 4));
}

}  // namespace
}  // namespace orbiscope
