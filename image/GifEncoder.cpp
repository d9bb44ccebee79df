#include "image/GifEncoder.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "image/CodecSupport.h"
#include "image/GifCoders.h"

namespace orbiscope {

namespace {

// A 24-bit picture goes out as tiles this size: 255 pixels, so a tile never holds more
// colours than a 256-entry table with one spare.
constexpr std::uint32_t kTileWidth = 17;
constexpr std::uint32_t kTileHeight = 15;

class ByteWriter {
public:
  explicit ByteWriter(ImageStream* s) : s_(s) {}
  void Byte(std::uint32_t b) {
    if (!s_->PutByte(static_cast<std::uint8_t>(b))) ok_ = false;
  }
  void Word(std::uint32_t v) {
    std::uint8_t b[2];
    WriteLe16(b, v);
    Bytes(b, 2);
  }
  void Bytes(const void* data, std::size_t n) {
    if (n != 0 && s_->WriteItems(data, 1, n) != n) ok_ = false;
  }
  bool Ok() const { return ok_; }

private:
  ImageStream* s_;
  bool ok_ = true;
};

void WriteColorTable(ByteWriter& out, const RGBQuad* colors, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t rgb[3] = {colors[i].red, colors[i].green, colors[i].blue};
    out.Bytes(rgb, 3);
  }
}

void WriteControlExtension(ByteWriter& out, const PictureInfo& info, int disposal) {
  out.Byte(0x21);
  out.Byte(0xF9);
  out.Byte(0x04);
  out.Byte(static_cast<std::uint32_t>(((disposal << 2) & 0x1F) | (info.transparentIndex != -1 ? 1 : 0)));
  out.Word(info.frameDelay);
  out.Byte(static_cast<std::uint32_t>(info.transparentIndex) & 0xFF);
  out.Byte(0x00);
}

void WriteDescriptor(ByteWriter& out, std::uint32_t left, std::uint32_t top, std::uint32_t w,
                     std::uint32_t h, std::uint32_t packed) {
  out.Byte(0x2C);
  out.Word(left);
  out.Word(top);
  out.Word(w);
  out.Word(h);
  out.Byte(packed);
}

// Feeds `count` indices from `next` through the coder the codec option selects.
template <typename Next>
bool WriteImageData(ImageStream* stream, int minCodeSize, int codecOption, std::size_t count,
                    Next next) {
  const int initialWidth = minCodeSize + 1;
  const int blockLimit = codecOption == kGifCodecUncompressed || codecOption == kGifCodecLzw ? 254 : 255;
  GifBlockWriter blocks(stream, blockLimit);
  std::unique_ptr<GifCoder> coder;
  if (codecOption == kGifCodecUncompressed) {
    coder = std::make_unique<GifUncompressedCoder>(blocks);
  } else if (codecOption == kGifCodecLzw) {
    coder = std::make_unique<GifLzwCoder>(blocks);
  } else {
    coder = std::make_unique<GifRunLengthCoder>(blocks);
  }
  coder->Start(initialWidth);
  for (std::size_t i = 0; i < count; ++i) coder->Pixel(next());
  coder->End();
  return !blocks.Failed();
}

bool WritePalettePicture(const CPicture& pic, const PictureInfo& info, ImageStream* stream,
                         ByteWriter& out) {
  const std::uint32_t w = pic.Width(), h = pic.Height(), bpp = pic.Bpp();
  WriteDescriptor(out, static_cast<std::uint32_t>(info.xOffset), static_cast<std::uint32_t>(info.yOffset),
                  w, h, 0);
  const int minCodeSize = std::max<int>(2, static_cast<int>(bpp));
  out.Byte(static_cast<std::uint32_t>(minCodeSize));
  std::uint32_t x = 0, y = h ? h - 1 : 0;
  const bool ok = WriteImageData(stream, minCodeSize, info.codecOption,
                                 static_cast<std::size_t>(w) * h, [&] {
    const int index = pic.GetPixelIndex(x, y);
    if (++x == w) {
      x = 0;
      --y;
    }
    return index;
  });
  return ok;
}

bool WriteMosaic(const CPicture& pic, const PictureInfo& info, ImageStream* stream, ByteWriter& out,
                 int disposal) {
  const std::uint32_t w = pic.Width(), h = pic.Height();
  // Top-down tile rows, left to right: a decoder that shows images as they come paints
  // the picture from the top.
  for (std::uint32_t top = 0; top < h; top += kTileHeight) {
    for (std::uint32_t left = 0; left < w; left += kTileWidth) {
      const std::uint32_t tw = std::min(kTileWidth, w - left), th = std::min(kTileHeight, h - top);
      std::vector<RGBQuad> table;
      std::map<std::uint32_t, std::uint8_t> indexOf;
      std::vector<std::uint8_t> indices;
      indices.reserve(static_cast<std::size_t>(tw) * th);
      for (std::uint32_t ty = 0; ty < th; ++ty) {
        const std::uint32_t y = h - 1 - (top + ty);
        for (std::uint32_t tx = 0; tx < tw; ++tx) {
          const RGBQuad c = pic.GetPixelColor(left + tx, y, false);
          const std::uint32_t key = c.blue | (c.green << 8) | (c.red << 16);
          auto [it, added] = indexOf.emplace(key, static_cast<std::uint8_t>(table.size()));
          if (added) table.push_back(RGBQuad{c.blue, c.green, c.red, 0});
          indices.push_back(it->second);
        }
      }
      int bits = 1;
      while ((1u << bits) < table.size()) ++bits;
      table.resize(1u << bits);
      WriteControlExtension(out, info, disposal);
      WriteDescriptor(out, left, top, tw, th, 0x80 | static_cast<std::uint32_t>(bits - 1));
      WriteColorTable(out, table.data(), static_cast<std::uint32_t>(table.size()));
      const int minCodeSize = std::max(2, bits);
      out.Byte(static_cast<std::uint32_t>(minCodeSize));
      std::size_t i = 0;
      if (!WriteImageData(stream, minCodeSize, info.codecOption, indices.size(),
                          [&] { return static_cast<int>(indices[i++]); })) {
        return false;
      }
      out.Byte(0x00);
    }
  }
  return true;
}

}  // namespace

