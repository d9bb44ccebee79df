#include "capture/SampleBuffer.h"

#include <cstring>
#include <new>

#include "capture/CaptureStatus.h"
#include "capture/FrameFormat.h"

namespace orbiscope {

bool SampleBuffer::ReserveLocked(long length) {
  if (capacity_ < length) {
    buffer_.reset();
    capacity_ = 0;
  }
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(length)]);
    if (!buffer_) return false;  // the sample is dropped; the next one tries again
    capacity_ = length;
  }
  return true;
}

CaptureError SampleBuffer::Store(const std::uint8_t* sample, long length, bool& stored) {
  stored = false;
  std::lock_guard lock(mutex_);
  if (!accept_) return CaptureError::kNone;
  if (sample == nullptr) return CaptureError::kNullSample;
  if (length <= 0) return CaptureError::kNone;
  if (!ReserveLocked(length)) return CaptureError::kOutOfMemory;
  std::memcpy(buffer_.get(), sample, static_cast<std::size_t>(length));
  stored = true;
  return CaptureError::kNone;
}

CaptureError SampleBuffer::StoreRows(const std::uint8_t* topRow, long stride, int width, int height,
                            bool& stored) {
  stored = false;
  if (width <= 0 || height <= 0) return CaptureError::kNone;
  const long rowBytes = static_cast<long>(RowBytes(width, 24));
  const long pixelBytes = static_cast<long>(width) * 3;
  const long length = rowBytes * height;
  std::lock_guard lock(mutex_);
  if (!accept_) return CaptureError::kNone;
  if (topRow == nullptr) return CaptureError::kNullSample;
  if (!ReserveLocked(length)) return CaptureError::kOutOfMemory;
  // The last source row is the first stored row: bottom-up, as the frame format wants.
  for (int row = 0; row < height; ++row) {
    std::uint8_t* out = buffer_.get() + static_cast<long>(height - 1 - row) * rowBytes;
    std::memcpy(out, topRow + static_cast<long>(row) * stride, static_cast<std::size_t>(pixelBytes));
    if (rowBytes > pixelBytes) std::memset(out + pixelBytes, 0, static_cast<std::size_t>(rowBytes - pixelBytes));
  }
  stored = true;
  return CaptureError::kNone;
}

bool SampleBuffer::BeginRead(const std::uint8_t*& data, long& capacity) {
  std::lock_guard lock(mutex_);
  if (!accept_ || !buffer_) return false;
  accept_ = false;
  data = buffer_.get();
  capacity = capacity_;
  return true;
}

void SampleBuffer::EndRead() {
  std::lock_guard lock(mutex_);
  accept_ = true;
}

long SampleBuffer::Capacity() const {
  std::lock_guard lock(mutex_);
  return capacity_;
}

bool SampleBuffer::Accepting() const {
  std::lock_guard lock(mutex_);
  return accept_;
}

}  // namespace orbiscope
