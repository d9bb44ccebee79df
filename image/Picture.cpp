#include "image/Picture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "image/PaletteSearch.h"

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

CPicture::Plane CPicture::CopyPlane(const Plane& plane) const {
  if (plane == nullptr) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(Width()) * Height();
  Plane copy = Allocate(bytes);
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
  ForgetNearest();
}

void CPicture::SearchDelete::operator()(PaletteSearch* search) const { delete search; }

void CPicture::ForgetNearest() {
  nearestValid_ = false;
  search_.reset();
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
  ForgetNearest();

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
    ForgetNearest();
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
  ForgetNearest();
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

RGBQuad* CPicture::Palette() {
  if (block_ == nullptr || header_.biClrUsed == 0) return nullptr;
  // The caller may change entries through the pointer: the remembered answers go.
  ForgetNearest();
  return reinterpret_cast<RGBQuad*>(block_.get() + sizeof(BitmapInfoHeader));
}

const RGBQuad* CPicture::Palette() const {
  if (block_ == nullptr || header_.biClrUsed == 0) return nullptr;
  return reinterpret_cast<const RGBQuad*>(block_.get() + sizeof(BitmapInfoHeader));
}

RGBQuad CPicture::GetPaletteColor(std::uint32_t index) const {
  const RGBQuad* pal = Palette();
  if (pal == nullptr || index >= header_.biClrUsed) return RGBQuad{};
  return pal[index];
}

void CPicture::SetPaletteColor(std::uint32_t index, RGBQuad color) {
  RGBQuad* pal = Palette();
  if (pal == nullptr || index >= header_.biClrUsed) return;
  pal[index] = color;
}

void CPicture::SetPalette(const RGBQuad* colors, std::uint32_t count) {
  RGBQuad* pal = Palette();
  if (pal == nullptr || colors == nullptr) return;
  std::memcpy(pal, colors, 4u * std::min(count, header_.biClrUsed));
}

void CPicture::SetGreyPalette() {
  RGBQuad* pal = Palette();
  if (pal == nullptr) return;
  const std::uint32_t n = header_.biClrUsed;
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto level = static_cast<std::uint8_t>(n > 1 ? i * 255 / (n - 1) : 0);
    pal[i] = RGBQuad{level, level, level, 0};
  }
}

bool CPicture::IsGreyRamp() const {
  const RGBQuad* pal = Palette();
  if (pal == nullptr) return false;
  for (std::uint32_t i = 0; i < header_.biClrUsed; ++i) {
    if (pal[i].blue != i || pal[i].green != i || pal[i].red != i) return false;
  }
  return true;
}

RGBQuad CPicture::ReadPixel(std::uint32_t x, std::uint32_t y) const {
  RGBQuad c;
  if (header_.biBitCount == 24) {
    const std::uint8_t* p = RowAt(y) + 3u * x;
    c = RGBQuad{p[0], p[1], p[2], info_.transparentColor.alpha};
  } else {
    c = GetPaletteColor(GetPixelIndex(x, y));
  }
  return c;
}

RGBQuad CPicture::GetPixelColor(std::int64_t x, std::int64_t y, bool withAlpha) const {
  const std::int64_t w = Width(), h = Height();
  const bool inside = block_ != nullptr && x >= 0 && y >= 0 && x < w && y < h;
  if (!inside) {
    if (info_.transparentIndex >= 0 && Palette() != nullptr) {
      return GetPaletteColor(static_cast<std::uint32_t>(info_.transparentIndex));
    }
    // The fallback to pixel (0, 0) is taken once; a picture without it answers a fixed
    // colour instead of reading outside the block.
    if (info_.transparentIndex == -1 && block_ != nullptr && w > 0 && h > 0) {
      x = 0;
      y = 0;
    } else {
      return info_.transparentColor;
    }
  }
  RGBQuad c = ReadPixel(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
  if (withAlpha && alpha_ != nullptr) {
    c.alpha = alpha_[static_cast<std::size_t>(y) * Width() + static_cast<std::size_t>(x)];
  }
  return c;
}

std::uint8_t CPicture::GetPixelIndex(std::int64_t x, std::int64_t y) const {
  if (block_ == nullptr || header_.biBitCount > 8 || x < 0 || y < 0 || x >= Width() ||
      y >= Height()) {
    return 0;
  }
  const std::uint8_t* row = RowAt(static_cast<std::uint32_t>(y));
  switch (header_.biBitCount) {
    case 8: return row[x];
    case 4: return static_cast<std::uint8_t>((row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F);
    default: return static_cast<std::uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
  }
}

void CPicture::SetPixelIndex(std::int64_t x, std::int64_t y, std::uint8_t index) {
  if (block_ == nullptr || header_.biBitCount > 8 || x < 0 || y < 0 || x >= Width() ||
      y >= Height()) {
    return;
  }
  std::uint8_t* row = RowAt(static_cast<std::uint32_t>(y));
  switch (header_.biBitCount) {
    case 8: row[x] = index; break;
    case 4: {
      const int shift = (x & 1) ? 0 : 4;
      row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & ~(0x0F << shift)) | ((index & 0x0F) << shift));
      break;
    }
    default: {
      const int shift = 7 - static_cast<int>(x & 7);
      row[x >> 3] = static_cast<std::uint8_t>((row[x >> 3] & ~(1 << shift)) | ((index & 1) << shift));
      break;
    }
  }
}

