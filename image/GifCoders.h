#pragma once
// The three GIF image-data coders and the block framing they share.
//
// A coder turns palette indices into variable-width codes; a GifCodeSink takes the codes.
// GifBlockWriter is the sink that packs codes least significant bit first and frames the
// bytes into length-prefixed sub-blocks on a stream.

#include <cstdint>
#include <vector>

#include "image/ImageStream.h"

namespace orbiscope {

// Receives each code with the width it is written at.
class GifCodeSink {
public:
  virtual ~GifCodeSink() = default;
  virtual void PutCode(int code, int width) = 0;
  // Writes out what is left; called once after the end code.
  virtual void Finish() = 0;
};

// Packs codes into sub-blocks of at most `blockLimit` bytes (255 for the run-length
// coder, 254 for the others) on a stream.
class GifBlockWriter final : public GifCodeSink {
public:
  GifBlockWriter(ImageStream* stream, int blockLimit);
  void PutCode(int code, int width) override;
  // Writes the remaining bits as one more byte and the last block.
  void Finish() override;
  // True when a write was refused or the stream reports an error.
  bool Failed() const { return failed_; }

private:
  void PutByte(std::uint8_t byte);
  void WriteBlock();

  ImageStream* stream_;
  int blockLimit_;
  std::uint32_t bits_ = 0;
  int bitCount_ = 0;
  std::uint8_t block_[256] = {};
  int blockLength_ = 0;
  bool failed_ = false;
};

// Codec options of the picture that choose the coder.
constexpr int kGifCodecUncompressed = 1;
constexpr int kGifCodecLzw = 2;

// One coder: Start, then one Pixel call per palette index, then End.
class GifCoder {
public:
  virtual ~GifCoder() = default;
  // `initialWidth` is the minimum code size + 1.
  virtual void Start(int initialWidth) = 0;
  virtual void Pixel(int index) = 0;
  virtual void End() = 0;
};

// Run-length coding that needs no string table: runs of one index become codes that a
// standard decoder expands from the entries it builds itself. The default coder.
class GifRunLengthCoder final : public GifCoder {
public:
  explicit GifRunLengthCoder(GifCodeSink& sink) : sink_(sink) {}
  void Start(int initialWidth) override;
  void Pixel(int index) override;
  void End() override;

private:
  void Output(int code);
  void OutputPlain(int code);
  void Reset();
  unsigned TriangleCount(unsigned count) const;
  void Flush();
  void FlushFromClear(int count);
  void FlushClearOrRepeat(int count);
  void FlushWithTable(int count);
  void RestoreClearLimit();

  GifCodeSink& sink_;
  int initialWidth_ = 0;
  int clearCode_ = 0, endCode_ = 0, baseCode_ = 0;
  int initialBump_ = 0, initialClearLimit_ = 0, maxCodes_ = 0;
  int runPixel_ = 0, runLength_ = 0;
  int tablePixel_ = 0, tableSize_ = 0;
  bool justCleared_ = true;
  int codeWidth_ = 0, codesOut_ = 0, bump_ = 0, clearLimit_ = 0;
};

// Code numbering and width of the table-based coders. The width a decoder reads grows when
// the next free code passes the widest code of the current width, and drops back to the
// start after a clear.
struct GifCodeSpace {
  void Start(int initialWidth);
  // Writes `code` at the current width, then follows the decoder's table.
  void Put(GifCodeSink& sink, int code);

  int initialWidth = 0, width = 0, maxCode = 0;
  int clearCode = 0, endCode = 0, nextCode = 0;
  bool clearPending = false;
};

// Standard GIF LZW with codes up to 12 bits over a 5 003-entry hash table.
class GifLzwCoder final : public GifCoder {
public:
  explicit GifLzwCoder(GifCodeSink& sink);
  void Start(int initialWidth) override;
  void Pixel(int index) override;
  void End() override;

private:
  void Output(int code) { space_.Put(sink_, code); }
  void ClearTable();

  GifCodeSink& sink_;
  std::vector<std::int32_t> hashKeys_;  // (pixel << 12) + prefix, -1 when free
  std::vector<std::uint16_t> codes_;
  GifCodeSpace space_;
  int prefix_ = -1;  // -1 before the first pixel
};

// Every pixel as its own code; the decoder's table grows but is never used.
class GifUncompressedCoder final : public GifCoder {
public:
  explicit GifUncompressedCoder(GifCodeSink& sink) : sink_(sink) {}
  void Start(int initialWidth) override;
  void Pixel(int index) override;
  void End() override;

private:
  void Output(int code) { space_.Put(sink_, code); }

  GifCodeSink& sink_;
  GifCodeSpace space_;
};

}  // namespace orbiscope
