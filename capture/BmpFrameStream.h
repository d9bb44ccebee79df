#pragma once
// A read-only stream that presents a frame buffer as a BMP file: a 54-byte header made
// here, followed by the borrowed pixel bytes. Decoding a frame through it reads the
// buffer once, straight into the picture, instead of first copying it into a file block.

#include <cstdint>

#include "image/ImageStream.h"

namespace orbiscope {

class BmpFrameStream final : public ImageStream {
public:
  static constexpr std::size_t kHeaderBytes = 54;

  // The file of a width x height 24-bit frame whose pixel bytes are pixels[0, length).
  BmpFrameStream(const std::uint8_t* pixels, std::size_t length, std::int32_t width,
                 std::int32_t height);
  // The header bytes: "BM", file size, reserved 0, offset 54, then a 40-byte info header.
  const std::uint8_t* Header() const { return header_; }

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
  std::uint8_t header_[kHeaderBytes] = {};
  const std::uint8_t* pixels_;
  std::size_t length_;
  std::size_t position_ = 0;
};

}  // namespace orbiscope
