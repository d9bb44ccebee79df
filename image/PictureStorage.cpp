// The picture's storage: making, copying, handing over and freeing its block and planes.
#include "image/Picture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace orbiscope {

namespace {

// 96 dots per inch in pels per metre, rounded down as the bitmap header keeps it.
constexpr std::int32_t kDefaultPelsPerMeter = 3780;

std::uint32_t NormalisedBpp(std::uint32_t bpp) {
  if (bpp <= 1) return 1;
  if (bpp <= 4) return 4;
  if (bpp <= 8) return 8;
  return 24;
}

std::uint32_t PaletteEntriesFor(std::uint32_t bpp) { return bpp <= 8 ? (1u << bpp) : 0; }

// Bytes are left uninitialised: pixels are written before they are read, and clearing a
// frame-sized block for nothing costs as much as the copy into it.
std::unique_ptr<std::uint8_t[]> Allocate(std::size_t bytes) {
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[bytes ? bytes : 1]);
}

}  // namespace

CPicture::Bytes CPicture::CopyPlane(const Bytes& plane) const {
  if (plane == nullptr) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(Width()) * Height();
  Bytes copy = Allocate(bytes);
  if (copy != nullptr && bytes != 0) std::memcpy(copy.get(), plane.get(), bytes);
  return copy;
}

CPicture::CPicture(std::uint32_t format) { ResetState(format); }

CPicture::CPicture(std::uint32_t width, std::uint32_t height, std::uint32_t bpp,
                   std::uint32_t format) {
  ResetState(format);
  Create(width, height, bpp, format);
}

CPicture::CPicture(const CPicture& source, bool copyPixels, bool copySelection, bool copyAlpha) {
  ResetState(source.info_.format);
  CopyFrom(source, copyPixels, copySelection, copyAlpha);
}

CPicture& CPicture::operator=(const CPicture& source) {
  if (this != &source) CopyFrom(source, true, true, true);
  return *this;
}

CPicture::CPicture(CPicture&& other) noexcept {
  ResetState(other.info_.format);
  TakeOver(other);
}

CPicture& CPicture::operator=(CPicture&& other) noexcept {
  if (this != &other) TakeOver(other);
  return *this;
}

CPicture::~CPicture() = default;

void CPicture::ResetState(std::uint32_t format) {
  block_.reset();
  pixels_ = nullptr;
  rowBytes_ = 0;
  selection_.reset();
  alpha_.reset();
  lastError_.clear();
  header_ = BitmapInfoHeader{};
  header_.biXPelsPerMeter = kDefaultPelsPerMeter;
  header_.biYPelsPerMeter = kDefaultPelsPerMeter;
  info_ = PictureInfo{};
  info_.format = format;
}

void CPicture::SetLastError(std::string_view text) {
  lastError_.assign(text.substr(0, 255));
}

void CPicture::Clear() {
  selection_.reset();
  alpha_.reset();
  block_.reset();
  pixels_ = nullptr;
}

void CPicture::StoreHeader() { std::memcpy(block_.get(), &header_, sizeof(header_)); }

std::uint8_t* CPicture::Create(std::uint32_t width, std::uint32_t height, std::uint32_t bpp,
                               std::uint32_t format) {
  Clear();
  bpp = NormalisedBpp(bpp);
  const std::uint64_t rowBytes = ((static_cast<std::uint64_t>(width) * bpp) + 31) / 32 * 4;
  const std::uint32_t entries = PaletteEntriesFor(bpp);
  const std::uint64_t imageBytes = rowBytes * height;
  const std::uint64_t blockBytes = sizeof(BitmapInfoHeader) + 4ull * entries + imageBytes;
  if (width > kMaxSide || height > kMaxSide || blockBytes > kMaxBlockBytes) {
    SetLastError("PICTURE_MAX_MEMORY exceeded");
    return nullptr;
  }

  const std::int32_t xPels = header_.biXPelsPerMeter, yPels = header_.biYPelsPerMeter;
  header_ = BitmapInfoHeader{};
  header_.biSize = sizeof(BitmapInfoHeader);
  header_.biWidth = static_cast<std::int32_t>(width);
  header_.biHeight = static_cast<std::int32_t>(height);
  header_.biPlanes = 1;
  header_.biBitCount = static_cast<std::uint16_t>(bpp);
  header_.biCompression = 0;
  header_.biSizeImage = static_cast<std::uint32_t>(imageBytes);
  header_.biXPelsPerMeter = xPels;
  header_.biYPelsPerMeter = yPels;
  header_.biClrUsed = entries;
  header_.biClrImportant = 0;
  rowBytes_ = static_cast<std::uint32_t>(rowBytes);
  info_.format = format;

  block_ = Allocate(static_cast<std::size_t>(blockBytes));
  if (block_ == nullptr) {
    SetLastError("CPicture::Create can't allocate memory");
    return nullptr;
  }
  StoreHeader();
  std::memset(block_.get() + sizeof(header_), 0, 4u * entries);
  pixels_ = block_.get() + sizeof(header_) + 4u * entries;
  return block_.get();
}

