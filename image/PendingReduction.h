#pragma once
// The state of a bit-depth reduction whose palette indices are found on first read.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/PaletteSearch.h"
#include "image/Picture.h"

namespace orbiscope {

struct PendingReduction {
  CPicture source;                  // the picture before the reduction
  // The palette as it was at the reduction: changing the picture's palette afterwards
  // does not change which index a pixel gets.
  std::array<RGBQuad, 256> palette{};
  std::unique_ptr<PaletteSearch> search;  // over `palette`, as many entries as searched
  std::vector<std::uint64_t> done;  // one bit per pixel: index already stored
  std::size_t remaining = 0;        // pixels still without their index
};

}  // namespace orbiscope
