#include "image/PngCodec.h"

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include <png.h>
#include <zlib.h>

#include "image/CodecSupport.h"

namespace orbiscope {

namespace {

void WriteData(png_structp png, png_bytep data, png_size_t length) {
  auto* stream = static_cast<ImageStream*>(png_get_io_ptr(png));
  if (stream->WriteItems(data, 1, length) != length) png_error(png, "Write Error");
}

void FlushData(png_structp png) {
  auto* stream = static_cast<ImageStream*>(png_get_io_ptr(png));
  if (!stream->FlushOut()) png_error(png, "Flush Error");
}

void ReadData(png_structp png, png_bytep data, png_size_t length) {
  auto* stream = static_cast<ImageStream*>(png_get_io_ptr(png));
  if (stream->ReadItems(data, 1, length) != length) png_error(png, "Read Error");
}

// Everything the writer decides before libpng runs, so the function holding the jump
// target keeps only trivially destructible locals.
struct PngPlan {
  int colorType = PNG_COLOR_TYPE_RGB;
  int bitDepth = 8;
  png_color_16 background{};
  std::vector<png_color> palette;
  std::vector<png_byte> trans;
  std::uint8_t remap[256] = {};  // stored index -> written index (transparent entry first)
  bool remapIdentity = true;
  bool withAlpha = false;
  const std::uint8_t* alpha = nullptr;  // per pixel, from the picture or made here
  std::vector<std::uint8_t> madeAlpha;
  std::vector<png_byte> row;            // one output row when rows must be rebuilt
};

// Writes stored row `y` (0 = bottom) in the file's layout.
png_const_bytep BuildRow(const CPicture& pic, const PictureInfo& pi, PngPlan& plan,
                         std::uint32_t y) {
  const std::uint32_t w = pic.Width();
  if (plan.withAlpha) {
    png_byte* out = plan.row.data();
    const std::uint8_t* a = plan.alpha + static_cast<std::size_t>(y) * w;
    const std::uint32_t alphaMax = pi.alphaMax;
    for (std::uint32_t x = 0; x < w; ++x) {
      const RGBQuad c = pic.GetPixelColor(x, y, false);
      out[4 * x] = c.red;
      out[4 * x + 1] = c.green;
      out[4 * x + 2] = c.blue;
      out[4 * x + 3] = static_cast<png_byte>(a[x] * alphaMax / 255);
    }
    return out;
  }
  const std::uint8_t* stored = pic.Row(y);
  if (plan.remapIdentity) return stored;  // RGB rows go through png_set_bgr unchanged
  png_byte* out = plan.row.data();
  std::memcpy(out, stored, pic.RowBytes());
  if (pic.Bpp() == 8) {
    for (std::uint32_t x = 0; x < w; ++x) out[x] = plan.remap[out[x]];
  } else {
    const std::uint32_t bpp = pic.Bpp();
    const std::uint32_t mask = (1u << bpp) - 1;
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint32_t bit = x * bpp;
      const int shift = static_cast<int>(8 - bpp - (bit & 7));
      const std::uint32_t index = (out[bit >> 3] >> shift) & mask;
      out[bit >> 3] = static_cast<png_byte>((out[bit >> 3] & ~(mask << shift)) |
                                            ((plan.remap[index] & mask) << shift));
    }
  }
  return out;
}

bool WritePng(const CPicture& pic, const PictureInfo& pi, png_structp png, png_infop info,
              ImageStream* stream, PngPlan* plan) {
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, stream, WriteData, FlushData);
  png_set_IHDR(png, info, pic.Width(), pic.Height(), plan->bitDepth, plan->colorType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_bKGD(png, info, &plan->background);
  png_set_pHYs(png, info, static_cast<png_uint_32>(pic.Header().biXPelsPerMeter),
               static_cast<png_uint_32>(pic.Header().biYPelsPerMeter), PNG_RESOLUTION_METER);
  if (plan->colorType == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, plan->palette.data(), static_cast<int>(plan->palette.size()));
    if (!plan->trans.empty()) {
      png_set_tRNS(png, info, plan->trans.data(), static_cast<int>(plan->trans.size()), nullptr);
    }
  }
  png_write_info(png, info);
  if (plan->colorType == PNG_COLOR_TYPE_RGB) png_set_bgr(png);
  for (std::uint32_t i = 0, h = pic.Height(); i < h; ++i) {
    png_write_row(png, BuildRow(pic, pi, *plan, h - 1 - i));
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool ReadPng(CPicture& pic, png_structp png, png_infop info, ImageStream* stream,
             std::vector<png_bytep>* rows, std::vector<std::uint8_t>* scratch) {
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    if (pic.LastError()[0] == '\0') pic.SetLastError("Error reading PNG file");
    return false;
  }
  png_set_read_fn(png, stream, ReadData);
  png_read_info(png, info);
  int colorType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  png_set_strip_16(png);
  bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
  bool grey = colorType == PNG_COLOR_TYPE_GRAY && !png_get_valid(png, info, PNG_INFO_tRNS);
  bool alpha = false;
  if (palette || grey) {
    if (bitDepth < 8) png_set_packing(png);
    if (grey && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  } else {
    png_set_expand(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
      png_set_gray_to_rgb(png);
    }
    alpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    png_set_bgr(png);
  }
  png_read_update_info(png, info);
  const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (pic.Create(w, h, palette || grey ? 8 : 24, kFormatPng) == nullptr) {
    png_error(png, "Can't allocate memory");
  }
  if (grey) pic.SetGreyPalette();
  if (palette) {
    png_colorp entries = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &entries, &count);
    for (int i = 0; i < count && i < 256; ++i) {
      pic.SetPaletteColor(static_cast<std::uint32_t>(i),
                          RGBQuad{entries[i].blue, entries[i].green, entries[i].red, 0});
    }
    png_bytep trans = nullptr;
    int transCount = 0;
    if (png_get_tRNS(png, info, &trans, &transCount, nullptr) == PNG_INFO_tRNS) {
      for (int i = 0; i < transCount && i < count; ++i) {
        if (trans[i] == 0) {
          pic.Info().transparentIndex = i;
          break;
        }
      }
    }
  }
  png_uint_32 xPels = 0, yPels = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &xPels, &yPels, &unit) && unit == PNG_RESOLUTION_METER && xPels &&
      yPels) {
    pic.SetPelsPerMeter(static_cast<std::int32_t>(xPels), static_cast<std::int32_t>(yPels));
    pic.Info().xDpi = static_cast<std::uint32_t>(xPels * 0.0254 + 0.5);
    pic.Info().yDpi = static_cast<std::uint32_t>(yPels * 0.0254 + 0.5);
  }
  const std::size_t inRow = png_get_rowbytes(png, info);
  std::uint8_t* rgba = nullptr;
  if (alpha) {
    if (!pic.AlphaCreate()) png_error(png, "Can't allocate memory");
    scratch->resize(inRow * h);
    rgba = scratch->data();
  }
  for (png_uint_32 y = 0; y < h; ++y) {
    (*rows)[y] = alpha ? rgba + inRow * y : pic.Row(h - 1 - y);
  }
  png_read_image(png, rows->data());
  png_read_end(png, nullptr);
  if (alpha) {
    for (png_uint_32 y = 0; y < h; ++y) {
      const std::uint8_t* in = rgba + inRow * y;
      std::uint8_t* out = pic.Row(h - 1 - y);
      std::uint8_t* a = pic.AlphaPlane() + static_cast<std::size_t>(h - 1 - y) * w;
      for (png_uint_32 x = 0; x < w; ++x) {
        out[3 * x] = in[4 * x];
        out[3 * x + 1] = in[4 * x + 1];
        out[3 * x + 2] = in[4 * x + 2];
        a[x] = in[4 * x + 3];
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace

PictureResult EncodePng(const CPicture& pic, const PictureInfo& pi, ImageStream* stream) {
  if (PictureResult checked = CheckWriterInput(pic, stream); !checked) return checked;
  PngPlan plan;
  const bool hasPalette = pic.Bpp() <= 8;
  const std::int32_t transparent =
      hasPalette && pi.transparentIndex >= static_cast<std::int32_t>(pic.PaletteSize())
          ? -1  // an index outside the palette names no entry
          : pi.transparentIndex;
  plan.background.index = 0;
  plan.background.gray = 0;
  if (transparent != -1) {
    plan.background.red = pi.transparentColor.red;
    plan.background.green = pi.transparentColor.green;
    plan.background.blue = pi.transparentColor.blue;
  } else {
    plan.background.red = plan.background.green = plan.background.blue = 255;
  }
  const std::uint32_t w = pic.Width(), h = pic.Height();
  for (int i = 0; i < 256; ++i) plan.remap[i] = static_cast<std::uint8_t>(i);

  if (hasPalette) {
    plan.colorType = PNG_COLOR_TYPE_PALETTE;
    plan.bitDepth = static_cast<int>(pic.Bpp());
    std::vector<RGBQuad> entries(pic.Palette(), pic.Palette() + pic.PaletteSize());
    if (transparent > 0) {
      // The transparent colour becomes entry 0 in the file; the picture keeps its order.
      std::swap(entries[0], entries[static_cast<std::size_t>(transparent)]);
      plan.remap[0] = static_cast<std::uint8_t>(transparent);
      plan.remap[transparent] = 0;
      plan.remapIdentity = false;
    }
    std::size_t count = entries.size();
    if (count > 2 && static_cast<std::uint64_t>(w) * h < 65536) {
      std::uint32_t highest = 0;
      for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
          highest = std::max<std::uint32_t>(highest, plan.remap[pic.GetPixelIndex(x, y)]);
        }
      }
      count = highest + 1;
    }
    for (std::size_t i = 0; i < count; ++i) {
      plan.palette.push_back(png_color{entries[i].red, entries[i].green, entries[i].blue});
    }
    if (pi.alphaPaletteEnabled) {
      for (std::size_t i = 0; i < count; ++i) plan.trans.push_back(entries[i].alpha);
    } else if (transparent != -1) {
      plan.trans.push_back(0);
    }
  }
  if (!hasPalette && transparent >= 0) {
    // A transparent colour on a 24-bit picture becomes an alpha channel for this file only.
    const std::size_t n = static_cast<std::size_t>(w) * h;
    plan.madeAlpha.assign(pic.AlphaPlane() ? pic.AlphaPlane() : nullptr,
                          pic.AlphaPlane() ? pic.AlphaPlane() + n : nullptr);
    if (plan.madeAlpha.empty()) plan.madeAlpha.assign(n, 255);
    const RGBQuad tc = pi.transparentColor;
    for (std::uint32_t y = 0; y < h; ++y) {
      const std::uint8_t* p = pic.Row(y);
      for (std::uint32_t x = 0; x < w; ++x, p += 3) {
        if (p[0] == tc.blue && p[1] == tc.green && p[2] == tc.red) {
          plan.madeAlpha[static_cast<std::size_t>(y) * w + x] = 0;
        }
      }
    }
    plan.alpha = plan.madeAlpha.data();
  } else if (pic.HasAlpha()) {
    plan.alpha = pic.AlphaPlane();
  }
  if (plan.alpha != nullptr) {
    plan.withAlpha = true;
    plan.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    plan.bitDepth = 8;
    plan.row.resize(4 * static_cast<std::size_t>(w) + 1);
  } else if (!plan.remapIdentity) {
    plan.row.resize(pic.RowBytes() + 1);
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return PictureResult::Failure("Failed to create PNG structure");
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return PictureResult::Failure("Failed to initialize PNG info structure");
  }
  // Camera pictures are made for every request, so speed comes before the last bytes:
  // zlib's fastest level and one cheap row filter (none for palette indices, where
  // filtering does not pay) encode a camera frame four to seven times faster than the
  // library's defaults, for a file about 10% larger.
  png_set_compression_level(png, Z_BEST_SPEED);
  png_set_filter(png, PNG_FILTER_TYPE_BASE,
                 plan.colorType == PNG_COLOR_TYPE_PALETTE ? PNG_FILTER_NONE : PNG_FILTER_SUB);
  if (!WritePng(pic, pi, png, info, stream, &plan)) return PictureResult::Failure("Error saving PNG file");
  return PictureResult::Success();
}

bool DecodePng(CPicture& pic, ImageStream* stream) {
  if (stream == nullptr) {
    pic.SetLastError("null file handler");
    return false;
  }
  std::uint8_t signature[8];
  if (stream->ReadItems(signature, 1, 8) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
    pic.SetLastError("Not a PNG");
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) {
    pic.SetLastError("Failed to create PNG structure");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    pic.SetLastError("Failed to initialize PNG info structure");
    return false;
  }
  png_set_sig_bytes(png, 8);
  // Refuse sizes Create would refuse before libpng allocates anything for them.
  png_set_user_limits(png, CPicture::kMaxSide, CPicture::kMaxSide);
  std::vector<png_bytep> rows(CPicture::kMaxSide);
  std::vector<std::uint8_t> scratch;
  return ReadPng(pic, png, info, stream, &rows, &scratch);
}

}  // namespace orbiscope
