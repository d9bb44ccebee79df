#include "capture/GrabberCallback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "capture/CaptureStatus.h"
#include "capture/FrameFormat.h"
#include "capture/SampleBuffer.h"
#include "capture/TestPattern.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/FakeCapture.h"

namespace orbiscope {
namespace {

using testing::RecordingSink;

// Settings that draw nothing: no caption, no time.
OverlaySettings Plain() {
  OverlaySettings s;
  s.x = 0;
  s.y = 0;
  return s;
}

TEST(SampleBufferTest, BufferOnlyGrowsAndShortSamplesFillItsFront) {
  SampleBuffer buffer;
  bool stored = false;
  std::vector<std::uint8_t> big(100, 1), small(40, 2), bigger(160, 3);
  EXPECT_EQ(CaptureError::kNone, buffer.Store(big.data(), 100, stored));
  EXPECT_TRUE(stored);
  EXPECT_EQ(100, buffer.Capacity());
  EXPECT_EQ(CaptureError::kNone, buffer.Store(small.data(), 40, stored));
  EXPECT_EQ(100, buffer.Capacity());

  const std::uint8_t* data = nullptr;
  long capacity = 0;
  ASSERT_TRUE(buffer.BeginRead(data, capacity));
  EXPECT_EQ(100, capacity);
  EXPECT_EQ(2, data[39]);
  EXPECT_EQ(1, data[40]);  // the rest is the older sample's

  // While read, samples are ignored, and a second reader finds nothing.
  EXPECT_EQ(CaptureError::kNone, buffer.Store(bigger.data(), 160, stored));
  EXPECT_FALSE(stored);
  EXPECT_EQ(100, buffer.Capacity());
  const std::uint8_t* other = nullptr;
  EXPECT_FALSE(buffer.BeginRead(other, capacity));
  buffer.EndRead();

  EXPECT_EQ(CaptureError::kNone, buffer.Store(bigger.data(), 160, stored));
  EXPECT_EQ(160, buffer.Capacity());
  EXPECT_EQ(CaptureError::kNullSample, buffer.Store(nullptr, 10, stored));
  EXPECT_FALSE(stored);
}

TEST(SampleBufferTest, TopDownRowsAreStoredBottomUpAndPadded) {
  SampleBuffer buffer;
  // Width 3 makes 9-byte rows, padded to 12; the source rows are 10 bytes apart.
  std::uint8_t source[20];
  for (int i = 0; i < 20; ++i) source[i] = static_cast<std::uint8_t>(i + 1);
  bool stored = false;
  ASSERT_EQ(CaptureError::kNone, buffer.StoreRows(source, 10, 3, 2, stored));
  ASSERT_TRUE(stored);
  const std::uint8_t* data = nullptr;
  long capacity = 0;
  ASSERT_TRUE(buffer.BeginRead(data, capacity));
  ASSERT_EQ(24, capacity);
  EXPECT_EQ(0, std::memcmp(data, source + 10, 9));      // bottom row first
  EXPECT_EQ(0, std::memcmp(data + 12, source, 9));
  EXPECT_EQ(0, data[9] | data[10] | data[11] | data[21] | data[22] | data[23]);
  buffer.EndRead();
}

TEST(GrabberCallbackTest, NothingToProcessBeforeTheFirstSample) {
  ResourceLibrary none;
  GrabberCallback grabber(none);
  grabber.SetFrameSize(4, 3);
  EXPECT_FALSE(grabber.ProcessFrame(Plain()));
  EXPECT_FALSE(grabber.WorkingImage().HasPixels());
}

TEST(GrabberCallbackTest, FirstFrameIsTheBufferBottomUpAndEachStoredSampleIsAnnounced) {
  ResourceLibrary none;
  GrabberCallback grabber(none);
  RecordingSink sink;
  grabber.SetNotify(&sink);
  grabber.SetFrameSize(4, 3);
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(FrameBytes(4, 3, 24)));
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(CaptureError::kNone, grabber.BufferCB(0.0, frame.data(), static_cast<long>(frame.size())));
  EXPECT_EQ(1, sink.Frames());

