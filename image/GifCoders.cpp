#include "image/GifCoders.h"

namespace orbiscope {

// ---- Block framing ----

GifBlockWriter::GifBlockWriter(ImageStream* stream, int blockLimit)
    : stream_(stream), blockLimit_(blockLimit) {}

void GifBlockWriter::PutCode(int code, int width) {
  bits_ |= static_cast<std::uint32_t>(code) << bitCount_;
  bitCount_ += width;
  while (bitCount_ >= 8) {
    PutByte(static_cast<std::uint8_t>(bits_ & 0xFF));
    bits_ >>= 8;
    bitCount_ -= 8;
  }
}

void GifBlockWriter::PutByte(std::uint8_t byte) {
  block_[blockLength_++] = byte;
  if (blockLength_ >= blockLimit_) WriteBlock();
}

void GifBlockWriter::WriteBlock() {
  if (blockLength_ == 0) return;
  const auto length = static_cast<std::uint8_t>(blockLength_);
  if (!stream_->PutByte(length) ||
      stream_->WriteItems(block_, 1, static_cast<std::size_t>(blockLength_)) !=
          static_cast<std::size_t>(blockLength_)) {
    failed_ = true;
  }
  blockLength_ = 0;
}

void GifBlockWriter::Finish() {
  if (bitCount_ > 0) {
    PutByte(static_cast<std::uint8_t>(bits_ & 0xFF));
    bits_ = 0;
    bitCount_ = 0;
  }
  WriteBlock();
  if (!stream_->FlushOut() || stream_->ErrorState() != 0) failed_ = true;
}

// ---- Run-length coder ----

void GifRunLengthCoder::Start(int initialWidth) {
  initialWidth_ = initialWidth;
  clearCode_ = 1 << (initialWidth - 1);
  endCode_ = clearCode_ + 1;
  baseCode_ = clearCode_ + 2;
  initialBump_ = (1 << (initialWidth - 1)) - 1;
  initialClearLimit_ = initialWidth <= 3 ? 9 : initialBump_ - 1;
  maxCodes_ = 4093 - clearCode_;
  Reset();
  Output(clearCode_);
  runLength_ = 0;
  runPixel_ = 0;
}

void GifRunLengthCoder::Pixel(int index) {
  if (runLength_ > 0 && index != runPixel_) Flush();
  if (index == runPixel_) {
    ++runLength_;
  } else {
    runPixel_ = index;
    runLength_ = 1;
  }
}

void GifRunLengthCoder::End() {
  if (runLength_ > 0) Flush();
  Output(endCode_);
  sink_.Finish();
}

void GifRunLengthCoder::Output(int code) { sink_.PutCode(code, codeWidth_); }

void GifRunLengthCoder::Reset() {
  codeWidth_ = initialWidth_;
  bump_ = initialBump_;
  clearLimit_ = initialClearLimit_;
  codesOut_ = 0;
  tableSize_ = 0;
  justCleared_ = true;
}

void GifRunLengthCoder::OutputPlain(int code) {
  justCleared_ = false;
  Output(code);
  ++codesOut_;
  if (codesOut_ >= bump_) {
    ++codeWidth_;
    bump_ += 1 << (codeWidth_ - 1);
  }
  if (codesOut_ >= clearLimit_) {
    Output(clearCode_);
    Reset();
  }
}

// Codes needed to send `count` pixels from a fresh table: runs of 1, 2, 3, ... pixels,
// each one table entry longer than the last, in groups of at most maxCodes_ codes.
unsigned GifRunLengthCoder::TriangleCount(unsigned count) const {
  const unsigned m = static_cast<unsigned>(maxCodes_);
  const unsigned perGroup = m * (m + 1) / 2;
  unsigned cost = 0;
  while (count >= perGroup) {
    cost += m;
    count -= perGroup;
  }
  if (count > 0) {
    unsigned n = 0;
    while ((n + 1) * (n + 1) <= count) ++n;  // integer square root
    while (n > 0 && n * (n + 1) >= 2 * count) --n;
    while (n * (n + 1) < 2 * count) ++n;
    cost += n;
  }
  return cost;
}

void GifRunLengthCoder::Flush() {
  if (runLength_ == 1) {
    OutputPlain(runPixel_);
  } else if (justCleared_) {
    FlushFromClear(runLength_);
  } else if (tableSize_ < 2 || tablePixel_ != runPixel_) {
    FlushClearOrRepeat(runLength_);
  } else {
    FlushWithTable(runLength_);
  }
  runLength_ = 0;
}

void GifRunLengthCoder::RestoreClearLimit() {
  clearLimit_ = initialClearLimit_;
  if (codesOut_ >= clearLimit_) {
    Output(clearCode_);
    Reset();
  }
}

void GifRunLengthCoder::FlushFromClear(int count) {
  clearLimit_ = maxCodes_;
  tablePixel_ = runPixel_;
  int step = 1;
  while (count > 0) {
    if (step == 1) {
      tableSize_ = 1;
      OutputPlain(runPixel_);
      --count;
    } else if (count >= step) {
      tableSize_ = step;
      OutputPlain(baseCode_ + step - 2);
      count -= step;
    } else if (count == 1) {
      ++tableSize_;
      OutputPlain(runPixel_);
      count = 0;
    } else {
      ++tableSize_;
      OutputPlain(baseCode_ + count - 2);
      count = 0;
    }
    step = codesOut_ == 0 ? 1 : step + 1;
  }
  RestoreClearLimit();
}

void GifRunLengthCoder::FlushClearOrRepeat(int count) {
  const unsigned withClear = 1 + TriangleCount(static_cast<unsigned>(count));
  if (withClear < static_cast<unsigned>(count)) {
    Output(clearCode_);
    Reset();
    FlushFromClear(count);
  } else {
    for (; count > 0; --count) OutputPlain(runPixel_);
  }
}

void GifRunLengthCoder::FlushWithTable(int count) {
  int repeats = count / tableSize_;
  int leftover = count % tableSize_;
  unsigned extra = leftover ? 1 : 0;
  if (codesOut_ + repeats + static_cast<int>(extra) > maxCodes_) {
    repeats = maxCodes_ - codesOut_;
    leftover = count - repeats * tableSize_;
    extra = 1 + TriangleCount(static_cast<unsigned>(leftover));
  }
  if (1 + TriangleCount(static_cast<unsigned>(count)) < static_cast<unsigned>(repeats) + extra) {
    Output(clearCode_);
    Reset();
    FlushFromClear(count);
    return;
  }
  clearLimit_ = maxCodes_;
  for (; repeats > 0; --repeats) OutputPlain(baseCode_ + tableSize_ - 2);
  if (leftover > 0) {
    if (justCleared_) {
      FlushFromClear(leftover);
    } else if (leftover == 1) {
      OutputPlain(runPixel_);
    } else {
      OutputPlain(baseCode_ + leftover - 2);
    }
  }
  RestoreClearLimit();
}

// ---- LZW coder ----

namespace {
constexpr int kMaxBits = 12;
constexpr int kMaxMaxCode = 1 << kMaxBits;  // 4096: no code reaches it
constexpr int kHashSize = 5003;
constexpr int kHashShift = 4;
}  // namespace

GifLzwCoder::GifLzwCoder(GifCodeSink& sink)
    : sink_(sink), hashKeys_(kHashSize, -1), codes_(kHashSize, 0) {}

void GifLzwCoder::Start(int initialWidth) {
  space_.Start(initialWidth);
  prefix_ = -1;
  std::fill(hashKeys_.begin(), hashKeys_.end(), -1);
  Output(space_.clearCode);
}

void GifLzwCoder::ClearTable() {
  std::fill(hashKeys_.begin(), hashKeys_.end(), -1);
  space_.nextCode = space_.clearCode + 2;
  space_.clearPending = true;
  Output(space_.clearCode);
}

void GifLzwCoder::Pixel(int index) {
  if (prefix_ < 0) {
    prefix_ = index;
    return;
  }
  const std::int32_t key = (static_cast<std::int32_t>(index) << kMaxBits) + prefix_;
  int i = (index << kHashShift) ^ prefix_;
  if (hashKeys_[i] == key) {
    prefix_ = codes_[i];
    return;
  }
  if (hashKeys_[i] >= 0) {
    const int step = i == 0 ? 1 : kHashSize - i;
    do {
      i -= step;
      if (i < 0) i += kHashSize;
      if (hashKeys_[i] == key) {
        prefix_ = codes_[i];
        return;
      }
    } while (hashKeys_[i] >= 0);
  }
  Output(prefix_);
  prefix_ = index;
  if (space_.nextCode < kMaxMaxCode) {
    codes_[i] = static_cast<std::uint16_t>(space_.nextCode++);
    hashKeys_[i] = key;
  } else {
    ClearTable();
  }
}

void GifLzwCoder::End() {
  // A picture without pixels has no last prefix: only the clear and end codes go out.
  if (prefix_ >= 0) Output(prefix_);
  Output(space_.endCode);
  sink_.Finish();
}

// ---- Uncompressed coder ----

void GifCodeSpace::Start(int initial) {
  initialWidth = initial;
  width = initial;
  maxCode = (1 << width) - 1;
  clearCode = 1 << (initial - 1);
  endCode = clearCode + 1;
  nextCode = clearCode + 2;
  clearPending = false;
}

void GifCodeSpace::Put(GifCodeSink& sink, int code) {
  sink.PutCode(code, width);
  // The decoder adds its table entry one code later than the coder, so the width
  // follows the next free code as it stood before this code's string was added.
  if (nextCode > maxCode || clearPending) {
    if (clearPending) {
      width = initialWidth;
      maxCode = (1 << width) - 1;
      clearPending = false;
    } else {
      ++width;
      maxCode = width == kMaxBits ? kMaxMaxCode : (1 << width) - 1;
    }
  }
}

void GifUncompressedCoder::Start(int initialWidth) {
  space_.Start(initialWidth);
  Output(space_.clearCode);
}

void GifUncompressedCoder::Pixel(int index) {
  Output(index);
  if (++space_.nextCode > kMaxMaxCode - 1) {
    space_.nextCode = space_.clearCode + 2;
    space_.clearPending = true;
    Output(space_.clearCode);
  }
}

void GifUncompressedCoder::End() {
  Output(space_.endCode);
  sink_.Finish();
}

}  // namespace orbiscope
