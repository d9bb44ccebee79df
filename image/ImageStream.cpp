#include "image/ImageStream.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace orbiscope {

MemoryStream::MemoryStream(std::uint8_t* block, std::size_t size, bool freeOnClose)
    : block_(block), size_(block ? size : 0), freeOnClose_(block && freeOnClose),
      capacity_(block ? size : 0) {}

MemoryStream::MemoryStream(const std::uint8_t* block, std::size_t size)
    : block_(const_cast<std::uint8_t*>(block)), size_(block ? size : 0), readOnly_(true),
      capacity_(block ? size : 0) {}

MemoryStream::~MemoryStream() { CloseStream(); }

bool MemoryStream::Open() {
  CloseStream();
  // malloc(0) may answer nullptr, which would read as "no block": keep one spare byte.
  block_ = static_cast<std::uint8_t*>(std::malloc(1));
  if (block_ == nullptr) return false;
  size_ = 0;
  capacity_ = 0;
  position_ = 0;
  freeOnClose_ = true;
  readOnly_ = false;
  return true;
}

std::uint8_t* MemoryStream::HandOver() {
  std::uint8_t* block = block_;
  freeOnClose_ = false;
  block_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  position_ = 0;
  return block;
}

bool MemoryStream::CloseStream() {
  if (block_ != nullptr && freeOnClose_) std::free(block_);
  block_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  position_ = 0;
  freeOnClose_ = false;
  return true;
}

bool MemoryStream::Reserve(std::size_t needed) {
  if (needed <= capacity_) return true;
  const std::size_t missing = needed - capacity_;
  const std::size_t steps = (missing + kGrowStep - 1) / kGrowStep;
  if (steps > (std::numeric_limits<std::size_t>::max() - capacity_) / kGrowStep) return false;
  const std::size_t capacity = capacity_ + steps * kGrowStep;
  std::uint8_t* grown;
  if (freeOnClose_) {
    grown = static_cast<std::uint8_t*>(std::realloc(block_, capacity));
  } else {
    // A block the stream does not own may not come from malloc at all: move the data
    // into a block of its own rather than reallocating the caller's.
    grown = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (grown != nullptr && size_ != 0) std::memcpy(grown, block_, size_);
  }
  if (grown == nullptr) return false;
  block_ = grown;
  capacity_ = capacity;
  freeOnClose_ = true;
  return true;
}

std::size_t MemoryStream::WriteItems(const void* buffer, std::size_t itemSize, std::size_t count) {
  if (block_ == nullptr || readOnly_ || buffer == nullptr || itemSize == 0 || count == 0) return 0;
  if (count > std::numeric_limits<std::size_t>::max() / itemSize) return 0;
  const std::size_t bytes = itemSize * count;
  if (bytes > std::numeric_limits<std::size_t>::max() - position_) return 0;
  if (!Reserve(position_ + bytes)) return 0;
  // A seek past the end leaves a gap; it reads as zero bytes rather than stale memory.
  if (position_ > size_) std::memset(block_ + size_, 0, position_ - size_);
  std::memcpy(block_ + position_, buffer, bytes);
  position_ += bytes;
  if (position_ > size_) size_ = position_;
  return count;
}

std::size_t MemoryStream::ReadItems(void* buffer, std::size_t itemSize, std::size_t count) {
  if (block_ == nullptr || buffer == nullptr || position_ > size_ || itemSize == 0 || count == 0) {
    return 0;
  }
  const std::size_t wanted =
      count > std::numeric_limits<std::size_t>::max() / itemSize ? size_ : itemSize * count;
  const std::size_t bytes = wanted < size_ - position_ ? wanted : size_ - position_;
  std::memcpy(buffer, block_ + position_, bytes);
  position_ += bytes;
  return bytes / itemSize;
}

bool MemoryStream::SeekTo(std::int64_t offset, int origin) {
  std::int64_t base = 0;
  if (origin == 1) base = static_cast<std::int64_t>(position_);
  if (origin == 2) base = static_cast<std::int64_t>(size_);
  const std::int64_t target = base + offset;
  if (target < 0) return false;
  position_ = static_cast<std::size_t>(target);
  return true;
}

std::int64_t MemoryStream::Position() {
  return block_ == nullptr ? -1 : static_cast<std::int64_t>(position_);
}

std::int64_t MemoryStream::Length() {
  return block_ == nullptr ? -1 : static_cast<std::int64_t>(size_);
}

bool MemoryStream::FlushOut() { return block_ != nullptr; }

bool MemoryStream::AtEnd() { return block_ == nullptr || position_ >= size_; }

int MemoryStream::ErrorState() {
  if (block_ == nullptr) return -1;
  return position_ > size_ ? 1 : 0;
}

bool MemoryStream::PutByte(std::uint8_t byte) { return WriteItems(&byte, 1, 1) == 1; }

int MemoryStream::GetByte() {
  if (block_ == nullptr || position_ >= size_) return -1;
  return block_[position_++];
}

}  // namespace orbiscope
