#pragma once
// CPicture, the program's one in-memory picture: a single block holding a 40-byte bitmap
// header, the palette and bottom-up pixel rows padded to 4 bytes (24-bit pixels stored
// blue, green, red), plus an info record and optional selection and alpha planes. A
// picture always owns what it holds.
//
// One picture is changed by one thread at a time; it has no locking of its own. Its const
// operations write nothing, so several threads may read, copy, scale or encode one picture
// that nobody changes meanwhile, as workers do with the shared latest frame.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace orbiscope {

class ImageStream;

// Format codes of the encode and decode dispatch.
enum PictureFormat : std::uint32_t {
  kFormatUnknown = 0,  // decode: try every reader
  kFormatBmp = 1,
  kFormatGif = 2,
  kFormatJpeg = 3,
  kFormatPng = 4,
  kFormatIco = 5,
  kFormatTiff = 6,
  kFormatTga = 7,
  kFormatPcx = 8,
  kFormatWbmp = 9,
  kFormatWmf = 10,
  kFormatJp2 = 11,  // 11 to 15: the JPEG-2000 family
  kFormatJpc = 12,
  kFormatPgx = 13,
  kFormatPnm = 14,
  kFormatRas = 15,
};

// Scale modes.
enum ScaleMode : int {
  kScaleBilinear = 0,  // any mode other than 1 and 2
  kScaleNearest = 1,   // the mode of the camera routes
  kScaleBicubic = 2,
};

// One palette entry or one colour, in the byte order of the file formats.
struct RGBQuad {
  std::uint8_t blue = 0;
  std::uint8_t green = 0;
  std::uint8_t red = 0;
  std::uint8_t alpha = 0;  // alpha or reserved
  friend bool operator==(const RGBQuad&, const RGBQuad&) = default;
};
static_assert(sizeof(RGBQuad) == 4);

// The 40-byte device-independent bitmap header, little-endian on disk as in memory.
#pragma pack(push, 2)
struct BitmapInfoHeader {
  std::uint32_t biSize = 0;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 0;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == 40);

// How a picture is described and written besides its pixels: the settings the writers
// read, which a caller may also hand to an encode in place of the picture's own.
struct PictureInfo {
  std::uint32_t format = 0;              // format code
  std::int32_t escape = 0;               // non-zero makes decoding and scaling stop
  std::int32_t transparentIndex = -1;    // palette index shown transparent, -1 none
  RGBQuad transparentColor;              // colour shown transparent (24-bit pictures)
  std::uint8_t jpegQuality = 75;
  std::uint32_t frame = 0;               // current frame of a multi-frame file
  std::uint32_t numFrames = 0;
  std::uint32_t frameDelay = 0;          // GIF frame delay, hundredths of a second
  std::uint32_t xDpi = 96;               // resolution in dots per inch
  std::uint32_t yDpi = 96;
  std::int32_t selLeft = 0, selTop = 0, selRight = 0, selBottom = 0;  // selection box
  std::uint8_t alphaMax = 255;           // alpha scale applied when writing alpha
  std::uint8_t alphaPaletteEnabled = 0;  // palette entries' fourth byte is alpha
  std::uint8_t enabled = 1;
  std::int32_t xOffset = 0;              // GIF image position
  std::int32_t yOffset = 0;
  std::int32_t codecOption = 0;          // GIF coder: 1 uncompressed, 2 LZW, else run-length
};

// The answer of an encode or a scale: whether it worked and, when not, why. The picture
// read is left untouched either way, so the reason travels here instead of in its last
// error.
struct PictureResult {
  bool ok = true;
  std::string error;  // "" on success

  static PictureResult Success() { return {}; }
  static PictureResult Failure(std::string_view text) { return {false, std::string(text)}; }
  explicit operator bool() const { return ok; }
};

// Frees a buffer handed out by an encode to memory.
struct FreeDelete {
  void operator()(void* p) const { std::free(p); }
};
using EncodedBytes = std::unique_ptr<std::uint8_t[], FreeDelete>;

class CPicture {
public:
  // Largest pixel block and side Create accepts: room for 4K frames, none for a request
  // that would make a worker allocate gigabytes.
  static constexpr std::size_t kMaxBlockBytes = 64u << 20;
  static constexpr std::uint32_t kMaxSide = 16384;

  // Empty picture in its start-up state.
  explicit CPicture(std::uint32_t format = kFormatUnknown);
  // Empty picture, then Create.
  CPicture(std::uint32_t width, std::uint32_t height, std::uint32_t bpp, std::uint32_t format);
  // Decodes a borrowed memory block; on failure the picture is empty and LastError says why.
  CPicture(const std::uint8_t* block, std::size_t size, std::uint32_t format);
  // Empty, then CopyFrom. Also the copy constructor (everything copied).
  CPicture(const CPicture& source, bool copyPixels = true, bool copySelection = true,
           bool copyAlpha = true);
  CPicture& operator=(const CPicture& source);
  // Moves by TakeOver; the source is left empty.
  CPicture(CPicture&& other) noexcept;
  CPicture& operator=(CPicture&& other) noexcept;
  ~CPicture();

