#include "capture/TextMask.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace orbiscope {
namespace {

// The face name is cut like the stored font's 32-character field.
constexpr std::size_t kMaxFaceChars = 31;
// The pixel height used when the stored height is 0 (the font mapper's default size).
constexpr int kDefaultPixelHeight = 16;

// Code points of UTF-8 text; a malformed sequence becomes U+FFFD and decoding goes on.
std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i++]);
    int extra = 0;
    char32_t cp = lead;
    if (lead >= 0xF0 && lead < 0xF8) {
      extra = 3;
      cp = lead & 0x07;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0x80) {
      out.push_back(0xFFFD);  // a stray continuation byte or an invalid lead
      continue;
    }
    for (int k = 0; k < extra; ++k) {
      if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        cp = 0xFFFD;
        break;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    }
    out.push_back(cp);
  }
  return out;
}

struct CachedMask {
  std::string text;
  TextFont font;
  TextMaskImage mask;
  bool valid = false;
  unsigned long used = 0;  // when it was last asked for
};

}  // namespace

struct TextMaskRenderer::Impl {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  TextFont faceFont;       // the font face was opened for
  bool faceValid = false;
  std::string faceFile;
  bool syntheticBold = false;
  bool syntheticItalic = false;
  int ascent = 0;          // pixels above the baseline
  int lineHeight = 0;      // pixels of one line
  // Two masks: the caption and the time text alternate each frame.
  std::array<CachedMask, 2> cache;
  unsigned long clock = 0;

  Impl() {
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
  }
  ~Impl() {
    if (face != nullptr) FT_Done_Face(face);
    if (library != nullptr) FT_Done_FreeType(library);
  }

  // Asks fontconfig for the best match of the face name, weight and slant.
  std::string Match(const TextFont& font, int& matchedWeight, int& matchedSlant) {
    matchedWeight = FC_WEIGHT_REGULAR;
    matchedSlant = FC_SLANT_ROMAN;
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return {};
    std::string face = font.face.substr(0, std::min(font.face.size(), kMaxFaceChars));
    if (!face.empty())
      FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    const int weight = font.weight <= 0 ? 400 : std::clamp(font.weight, 1, 1000);
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, font.italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    std::string file;
    if (match != nullptr) {
      FcChar8* path = nullptr;
      if (FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path != nullptr)
        file = reinterpret_cast<const char*>(path);
      FcPatternGetInteger(match, FC_WEIGHT, 0, &matchedWeight);
      FcPatternGetInteger(match, FC_SLANT, 0, &matchedSlant);
      FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return file;
  }

  bool Prepare(const TextFont& font) {
    if (faceValid && faceFont == font) return face != nullptr;
    if (face != nullptr) FT_Done_Face(face);
    face = nullptr;
    faceValid = true;
    faceFont = font;
    if (library == nullptr) return false;
    int weight = 0, slant = 0;
    faceFile = Match(font, weight, slant);
    if (faceFile.empty() || FT_New_Face(library, faceFile.c_str(), 0, &face) != 0) {
      face = nullptr;
      return false;
    }
    // What the matched file lacks is synthesised, as the system font mapper would.
    syntheticBold = font.weight >= 600 && weight < FC_WEIGHT_DEMIBOLD;
    syntheticItalic = font.italic && slant == FC_SLANT_ROMAN;

    int pixels = kDefaultPixelHeight;
    if (font.height < 0) {
      pixels = -font.height;
    } else if (font.height > 0 && face->units_per_EM > 0 && face->ascender - face->descender > 0) {
      // A positive height is the whole cell: scale the em so ascent plus descent fit it.
      pixels = std::max(1, static_cast<int>(std::lround(static_cast<double>(font.height) *
                                                        face->units_per_EM /
                                                        (face->ascender - face->descender))));
    }
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(std::min(pixels, 2048))) != 0) {
      FT_Done_Face(face);
      face = nullptr;
      return false;
    }
    ascent = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    const int descent = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
    lineHeight = std::max(1, ascent + descent);
    if (font.height > 0) lineHeight = font.height;
    return true;
  }

  bool LoadGlyph(char32_t cp) {
    if (FT_Load_Char(face, cp, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) != 0) return false;
    if (syntheticItalic) FT_GlyphSlot_Oblique(face->glyph);
    if (syntheticBold) FT_GlyphSlot_Embolden(face->glyph);
    return FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0;
  }

  void Draw(const std::u32string& text, const TextFont& font, TextMaskImage& mask) {
    mask = TextMaskImage{};
    if (text.empty() || !Prepare(font)) return;
    // Measure: the advances make the width, the line the height.
    long advance = 0;
    for (char32_t cp : text) {
      if (LoadGlyph(cp)) advance += face->glyph->advance.x;
    }
    const int w = static_cast<int>((advance + 63) >> 6);
    const int h = lineHeight;
    mask.width = w + h;
    mask.height = h;
    mask.coverage.assign(static_cast<std::size_t>(mask.width) * static_cast<std::size_t>(h), 0);
    // Top-down row r of the text is stored row (h - 1 - r).
    auto put = [&](int x, int r, std::uint8_t value) {
      if (x < 0 || x >= mask.width || r < 0 || r >= h || value == 0) return;
      std::uint8_t& cell = mask.coverage[static_cast<std::size_t>(h - 1 - r) * mask.width + x];
      cell = std::max(cell, value);
    };
    long pen = 0;
    for (char32_t cp : text) {
      if (!LoadGlyph(cp)) continue;
      const FT_Bitmap& bm = face->glyph->bitmap;
      const int left = static_cast<int>(pen >> 6) + face->glyph->bitmap_left;
      const int top = ascent - face->glyph->bitmap_top;
      for (unsigned int r = 0; r < bm.rows; ++r) {
        const unsigned char* src = bm.buffer + static_cast<long>(r) * bm.pitch;
        for (unsigned int c = 0; c < bm.width; ++c) put(left + static_cast<int>(c), top + static_cast<int>(r), src[c]);
      }
      pen += face->glyph->advance.x;
    }
    if (font.underline) {
      // Position and thickness from the font, as the font's underline metrics give them.
      const long scale = face->size->metrics.y_scale;
      int position = static_cast<int>(-FT_MulFix(face->underline_position, scale) >> 6);
      int thickness = static_cast<int>((FT_MulFix(face->underline_thickness, scale) + 63) >> 6);
      position = std::max(1, position);
      thickness = std::max(1, thickness);
      for (int r = ascent + position; r < ascent + position + thickness; ++r)
        for (int x = 0; x < w; ++x) put(x, std::min(r, h - 1), 255);
    }
  }
};

TextMaskRenderer::TextMaskRenderer() : impl_(std::make_unique<Impl>()) {}
TextMaskRenderer::~TextMaskRenderer() = default;

const TextMaskImage& TextMaskRenderer::Render(std::string_view text, const TextFont& font) {
  CachedMask* oldest = &impl_->cache[0];
  for (CachedMask& slot : impl_->cache) {
    if (slot.valid && slot.text == text && slot.font == font) {
      slot.used = ++impl_->clock;
      return slot.mask;
    }
    if (slot.used < oldest->used) oldest = &slot;
  }
  CachedMask& slot = *oldest;
  slot.used = ++impl_->clock;
  slot.valid = true;
  slot.text.assign(text);
  slot.font = font;
  impl_->Draw(DecodeUtf8(text), font, slot.mask);
  return slot.mask;
}

std::string TextMaskRenderer::FontFile(const TextFont& font) {
  impl_->Prepare(font);
  return impl_->face != nullptr ? impl_->faceFile : std::string();
}

}  // namespace orbiscope
