#include "image/ImageStream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace orbiscope {
namespace {

TEST(MemoryStreamTest, GrowsInWholeStepsAndHandsTheBlockOver) {
  MemoryStream s;
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(s.Capacity(), 0u);
  std::vector<std::uint8_t> data(5000, 0xAB);
  EXPECT_EQ(s.WriteItems(data.data(), 1, 1), 1u);
  EXPECT_EQ(s.Capacity(), 4096u);
  // 1 + 5000 bytes need two more steps beyond the first block: the smallest multiple of
  // 4096 added to the old capacity that reaches the size.
  EXPECT_EQ(s.WriteItems(data.data(), 1000, 5), 5u);
  EXPECT_EQ(s.Capacity(), 8192u);
  EXPECT_EQ(s.Length(), 5001);
  EXPECT_EQ(s.Position(), 5001);
  const std::size_t size = s.Size();
  std::uint8_t* block = s.HandOver();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(size, 5001u);
  EXPECT_EQ(block[5000], 0xAB);
  EXPECT_EQ(s.Position(), -1);  // the stream forgot it; closing must not free it
  s.CloseStream();
  std::free(block);
}

TEST(MemoryStreamTest, ReadSeekAndEndFollowTheValidSize) {
  const std::uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7};
  MemoryStream s(bytes, sizeof(bytes));
  std::uint8_t out[8] = {};
  EXPECT_EQ(s.ReadItems(out, 2, 2), 2u);
  EXPECT_EQ(out[3], 4);
  // Three bytes remain: one whole 2-byte item, and the position still advances by three.
  EXPECT_EQ(s.ReadItems(out, 2, 4), 1u);
  EXPECT_EQ(s.Position(), 7);
  EXPECT_TRUE(s.AtEnd());
  EXPECT_EQ(s.GetByte(), -1);
  EXPECT_TRUE(s.SeekTo(-2, 2));
  EXPECT_EQ(s.GetByte(), 6);
  EXPECT_FALSE(s.SeekTo(-10, 1));
  EXPECT_EQ(s.Position(), 6);
  EXPECT_TRUE(s.SeekTo(20, 0));
  EXPECT_EQ(s.ErrorState(), 1);
  EXPECT_EQ(s.ReadItems(out, 1, 1), 0u);
  // A borrowed read-only block is never written.
  EXPECT_TRUE(s.SeekTo(0, 0));
  EXPECT_FALSE(s.PutByte(9));
  EXPECT_EQ(bytes[0], 1);
}

TEST(MemoryStreamTest, WithoutABlockEverythingFails) {
  MemoryStream s;
  std::uint8_t b = 0;
  EXPECT_EQ(s.WriteItems(&b, 1, 1), 0u);
  EXPECT_EQ(s.ReadItems(&b, 1, 1), 0u);
  EXPECT_FALSE(s.PutByte(1));
  EXPECT_EQ(s.GetByte(), -1);
  EXPECT_EQ(s.Position(), -1);
  EXPECT_EQ(s.Length(), -1);
  EXPECT_FALSE(s.FlushOut());
  EXPECT_TRUE(s.AtEnd());
  EXPECT_EQ(s.ErrorState(), -1);
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(s.WriteItems(&b, 1, 0), 0u);  // a zero byte count fails too
  EXPECT_TRUE(s.FlushOut());
}

TEST(MemoryStreamTest, GrowingABorrowedBlockCopiesInsteadOfReallocating) {
  std::uint8_t stackBlock[4] = {1, 2, 3, 4};
  {
    MemoryStream s(stackBlock, sizeof(stackBlock), false);
    EXPECT_TRUE(s.SeekTo(0, 2));
    const std::uint8_t more[3] = {5, 6, 7};
    ASSERT_EQ(s.WriteItems(more, 1, 3), 3u);
    EXPECT_EQ(s.Size(), 7u);
    EXPECT_EQ(std::memcmp(s.Data(), "\1\2\3\4\5\6\7", 7), 0);
  }  // the stream frees its own copy, not the stack block
  EXPECT_EQ(stackBlock[3], 4);
}

TEST(MemoryStreamTest, SeekingPastTheEndThenWritingLeavesZeroBytesInTheGap) {
  MemoryStream s;
  ASSERT_TRUE(s.Open());
  ASSERT_TRUE(s.PutByte(7));
  ASSERT_TRUE(s.SeekTo(10, 0));
  ASSERT_TRUE(s.PutByte(8));
  ASSERT_EQ(s.Size(), 11u);
  for (int i = 1; i < 10; ++i) EXPECT_EQ(s.Data()[i], 0) << i;
}

}  // namespace
}  // namespace orbiscope