  ASSERT_TRUE(grabber.ProcessFrame(Plain()));
  const CPicture& image = grabber.WorkingImage();
  ASSERT_EQ(4u, image.Width());
  ASSERT_EQ(3u, image.Height());
  ASSERT_EQ(24u, image.Bpp());
  for (std::uint32_t row = 0; row < 3; ++row)
    EXPECT_EQ(0, std::memcmp(image.Row(row), frame.data() + row * 12, 12)) << "stored row " << row;
  EXPECT_TRUE(grabber.Buffer().Accepting());
  // The buffer was read: the same frame is processed again only when asked.
  EXPECT_TRUE(grabber.ProcessFrame(Plain()));
}

TEST(GrabberCallbackTest, BufferSmallerThanTheFrameIsDroppedNotReadPast) {
  ResourceLibrary none;
  GrabberCallback grabber(none);
  grabber.SetFrameSize(64, 48);
  std::vector<std::uint8_t> shortSample(100, 9);
  ASSERT_EQ(CaptureError::kNone, grabber.BufferCB(0.0, shortSample.data(), 100));
  EXPECT_FALSE(grabber.ProcessFrame(Plain()));
  EXPECT_FALSE(grabber.WorkingImage().HasPixels());
  EXPECT_TRUE(grabber.Buffer().Accepting());  // the pipeline keeps running
}

// A streaming thread hammers the callback with whole pattern frames while this thread
// processes: every processed frame must be exactly one pattern frame, never a mix.
TEST(GrabberCallbackTest, HandOverNeverTearsAFrame) {
  constexpr int kWidth = 96, kHeight = 64, kProcessed = 150;
  ResourceLibrary none;  // no logo: the frame must equal the pattern byte for byte
  GrabberCallback grabber(none);
  RecordingSink sink;
  grabber.SetNotify(&sink);
  grabber.SetFrameSize(kWidth, kHeight);
  const long length = static_cast<long>(FrameBytes(kWidth, kHeight, 24));

  std::atomic<bool> done{false};
  std::thread streaming([&] {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(length));
    for (std::uint32_t n = 1; !done.load(std::memory_order_relaxed); ++n) {
      RenderTestPattern(frame.data(), kWidth, kHeight, n);
      grabber.BufferCB(n, frame.data(), length);
    }
  });

  std::vector<std::uint8_t> expected(static_cast<std::size_t>(length));
  std::uint32_t last = 0;
  int processed = 0, torn = 0, backwards = 0;
  for (int wanted = 1; processed < kProcessed; ++wanted) {
    if (!sink.WaitForFrames(wanted)) {
      ADD_FAILURE() << "no frame notice for ten seconds";
      break;  // the streaming thread is still joined below
    }
    if (!grabber.ProcessFrame(Plain())) continue;
    ++processed;
    const CPicture& image = grabber.WorkingImage();
    const std::uint32_t n = ReadTestPatternNumber(image.Bits(), kWidth, kHeight);
    RenderTestPattern(expected.data(), kWidth, kHeight, n);
    if (std::memcmp(image.Bits(), expected.data(), expected.size()) != 0) ++torn;
    if (n < last) ++backwards;
    last = n;
  }
  done = true;
  streaming.join();
  EXPECT_EQ(0, torn);
  EXPECT_EQ(0, backwards);
  EXPECT_GT(last, 1u);
}

// The marks are drawn after the turn: a caption on a frame turned a quarter is the same
// mask, upright, as on the unturned frame, at the same place counted from the top-left.
TEST(GrabberCallbackTest, TurnedFrameKeepsTheCaptionUpright) {
  ResourceLibrary none;  // no logo
  OverlaySettings settings;
  settings.caption = "Up 42";
  settings.font.faceName = "DejaVu Sans";
  settings.font.height = -20;
  settings.colour = 0x00FFFFFF;
  settings.x = 10;
  settings.y = 40;
  // The caption's pixels, as (column, row from the top).
  auto caption = [&](const FrameTurn& turn) {
    GrabberCallback grabber(none);
    grabber.SetFrameSize(160, 120);
    grabber.SetTurn(turn);
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(FrameBytes(160, 120, 24)), 0);
    grabber.BufferCB(0.0, frame.data(), static_cast<long>(frame.size()));
    EXPECT_TRUE(grabber.ProcessFrame(settings));
    const CPicture& image = grabber.WorkingImage();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ink;
    for (std::uint32_t row = 0; row < image.Height(); ++row)
      for (std::uint32_t x = 0; x < image.Width(); ++x)
        if (image.GetPixelColor(x, image.Height() - 1 - row, false).red != 0) ink.emplace_back(x, row);
    return ink;
  };
  const auto upright = caption(FrameTurn{});
  ASSERT_GT(upright.size(), 20u);
  for (const FrameTurn turn : {FrameTurn{90, FrameFlip::kNone}, FrameTurn{270, FrameFlip::kVertical},
                               FrameTurn{0, FrameFlip::kHorizontal}}) {
    EXPECT_EQ(upright, caption(turn)) << turn.rotate << " " << FlipName(turn.flip);
  }
}

}  // namespace
}  // namespace orbiscope
