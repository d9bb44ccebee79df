#pragma once
// The byte stream every encoder writes to and every decoder reads from, and its
// in-memory implementation. Encoders never see a file or a socket: the camera routes
// encode into a MemoryStream and hand its block to the sender.

#include <cstddef>
#include <cstdint>

namespace orbiscope {

// Abstract byte stream. Positions and lengths are byte offsets; -1 means "no stream".
class ImageStream {
public:
  virtual ~ImageStream() = default;
  // Releases what the stream holds; the stream is empty afterwards.
  virtual bool CloseStream() = 0;
  // Reads up to `count` items of `itemSize` bytes; answers the whole items read.
  virtual std::size_t ReadItems(void* buffer, std::size_t itemSize, std::size_t count) = 0;
  // Writes `count` items of `itemSize` bytes; answers the items written (0 on failure).
  virtual std::size_t WriteItems(const void* buffer, std::size_t itemSize, std::size_t count) = 0;
  // Moves the position; origin 0 start, 1 current, 2 end. False for a negative result.
  virtual bool SeekTo(std::int64_t offset, int origin) = 0;
  // The current position, or -1.
  virtual std::int64_t Position() = 0;
  // The number of valid bytes, or -1.
  virtual std::int64_t Length() = 0;
  // Pushes out buffered bytes; false when the stream cannot.
  virtual bool FlushOut() = 0;
  // True when nothing more can be read.
  virtual bool AtEnd() = 0;
  // 0 when healthy, non-zero after a fault.
  virtual int ErrorState() = 0;
  // Writes one byte.
  virtual bool PutByte(std::uint8_t byte) = 0;
  // Reads one byte; -1 at the end.
  virtual int GetByte() = 0;
};

// A stream over one malloc'ed memory block that grows in 4 096-byte steps. A block the
// stream allocated (or was told to own) is freed on close unless it was handed over.
class MemoryStream final : public ImageStream {
public:
  // The growth step of the block.
  static constexpr std::size_t kGrowStep = 4096;

  // No block: every operation fails until Open.
  MemoryStream() = default;
  // Reads (or overwrites) an existing block of `size` valid bytes; `freeOnClose` makes the
  // stream own it (it must then come from malloc). A block the stream does not own is
  // never reallocated: growing past it moves the data into a block of the stream's own.
  MemoryStream(std::uint8_t* block, std::size_t size, bool freeOnClose);
  // Reads a borrowed block that must not change; every write fails.
  MemoryStream(const std::uint8_t* block, std::size_t size);
  ~MemoryStream() override;
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  // Starts an owned empty block (size 0, capacity 0, freed on close); false when the
  // allocation fails.
  bool Open();
  // Gives the block to the caller, who frees it with std::free; the stream forgets it.
  std::uint8_t* HandOver();
  // The block (or nullptr) and its valid bytes.
  const std::uint8_t* Data() const { return block_; }
  std::size_t Size() const { return size_; }
  std::size_t Capacity() const { return capacity_; }

  bool CloseStream() override;
  std::size_t ReadItems(void* buffer, std::size_t itemSize, std::size_t count) override;
  std::size_t WriteItems(const void* buffer, std::size_t itemSize, std::size_t count) override;
  bool SeekTo(std::int64_t offset, int origin) override;
  std::int64_t Position() override;
  std::int64_t Length() override;
  bool FlushOut() override;
  bool AtEnd() override;
  int ErrorState() override;
  bool PutByte(std::uint8_t byte) override;
  int GetByte() override;

private:
  // Makes room for `needed` bytes; false (stream unchanged) when memory runs out.
  bool Reserve(std::size_t needed);

  std::uint8_t* block_ = nullptr;
  std::size_t size_ = 0;
  bool freeOnClose_ = false;
  bool readOnly_ = false;
  std::size_t position_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace orbiscope