PictureResult EncodeGif(const CPicture& pic, const PictureInfo& info, ImageStream* stream) {
  return EncodeGif(pic, info, stream, "", 0);
}

PictureResult EncodeGif(const CPicture& pic, const PictureInfo& info, ImageStream* stream,
                        const std::string& comment, int disposal) {
  if (PictureResult checked = CheckWriterInput(pic, stream); !checked) return checked;
  ByteWriter out(stream);
  const std::uint32_t bpp = pic.Bpp();
  const bool hasPalette = bpp <= 8;
  out.Bytes("GIF89a", 6);
  out.Word(pic.Width());
  out.Word(pic.Height());
  out.Byte(hasPalette ? ((0x80 | ((bpp - 1) << 5) | (bpp - 1)) & 0xFF) : 0x11);
  out.Byte(0);  // background colour index
  out.Byte(0);  // pixel aspect ratio
  if (hasPalette) WriteColorTable(out, pic.Palette(), pic.PaletteSize());

  bool ok;
  if (hasPalette) {
    WriteControlExtension(out, info, disposal);
    if (!comment.empty()) {
      const std::size_t n = std::min<std::size_t>(comment.size(), 255);
      out.Byte(0x21);
      out.Byte(0xFE);
      out.Byte(static_cast<std::uint32_t>(n));
      out.Bytes(comment.data(), n);
      out.Byte(0x00);
    }
    ok = WritePalettePicture(pic, info, stream, out);
    out.Byte(0x00);
  } else {
    ok = WriteMosaic(pic, info, stream, out, disposal);
  }
  out.Byte(';');
  if (!ok || !out.Ok()) return PictureResult::Failure("Write Error in GIF file");
  return PictureResult::Success();
}

}  // namespace orbiscope
