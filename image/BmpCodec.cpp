#include "image/BmpCodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/CodecSupport.h"

namespace orbiscope {

namespace {

constexpr std::uint16_t kBmpType = 0x4D42;  // "BM"
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3;

struct DibHeader {
  std::uint32_t size = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t bitCount = 0;
  std::uint32_t compression = 0;
  std::int32_t xPels = 0;
  std::int32_t yPels = 0;
  std::uint32_t clrUsed = 0;
  std::uint32_t masks[3] = {0, 0, 0};
  bool hasMasks = false;
};

bool ReadExact(ImageStream* s, void* buffer, std::size_t bytes) {
  return bytes == 0 || s->ReadItems(buffer, 1, bytes) == bytes;
}

bool ReadDibHeader(ImageStream* s, DibHeader& h) {
  std::uint8_t b[124] = {};
  if (!ReadExact(s, b, 4)) return false;
  h.size = ReadLe32(b);
  if (h.size == kCoreHeaderSize) {
    if (!ReadExact(s, b + 4, 8)) return false;
    h.width = ReadLe16(b + 4);
    h.height = static_cast<std::int16_t>(ReadLe16(b + 6));
    h.bitCount = ReadLe16(b + 10);
    return true;
  }
  if (h.size < kInfoHeaderSize || h.size > sizeof(b)) return false;
  if (!ReadExact(s, b + 4, h.size - 4)) return false;
  h.width = static_cast<std::int32_t>(ReadLe32(b + 4));
  h.height = static_cast<std::int32_t>(ReadLe32(b + 8));
  h.bitCount = ReadLe16(b + 14);
  h.compression = ReadLe32(b + 16);
  h.xPels = static_cast<std::int32_t>(ReadLe32(b + 24));
  h.yPels = static_cast<std::int32_t>(ReadLe32(b + 28));
  h.clrUsed = ReadLe32(b + 32);
  if (h.compression == kBitFields) {
    // Later header versions carry the masks inside; the 40-byte one is followed by them.
    if (h.size == kInfoHeaderSize && !ReadExact(s, b + 40, 12)) return false;
    for (int i = 0; i < 3; ++i) h.masks[i] = ReadLe32(b + 40 + 4 * i);
    h.hasMasks = true;
  }
  return true;
}

// Dots per inch of a resolution in pels per metre, rounded to nearest.
std::uint32_t DpiOf(std::int32_t pels) {
  return static_cast<std::uint32_t>(static_cast<double>(pels) * 0.0254 + 0.5);
}

// One colour component from a bit-field value, widened to 8 bits.
std::uint8_t Component(std::uint32_t value, std::uint32_t mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  std::uint32_t bits = 0;
  while (shift + bits < 32 && ((mask >> (shift + bits)) & 1)) ++bits;
  const std::uint32_t v = (value & mask) >> shift;
  if (bits >= 8) return static_cast<std::uint8_t>(v >> (bits - 8));
  const std::uint32_t max = (1u << bits) - 1;
  return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
}

// Run-length decoding of 8- or 4-bit pixels, rows bottom-up; never writes outside.
void DecodeRle(CPicture& pic, ImageStream* s, bool fourBits) {
  const std::uint32_t w = pic.Width(), h = pic.Height();
  std::uint32_t x = 0, y = 0;
  auto put = [&](std::uint8_t index) {
    if (x < w && y < h) pic.SetPixelIndex(x, y, index);
    ++x;
  };
  while (y < h) {
    const int count = s->GetByte();
    const int value = s->GetByte();
    if (count < 0 || value < 0) return;
    if (count > 0) {
      for (int i = 0; i < count; ++i) {
        put(static_cast<std::uint8_t>(fourBits ? ((i & 1) ? value & 0x0F : value >> 4) : value));
      }
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of picture
      return;
    } else if (value == 2) {  // delta
      const int dx = s->GetByte(), dy = s->GetByte();
      if (dx < 0 || dy < 0) return;
      x += static_cast<std::uint32_t>(dx);
      y += static_cast<std::uint32_t>(dy);
    } else {  // absolute run, padded to a 16-bit boundary
      const int bytes = fourBits ? (value + 1) / 2 : value;
      int pixel = 0;
      for (int i = 0; i < bytes; ++i) {
        const int b = s->GetByte();
        if (b < 0) return;
        if (fourBits) {
          if (pixel++ < value) put(static_cast<std::uint8_t>(b >> 4));
          if (pixel++ < value) put(static_cast<std::uint8_t>(b & 0x0F));
        } else {
          put(static_cast<std::uint8_t>(b));
        }
      }
      if (bytes & 1) s->GetByte();
    }
  }
}

bool Fail(CPicture& pic, const char* text) {
  pic.SetLastError(text);
  return false;
}

}  // namespace

bool DecodeBmp(CPicture& pic, ImageStream* s) {
  if (s == nullptr) return Fail(pic, "null file handler");
  const std::int64_t start = s->Position();
  std::uint8_t file[14];
  if (!ReadExact(s, file, sizeof(file))) return Fail(pic, "Not a BMP");
  std::uint32_t offset = ReadLe32(file + 10);
  if (ReadLe16(file) != kBmpType) {
    offset = 0;
    s->SeekTo(start, 0);
  }
  DibHeader h;
  if (!ReadDibHeader(s, h)) return Fail(pic, "Error reading BMP info");
  const bool topDown = h.height < 0;
  if (topDown) h.height = -h.height;
  const std::uint32_t bpp = h.bitCount;
  if (h.width <= 0 || h.height <= 0 ||
      !(bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32)) {
    return Fail(pic, "Error reading BMP info");
  }
  if (pic.Create(static_cast<std::uint32_t>(std::min<std::int64_t>(h.width, 0x7FFFFFFF)),
                 static_cast<std::uint32_t>(std::min<std::int64_t>(h.height, 0x7FFFFFFF)), bpp,
                 kFormatBmp) == nullptr) {
    return Fail(pic, "Can't allocate memory");
  }
  // A resolution of 0 means "not given" (in-memory frames carry none): keep 96 dpi rather
  // than turning it into 0 dpi, which JPEG and PNG files may not carry.
  if (h.xPels > 0) pic.Info().xDpi = DpiOf(h.xPels);
  if (h.yPels > 0) pic.Info().yDpi = DpiOf(h.yPels);
  pic.SetPelsPerMeter(h.xPels > 0 ? h.xPels : pic.Header().biXPelsPerMeter,
                      h.yPels > 0 ? h.yPels : pic.Header().biYPelsPerMeter);
  if (pic.Info().escape) return Fail(pic, "Cancelled");

  if (bpp <= 8) {
    const std::uint32_t max = 1u << bpp;
    const std::uint32_t entries = h.clrUsed != 0 && h.clrUsed < max ? h.clrUsed : max;
    const std::uint32_t entrySize = h.size == kCoreHeaderSize ? 3 : 4;
    std::vector<std::uint8_t> raw(entries * entrySize);
    const std::size_t got = raw.empty() ? 0 : s->ReadItems(raw.data(), 1, raw.size());
    RGBQuad* pal = pic.Palette();
    for (std::uint32_t i = 0; i < entries && (i + 1) * entrySize <= got; ++i) {
      pal[i] = RGBQuad{raw[i * entrySize], raw[i * entrySize + 1], raw[i * entrySize + 2], 0};
    }
    if (pic.Info().escape) return Fail(pic, "Cancelled");
  }

  if (offset != 0) s->SeekTo(start + offset, 0);
  const std::uint32_t w = pic.Width(), ht = pic.Height();
  const std::size_t imageBytes = static_cast<std::size_t>(pic.RowBytes()) * ht;
  std::uint8_t* bits = pic.Bits();
  switch (bpp) {
    case 24:
    case 1:
    case 4:
    case 8: {
      if (bpp == 24 && h.compression != kRgb) return Fail(pic, "unknown compression");
      if (h.compression == kRgb) {
        const std::size_t got = imageBytes ? s->ReadItems(bits, 1, imageBytes) : 0;
        // A short file leaves the rest black rather than whatever the memory held.
        std::memset(bits + got, 0, imageBytes - got);
      } else if ((h.compression == kRle8 && bpp == 8) || (h.compression == kRle4 && bpp == 4)) {
        std::memset(bits, 0, imageBytes);
        DecodeRle(pic, s, bpp == 4);
      } else {
        return Fail(pic, "compression type not supported");
      }
      break;
    }
    case 16:
    case 32: {
      if (h.compression != kRgb && h.compression != kBitFields) {
        return Fail(pic, "unknown compression");
      }
      std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
      if (bpp == 32) {
        masks[0] = 0x00FF0000;
        masks[1] = 0x0000FF00;
        masks[2] = 0x000000FF;
      }
      if (h.hasMasks) std::copy(h.masks, h.masks + 3, masks);
      const std::uint32_t bytesPer = bpp / 8;
      const std::size_t inRow = (static_cast<std::size_t>(w) * bpp + 31) / 32 * 4;
      std::vector<std::uint8_t> row(inRow);
      for (std::uint32_t y = 0; y < ht; ++y) {
        const std::size_t got = s->ReadItems(row.data(), 1, inRow);
        std::memset(row.data() + got, 0, inRow - got);
        std::uint8_t* out = pic.Row(y);
        for (std::uint32_t x = 0; x < w; ++x) {
          const std::uint8_t* p = row.data() + x * bytesPer;
          const std::uint32_t v = bpp == 16 ? ReadLe16(p) : ReadLe32(p);
          out[3 * x] = Component(v, masks[2]);
          out[3 * x + 1] = Component(v, masks[1]);
          out[3 * x + 2] = Component(v, masks[0]);
        }
        std::memset(out + 3 * static_cast<std::size_t>(w), 0, pic.RowBytes() - 3 * static_cast<std::size_t>(w));
      }
      break;
    }
  }
  if (topDown) pic.FlipRows();
  return true;
}

PictureResult EncodeBmp(const CPicture& pic, const PictureInfo&, ImageStream* s) {
  if (PictureResult checked = CheckWriterInput(pic, s); !checked) return checked;
  const BitmapInfoHeader& h = pic.Header();
  const std::uint32_t paletteBytes = 4u * pic.PaletteSize();
  const std::uint32_t offBits = 14 + kInfoHeaderSize + paletteBytes;
  std::uint8_t head[14 + kInfoHeaderSize] = {};
  WriteLe16(head, kBmpType);
  WriteLe32(head + 2, offBits + h.biSizeImage);
  WriteLe32(head + 10, offBits);
  std::uint8_t* info = head + 14;
  WriteLe32(info, kInfoHeaderSize);
  WriteLe32(info + 4, static_cast<std::uint32_t>(h.biWidth));
  WriteLe32(info + 8, static_cast<std::uint32_t>(h.biHeight));
  WriteLe16(info + 12, 1);
  WriteLe16(info + 14, h.biBitCount);
  WriteLe32(info + 16, kRgb);
  WriteLe32(info + 20, h.biSizeImage);
  WriteLe32(info + 24, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  WriteLe32(info + 28, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  WriteLe32(info + 32, pic.PaletteSize());
  WriteLe32(info + 36, h.biClrImportant);
  bool ok = s->WriteItems(head, 1, sizeof(head)) == sizeof(head);
  if (ok && paletteBytes) ok = s->WriteItems(pic.Palette(), 1, paletteBytes) == paletteBytes;
  if (ok && h.biSizeImage) ok = s->WriteItems(pic.Bits(), 1, h.biSizeImage) == h.biSizeImage;
  if (!ok) return PictureResult::Failure("Write Error in BMP file");
  return PictureResult::Success();
}

}  // namespace orbiscope
