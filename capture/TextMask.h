#pragma once
// Text rendered into an 8-bit coverage mask with FreeType, the font picked by fontconfig
// from a face name and a height the way the settings store them.
//
// The mask is (w + h) x h for text w pixels wide on a line h pixels high, the extra h
// leaving room for an italic overhang; the text sits left- and top-aligned in it. Rows are
// stored bottom-up, like the frames.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orbiscope {

// How a caption font is described: the fields of the stored font that the drawing honours.
struct TextFont {
  std::string face;       // face name; fontconfig's matching always yields some font
  int height = -13;       // negative: character height in pixels; positive: cell height
  int weight = 400;       // 100 to 900, 700 bold; 0 normal
  bool italic = false;
  bool underline = false;
  friend bool operator==(const TextFont&, const TextFont&) = default;
};

struct TextMaskImage {
  int width = 0;                       // pixels
  int height = 0;                      // rows
  std::vector<std::uint8_t> coverage;  // width x height, bottom-up rows, 0 = no ink
};

class TextMaskRenderer {
public:
  TextMaskRenderer();
  ~TextMaskRenderer();
  TextMaskRenderer(const TextMaskRenderer&) = delete;
  TextMaskRenderer& operator=(const TextMaskRenderer&) = delete;

  // The mask of UTF-8 text in font. An empty text, or no usable font at all, gives an
  // empty mask. The last masks are kept, so an unchanged caption costs nothing per frame.
  const TextMaskImage& Render(std::string_view text, const TextFont& font);
  // The file fontconfig chose for font ("" when none), for diagnostics and tests.
  std::string FontFile(const TextFont& font);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orbiscope