std::size_t CPicture::BlockSize() const {
  if (block_ == nullptr) return 0;
  return sizeof(BitmapInfoHeader) + 4u * header_.biClrUsed + header_.biSizeImage;
}

void CPicture::CopyFrom(const CPicture& source, bool copyPixels, bool copySelection,
                        bool copyAlpha) {
  if (&source == this) return;
  const BitmapInfoHeader& header = source.header_;
  const bool reuse = block_ != nullptr && header_.biWidth == header.biWidth &&
                     header_.biHeight == header.biHeight &&
                     header_.biBitCount == header.biBitCount && source.block_ != nullptr;
  if (reuse) {
    // What Create would do, on the block already there: the planes go, the palette starts
    // zeroed, and the header is the new one's.
    selection_.reset();
    alpha_.reset();
    header_ = header;
    std::memset(block_.get() + sizeof(header_), 0, 4u * header_.biClrUsed);
  } else if (!Create(static_cast<std::uint32_t>(header.biWidth),
                     static_cast<std::uint32_t>(header.biHeight), header.biBitCount,
                     source.info_.format)) {
    // Keep the source's description but stay empty, with the reason of the failure.
    info_ = source.info_;
    return;
  }
  info_ = source.info_;
  lastError_ = source.lastError_;
  header_.biXPelsPerMeter = header.biXPelsPerMeter;
  header_.biYPelsPerMeter = header.biYPelsPerMeter;
  header_.biClrImportant = header.biClrImportant;
  StoreHeader();
  if (copyPixels && source.block_ != nullptr) {
    std::memcpy(block_.get() + sizeof(header_), source.block_.get() + sizeof(header_),
                BlockSize() - sizeof(header_));
  } else if (source.block_ != nullptr) {
    SetPalette(source.Palette(), std::min<std::uint32_t>(source.PaletteSize(), 256));
  }
  if (copySelection && source.selection_ != nullptr) selection_ = source.CopyPlane(source.selection_);
  if (copyAlpha && source.alpha_ != nullptr) alpha_ = source.CopyPlane(source.alpha_);
}

void CPicture::TakeOver(CPicture& other) {
  if (&other == this) return;
  header_ = other.header_;
  info_ = other.info_;
  lastError_ = std::move(other.lastError_);
  block_ = std::move(other.block_);
  pixels_ = other.pixels_;
  rowBytes_ = other.rowBytes_;
  selection_ = std::move(other.selection_);
  alpha_ = std::move(other.alpha_);
  other.ResetState(other.info_.format);
}

void CPicture::SetResolution(std::uint32_t xDpi, std::uint32_t yDpi) {
  info_.xDpi = xDpi;
  info_.yDpi = yDpi;
  SetPelsPerMeter(static_cast<std::int32_t>(xDpi / 0.0254 + 0.5),
                  static_cast<std::int32_t>(yDpi / 0.0254 + 0.5));
}

void CPicture::SetPelsPerMeter(std::int32_t x, std::int32_t y) {
  header_.biXPelsPerMeter = x;
  header_.biYPelsPerMeter = y;
  if (block_ != nullptr) StoreHeader();
}

std::uint8_t* CPicture::Row(std::uint32_t y) {
  if (pixels_ == nullptr || y >= Height()) return nullptr;
  return RowAt(y);
}

const std::uint8_t* CPicture::Row(std::uint32_t y) const {
  if (pixels_ == nullptr || y >= Height()) return nullptr;
  return RowAt(y);
}

std::uint8_t* CPicture::Bits() { return pixels_; }

const std::uint8_t* CPicture::Bits() const { return pixels_; }

const std::uint8_t* CPicture::Block() const { return block_.get(); }

bool CPicture::AlphaCreate() {
  if (block_ == nullptr) return false;
  if (alpha_ == nullptr) {
    const std::size_t n = static_cast<std::size_t>(Width()) * Height();
    alpha_ = Allocate(n);
    if (alpha_ == nullptr) return false;
    std::memset(alpha_.get(), 255, n);
  }
  return true;
}

void CPicture::AlphaDelete() { alpha_.reset(); }

bool CPicture::SelectionCreate() {
  if (block_ == nullptr) return false;
  if (selection_ == nullptr) {
    const std::size_t n = static_cast<std::size_t>(Width()) * Height();
    selection_ = Allocate(n);
    if (selection_ != nullptr) std::memset(selection_.get(), 0, n);
  }
  return selection_ != nullptr;
}

void CPicture::SelectionDelete() { selection_.reset(); }

}  // namespace orbiscope
