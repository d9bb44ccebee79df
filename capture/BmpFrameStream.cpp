#include "capture/BmpFrameStream.h"

#include <algorithm>
#include <cstring>

namespace orbiscope {
namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

}  // namespace

BmpFrameStream::BmpFrameStream(const std::uint8_t* pixels, std::size_t length, std::int32_t width,
                               std::int32_t height)
    : pixels_(pixels), length_(length) {
  header_[0] = 'B';
  header_[1] = 'M';
  Put32(header_ + 2, static_cast<std::uint32_t>(length + kHeaderBytes));
  Put32(header_ + 10, kHeaderBytes);
  Put32(header_ + 14, 40);
  Put32(header_ + 18, static_cast<std::uint32_t>(width));
  Put32(header_ + 22, static_cast<std::uint32_t>(height));
  Put16(header_ + 26, 1);
  Put16(header_ + 28, 24);
  // Compression, image size, resolutions and colour counts stay 0.
}

bool BmpFrameStream::CloseStream() {
  pixels_ = nullptr;
  length_ = 0;
  position_ = 0;
  return true;
}

std::size_t BmpFrameStream::ReadItems(void* buffer, std::size_t itemSize, std::size_t count) {
  if (buffer == nullptr || itemSize == 0 || count == 0) return 0;
  const std::size_t total = kHeaderBytes + length_;
  if (position_ >= total) return 0;
  const std::size_t want = std::min(itemSize * count, total - position_);
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  if (position_ < kHeaderBytes) {
    const std::size_t n = std::min(want, kHeaderBytes - position_);
    std::memcpy(out, header_ + position_, n);
    done = n;
  }
  if (done < want) {
    const std::size_t from = position_ + done - kHeaderBytes;
    std::memcpy(out + done, pixels_ + from, want - done);
    done = want;
  }
  position_ += done;
  return done / itemSize;
}

std::size_t BmpFrameStream::WriteItems(const void*, std::size_t, std::size_t) { return 0; }

bool BmpFrameStream::SeekTo(std::int64_t offset, int origin) {
  std::int64_t base = 0;
  if (origin == 1) base = static_cast<std::int64_t>(position_);
  if (origin == 2) base = static_cast<std::int64_t>(kHeaderBytes + length_);
  if (base + offset < 0) return false;
  position_ = static_cast<std::size_t>(base + offset);
  return true;
}

std::int64_t BmpFrameStream::Position() { return static_cast<std::int64_t>(position_); }
std::int64_t BmpFrameStream::Length() { return static_cast<std::int64_t>(kHeaderBytes + length_); }
bool BmpFrameStream::FlushOut() { return true; }
bool BmpFrameStream::AtEnd() { return position_ >= kHeaderBytes + length_; }
int BmpFrameStream::ErrorState() { return position_ > kHeaderBytes + length_ ? 1 : 0; }
bool BmpFrameStream::PutByte(std::uint8_t) { return false; }

int BmpFrameStream::GetByte() {
  std::uint8_t byte = 0;
  return ReadItems(&byte, 1, 1) == 1 ? byte : -1;
}

}  // namespace orbiscope