void CPicture::SetPixelColor(std::int64_t x, std::int64_t y, RGBQuad color, bool withAlpha) {
  if (block_ == nullptr || x < 0 || y < 0 || x >= Width() || y >= Height()) return;
  if (header_.biBitCount <= 8) {
    SetPixelIndex(x, y, GetNearestIndex(color));
  } else {
    std::uint8_t* p = RowAt(static_cast<std::uint32_t>(y)) + 3u * x;
    p[0] = color.blue;
    p[1] = color.green;
    p[2] = color.red;
  }
  if (withAlpha && alpha_ != nullptr) {
    alpha_[static_cast<std::size_t>(y) * Width() + static_cast<std::size_t>(x)] = color.alpha;
  }
}

std::uint8_t CPicture::GetNearestIndex(RGBQuad color) {
  const RGBQuad* pal = std::as_const(*this).Palette();
  if (pal == nullptr) return 0;
  if (nearestValid_ && nearestColor_.blue == color.blue && nearestColor_.green == color.green &&
      nearestColor_.red == color.red) {
    return nearestIndex_;
  }
  if (!search_) {
    const std::uint32_t n = header_.biClrImportant != 0
                                ? std::min(header_.biClrImportant, header_.biClrUsed)
                                : header_.biClrUsed;
    search_.reset(new PaletteSearch(pal, n));
  }
  nearestIndex_ = search_->Nearest(color);
  nearestColor_ = color;
  nearestValid_ = true;
  return nearestIndex_;
}

void CPicture::FlipRows() {
  if (!HasPixels()) return;
  const std::uint32_t h = Height();
  const std::size_t rb = rowBytes_;
  std::vector<std::uint8_t> tmp(rb);
  for (std::uint32_t y = 0; y < h / 2; ++y) {
    std::uint8_t* a = Row(y);
    std::uint8_t* b = Row(h - 1 - y);
    std::memcpy(tmp.data(), a, rb);
    std::memcpy(a, b, rb);
    std::memcpy(b, tmp.data(), rb);
  }
  const std::size_t w = Width();
  for (std::uint8_t* plane : {alpha_.get(), selection_.get()}) {
    if (plane == nullptr) continue;
    for (std::uint32_t y = 0; y < h / 2; ++y) {
      std::swap_ranges(plane + y * w, plane + (y + 1) * w, plane + (h - 1 - y) * w);
    }
  }
}

void CPicture::MirrorColumns() {
  if (!HasPixels()) return;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    if (header_.biBitCount == 24) {
      std::uint8_t* row = Row(y);
      for (std::uint32_t l = 0, r = w ? w - 1 : 0; l < r; ++l, --r) {
        std::swap_ranges(row + 3 * l, row + 3 * l + 3, row + 3 * r);
      }
    } else {
      for (std::uint32_t l = 0, r = w ? w - 1 : 0; l < r; ++l, --r) {
        const std::uint8_t a = GetPixelIndex(l, y), b = GetPixelIndex(r, y);
        SetPixelIndex(l, y, b);
        SetPixelIndex(r, y, a);
      }
    }
  }
  for (std::uint8_t* plane : {alpha_.get(), selection_.get()}) {
    if (plane == nullptr) continue;
    for (std::uint32_t y = 0; y < h; ++y) std::reverse(plane + y * w, plane + (y + 1) * w);
  }
}

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

bool CPicture::FromBgr24(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                         std::size_t stride, bool topDown) {
  if (pixels == nullptr && width != 0 && height != 0) return false;
  if (!Create(width, height, 24, info_.format)) return false;
  CopyRowsIn(pixels, 3u * static_cast<std::size_t>(width), stride, topDown);
  return true;
}

void CPicture::CopyRowsIn(const std::uint8_t* src, std::size_t bytes, std::size_t stride,
                          bool topDown) {
  const std::uint32_t height = Height();
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t from = topDown ? height - 1 - y : y;
    std::memcpy(Row(y), src + from * stride, bytes);
    std::memset(Row(y) + bytes, 0, rowBytes_ - bytes);
  }
}

bool CPicture::ToBgr24(std::uint8_t* pixels, std::size_t stride, bool topDown) const {
  if (block_ == nullptr || (pixels == nullptr && Width() != 0 && Height() != 0)) return false;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* out = pixels + (topDown ? h - 1 - y : y) * stride;
    if (header_.biBitCount == 24) {
      std::memcpy(out, Row(y), 3u * static_cast<std::size_t>(w));
      continue;
    }
    for (std::uint32_t x = 0; x < w; ++x) {
      const RGBQuad c = GetPaletteColor(GetPixelIndex(x, y));
      out[3 * x] = c.blue;
      out[3 * x + 1] = c.green;
      out[3 * x + 2] = c.red;
    }
  }
  return true;
}

bool CPicture::FromMask8(const std::uint8_t* mask, std::uint32_t width, std::uint32_t height,
                         std::size_t stride, bool topDown) {
  if (mask == nullptr && width != 0 && height != 0) return false;
  if (!Create(width, height, 8, info_.format)) return false;
  SetGreyPalette();
  CopyRowsIn(mask, width, stride, topDown);
  return true;
}

bool CPicture::ToMask8(std::uint8_t* mask, std::size_t stride, bool topDown) const {
  if (block_ == nullptr || header_.biBitCount > 8) return false;
  if (mask == nullptr && Width() != 0 && Height() != 0) return false;
  const std::uint32_t w = Width(), h = Height();
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* out = mask + (topDown ? h - 1 - y : y) * stride;
    if (header_.biBitCount == 8) {
      std::memcpy(out, Row(y), w);
    } else {
      for (std::uint32_t x = 0; x < w; ++x) out[x] = GetPixelIndex(x, y);
    }
  }
  return true;
}

}  // namespace orbiscope
