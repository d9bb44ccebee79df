#pragma once
// The grabber's one frame buffer and the accept-flag hand-over between the streaming
// thread, which copies each sample in, and the user-interface thread, which reads it.
//
// While accept is set, every sample overwrites the buffer. The reader clears accept under
// the lock before it reads and sets it again when done, so the buffer never changes while
// it is read and the lock is never held while the frame is drawn. The buffer only grows.

#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/CaptureStatus.h"

namespace orbiscope {

class SampleBuffer {
public:
  SampleBuffer() = default;
  SampleBuffer(const SampleBuffer&) = delete;
  SampleBuffer& operator=(const SampleBuffer&) = delete;

  // Copies a sample of length bytes in. kNone also when not accepting (stored stays
  // false); kNullSample for a null sample; kOutOfMemory when the buffer cannot grow.
  CaptureError Store(const std::uint8_t* sample, long length, bool& stored);
  // The same for top-down rows at a stride, stored bottom-up with rows padded to 4 bytes.
  CaptureError StoreRows(const std::uint8_t* topRow, long stride, int width, int height, bool& stored);

  // Starts a read: clears accept and hands out the buffer. False (and nothing changes) when
  // not accepting or when no sample came yet.
  bool BeginRead(const std::uint8_t*& data, long& capacity);
  // Ends a read: accepts samples again.
  void EndRead();

  // Bytes allocated; also the frame size the reader uses.
  long Capacity() const;
  bool Accepting() const;

private:
  bool ReserveLocked(long length);

  mutable std::mutex mutex_;
  bool accept_ = true;
  long capacity_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace orbiscope