  // Makes a picture of the size and depth (bpp normalised to 1, 4, 8 or 24) with a zeroed
  // palette and uncleared pixels. Answers the block, or nullptr with the last error set.
  std::uint8_t* Create(std::uint32_t width, std::uint32_t height, std::uint32_t bpp,
                       std::uint32_t format);
  // Becomes a copy of `source`: info, size, depth and either all pixels or just the palette.
  // A picture that already has a block of the same size and depth keeps it: frames of one
  // capture all have one size, and a fresh block for each costs more in page faults than
  // the copy.
  void CopyFrom(const CPicture& source, bool copyPixels = true, bool copySelection = true,
                bool copyAlpha = true);
  // Frees the block and the planes.
  void Clear();
  // Takes the other picture's blocks and state, leaving the other in its start-up state.
  void TakeOver(CPicture& other);

  // Resamples to the new size into `target`, which gets this picture's info and a new block;
  // a failure leaves `target` as it was. `target` may be this picture.
  PictureResult Scale(std::uint32_t newWidth, std::uint32_t newHeight, int mode,
                      CPicture& target) const;
  // The same with this picture as the target.
  PictureResult ScaleInPlace(std::uint32_t newWidth, std::uint32_t newHeight,
                             int mode = kScaleNearest);
  // Encodes into a stream with the writer of the format code. The writer reads `settings`
  // (quality, resolution, transparency, coder) instead of the picture's info when given.
  PictureResult Encode(ImageStream* stream, std::uint32_t format,
                       const PictureInfo* settings = nullptr) const;
  // Encodes into a new malloc'ed buffer; `buffer` must be nullptr on entry. The caller owns
  // the buffer and frees it with std::free.
  PictureResult Encode(std::uint8_t*& buffer, std::size_t& size, std::uint32_t format,
                       const PictureInfo* settings = nullptr) const;
  // Convenience over the above: the bytes in an owning pointer, nullptr on failure.
  EncodedBytes EncodeToMemory(std::uint32_t format, std::size_t& size,
                              const PictureInfo* settings = nullptr) const;
  // Decodes a stream with the reader of the format code (0 tries them all).
  bool Decode(ImageStream* stream, std::uint32_t format);

  // Reduces to `target` bits per pixel (1, 4 or 8) over `palette` (or the standard one)
  // by nearest colour; `important` limits the palette entries searched (0 = all). Every
  // pixel is searched now, so a route that also scales down should scale first.
  bool ReduceBitDepth(std::uint32_t target, bool errorDiffusion = false,
                      const RGBQuad* palette = nullptr, std::uint32_t important = 0);

  bool HasPixels() const { return block_ != nullptr; }
  // True when there are pixels and a palette whose entry i is grey level i throughout.
  bool IsGreyRamp() const;

  std::uint32_t Width() const { return static_cast<std::uint32_t>(header_.biWidth); }
  std::uint32_t Height() const { return static_cast<std::uint32_t>(header_.biHeight); }
  std::uint32_t Bpp() const { return header_.biBitCount; }
  std::uint32_t RowBytes() const { return rowBytes_; }
  std::uint32_t Format() const { return info_.format; }
  // Palette entries: 2, 16 or 256, 0 for 24 bits.
  std::uint32_t PaletteSize() const { return header_.biClrUsed; }
  // Bytes of the whole block (header, palette, pixels); 0 without one.
  std::size_t BlockSize() const;
  const std::uint8_t* Block() const;

  // First stored row (the bottom of the picture), nullptr without pixels.
  std::uint8_t* Bits();
  const std::uint8_t* Bits() const;
  // Stored row y (0 = bottom), nullptr outside.
  std::uint8_t* Row(std::uint32_t y);
  const std::uint8_t* Row(std::uint32_t y) const;

  const BitmapInfoHeader& Header() const { return header_; }
  // Sets the resolution in dots per inch; the header's pels per metre follow (rounded).
  void SetResolution(std::uint32_t xDpi, std::uint32_t yDpi);
  // Sets the header's pels per metre as a file gives them (dots per inch unchanged).
  void SetPelsPerMeter(std::int32_t x, std::int32_t y);
  PictureInfo& Info() { return info_; }
  const PictureInfo& Info() const { return info_; }

  // The palette (nullptr for 24 bits) and its entries.
  RGBQuad* Palette();
  const RGBQuad* Palette() const;
  RGBQuad GetPaletteColor(std::uint32_t index) const;
  void SetPaletteColor(std::uint32_t index, RGBQuad color);
  // Copies `count` entries (at most the palette size) from `colors`.
  void SetPalette(const RGBQuad* colors, std::uint32_t count);
  // Makes entry i the grey level i * 255 / (size - 1).
  void SetGreyPalette();

