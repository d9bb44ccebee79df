#pragma once
// Exact nearest-colour search over a palette, fast enough to run per pixel.
//
// The answer is the one a plain scan gives: the entry with the smallest squared distance
// (blue, green and red differences squared and summed), the lowest index on ties. Exact
// matches come from a hash of the entries; other colours search outward from the nearest
// green level and stop once the green difference alone exceeds the best distance.

#include <array>
#include <cstdint>

#include "image/Picture.h"

namespace orbiscope {

class PaletteSearch {
public:
  // Indexes the first `count` entries (at most 256) of `palette`.
  PaletteSearch(const RGBQuad* palette, std::uint32_t count);
  // The nearest entry's index; 0 for an empty palette.
  std::uint8_t Nearest(RGBQuad color) const;
  // The same answer by a plain scan of every entry, for checking the fast path.
  static std::uint8_t NearestByScan(const RGBQuad* palette, std::uint32_t count, RGBQuad color);

private:
  struct Entry {
    std::uint8_t green, blue, red, index;
  };
  static constexpr int kSlots = 1024;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  std::uint32_t count_ = 0;
  std::array<Entry, 256> byGreen_{};        // entries sorted by green, then index
  std::array<std::uint16_t, 257> firstOfGreen_{};  // first position with green >= level
  std::array<std::uint32_t, kSlots> exactKey_{};   // colour key or kEmpty
  std::array<std::uint8_t, kSlots> exactIndex_{};
};

}  // namespace orbiscope
