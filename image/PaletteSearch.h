#pragma once
// Exact nearest-colour search over a palette, fast enough to run per pixel.
//
// The answer is the one a plain scan gives: the entry with the smallest squared distance
// (blue, green and red differences squared and summed), the lowest index on ties. Exact
// matches come from a hash of the entries. Other colours look only at the candidates of
// their 16 x 16 x 16 colour cell: the entries that could be nearest to some colour of the
// cell, judged by their distances to the cell's box. A cell's candidates are found once,
// when a colour of the cell is first asked for, so asking changes the search: one thread
// at a time.

#include <array>
#include <cstdint>
#include <vector>

#include "image/Picture.h"

namespace orbiscope {

class PaletteSearch {
public:
  // Indexes the first `count` entries (at most 256) of `palette`, which must stay
  // unchanged while the search is used.
  PaletteSearch(const RGBQuad* palette, std::uint32_t count);
  // The nearest entry's index; 0 for an empty palette.
  std::uint8_t Nearest(RGBQuad color);
  // The same answer by a plain scan: the best distance starts above any real one, a
  // strictly smaller distance wins (so ties keep the lowest index), an exact match ends
  // the scan. Used for small palettes and for checking the fast path.
  static std::uint8_t NearestByScan(const RGBQuad* palette, std::uint32_t count, RGBQuad color) {
    int best = 200000;
    std::uint8_t index = 0;
    for (std::uint32_t i = 0; i < count && i < 256; ++i) {
      const int db = palette[i].blue - color.blue, dg = palette[i].green - color.green,
                dr = palette[i].red - color.red;
      const int d = db * db + dg * dg + dr * dr;
      if (d < best) {
        best = d;
        index = static_cast<std::uint8_t>(i);
        if (d == 0) break;
      }
    }
    return index;
  }

private:
  struct Cell {
    std::uint32_t start = 0;  // first candidate in candidates_
    std::uint16_t count = 0;
    bool ready = false;
  };
  static constexpr int kSlots = 1024;
  static constexpr std::uint32_t kScanLimit = 16;
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  const Cell& CellOf(int red, int green, int blue);

  const RGBQuad* palette_;
  std::uint32_t count_ = 0;
  // The entries component by component, for the cell scan to take many at a time.
  std::array<int, 256> blue_{}, green_{}, red_{};
  std::array<std::uint32_t, kSlots> exactKey_{};  // colour key or kEmpty
  std::array<std::uint8_t, kSlots> exactIndex_{};
  std::vector<Cell> cells_;               // 4 096 cells
  std::vector<std::uint8_t> candidates_;  // indices, ascending within a cell
};

}  // namespace orbiscope