  // Colour at (x, y), y counted from the bottom; outside (or without pixels) the fallback
  // colour: the transparent palette entry, else pixel (0, 0), else (a 0 x 0 picture, or a
  // transparent index without a palette) the transparent colour. Never reads outside.
  RGBQuad GetPixelColor(std::int64_t x, std::int64_t y, bool withAlpha = true) const;
  // Palette index at (x, y); 0 outside or for 24-bit pictures.
  std::uint8_t GetPixelIndex(std::int64_t x, std::int64_t y) const;
  // Writes a colour (nearest index on palette pictures); nothing outside.
  void SetPixelColor(std::int64_t x, std::int64_t y, RGBQuad color, bool withAlpha = false);
  // Writes a palette index; nothing outside or on 24-bit pictures.
  void SetPixelIndex(std::int64_t x, std::int64_t y, std::uint8_t index);
  // The palette index nearest to `color` among the important entries (all when none are
  // marked), the lowest index on ties. A plain scan that remembers nothing, so readers on
  // several threads may ask at once; a loop over many pixels keeps its own PaletteSearch.
  std::uint8_t GetNearestIndex(RGBQuad color) const;

  // Reverses the row order.
  void FlipRows();
  // Reverses every row left to right.
  void MirrorColumns();

  // Alpha plane: one byte per pixel, same order as the pixels.
  bool HasAlpha() const { return alpha_ != nullptr; }
  // Makes an opaque (255) alpha plane; false without pixels.
  bool AlphaCreate();
  void AlphaDelete();
  std::uint8_t* AlphaPlane() { return alpha_.get(); }
  const std::uint8_t* AlphaPlane() const { return alpha_.get(); }
  // Selection plane: one byte per pixel.
  bool HasSelection() const { return selection_ != nullptr; }
  bool SelectionCreate();
  void SelectionDelete();
  std::uint8_t* SelectionPlane() { return selection_.get(); }
  const std::uint8_t* SelectionPlane() const { return selection_.get(); }

  // Lossless exchange with plain buffers for toolkit and font code.
  // Becomes a 24-bit copy of `width` x `height` blue-green-red pixels, rows `stride` bytes
  // apart, the first row the top of the picture when `topDown`.
  bool FromBgr24(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                 std::size_t stride, bool topDown);
  // Writes the pixels as blue-green-red rows `stride` bytes apart (any depth is expanded).
  bool ToBgr24(std::uint8_t* pixels, std::size_t stride, bool topDown) const;
  // Becomes an 8-bit grey-ramp picture whose indices are the mask bytes.
  bool FromMask8(const std::uint8_t* mask, std::uint32_t width, std::uint32_t height,
                 std::size_t stride, bool topDown);
  // Writes one byte per pixel: the index of a palette picture; false for 24 bits.
  bool ToMask8(std::uint8_t* mask, std::size_t stride, bool topDown) const;

  // Text of the last failure of a change to this picture ("" when none).
  const char* LastError() const { return lastError_.c_str(); }
  // Keeps at most 255 characters of `text`.
  void SetLastError(std::string_view text);

private:
  // Copies `height` rows of `bytes` bytes from src (rows `stride` apart, top row first when
  // topDown) into the stored rows, zeroing each row's padding.
  void CopyRowsIn(const std::uint8_t* src, std::size_t bytes, std::size_t stride, bool topDown);
  void ResetState(std::uint32_t format);
  // Entries a nearest-colour search looks at: the important ones, or all.
  std::uint32_t SearchedEntries() const;
  RGBQuad ReadPixel(std::uint32_t x, std::uint32_t y) const;
  // Stored row y without a bounds check (y < Height(), pixels present).
  std::uint8_t* RowAt(std::uint32_t y) { return pixels_ + std::size_t{y} * rowBytes_; }
  const std::uint8_t* RowAt(std::uint32_t y) const {
    return pixels_ + std::size_t{y} * rowBytes_;
  }
  // The palette indices of a reduction without diffusion: every pixel of `source` mapped
  // to its nearest entry among the first `searched` ones of this picture's palette.
  void MapToPalette(const CPicture& source, std::uint32_t searched);
  // Writes the header into the block, where the encoders and copies find it.
  void StoreHeader();

  using Bytes = std::unique_ptr<std::uint8_t[]>;
  // A copy of `plane` (width x height bytes), or none without one or memory for it.
  Bytes CopyPlane(const Bytes& plane) const;

  Bytes block_;                     // header, palette, pixels in one block
  std::uint8_t* pixels_ = nullptr;  // the first stored row, inside block_
  std::uint32_t rowBytes_ = 0;      // stored bytes of one row (multiple of 4)
  BitmapInfoHeader header_;
  PictureInfo info_;
  std::string lastError_;
  Bytes selection_;  // width x height
  Bytes alpha_;      // width x height
};

}  // namespace orbiscope
