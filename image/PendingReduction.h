#pragma once
// The state of a bit-depth reduction whose palette indices are found on first read.

#include <cstdint>
#include <vector>

#include "image/Picture.h"

namespace orbiscope {

struct PendingReduction {
  CPicture source;                  // the picture before the reduction
  std::vector<std::uint64_t> done;  // one bit per pixel: index already stored
  std::size_t remaining = 0;        // pixels still without their index
};

}  // namespace orbiscope
