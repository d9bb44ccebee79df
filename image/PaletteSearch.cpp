#include "image/PaletteSearch.h"

#include <algorithm>

namespace orbiscope {

namespace {

// Larger than any squared distance between two colours (3 x 255 x 255 = 195 075), so the
// first entry looked at always becomes the best.
constexpr int kStartDistance = 200000;

std::uint32_t KeyOf(RGBQuad c) {
  return static_cast<std::uint32_t>(c.blue) | (static_cast<std::uint32_t>(c.green) << 8) |
         (static_cast<std::uint32_t>(c.red) << 16);
}

int SlotOf(std::uint32_t key, int slots) {
  return static_cast<int>((key * 2654435761u) >> 22) & (slots - 1);
}

int Distance(RGBQuad a, int blue, int green, int red) {
  const int db = a.blue - blue, dg = a.green - green, dr = a.red - red;
  return db * db + dg * dg + dr * dr;
}

}  // namespace

PaletteSearch::PaletteSearch(const RGBQuad* palette, std::uint32_t count)
    : count_(palette ? std::min<std::uint32_t>(count, 256) : 0) {
  exactKey_.fill(kEmpty);
  for (std::uint32_t i = 0; i < count_; ++i) {
    const RGBQuad c = palette[i];
    byGreen_[i] = Entry{c.green, c.blue, c.red, static_cast<std::uint8_t>(i)};
    const std::uint32_t key = KeyOf(c);
    int slot = SlotOf(key, kSlots);
    while (exactKey_[slot] != kEmpty && exactKey_[slot] != key) slot = (slot + 1) & (kSlots - 1);
    if (exactKey_[slot] == kEmpty) {  // the lowest index of a repeated colour wins
      exactKey_[slot] = key;
      exactIndex_[slot] = static_cast<std::uint8_t>(i);
    }
  }
  std::stable_sort(byGreen_.begin(), byGreen_.begin() + count_,
                   [](const Entry& a, const Entry& b) { return a.green < b.green; });
  std::uint32_t pos = 0;
  for (int level = 0; level <= 256; ++level) {
    while (pos < count_ && byGreen_[pos].green < level) ++pos;
    firstOfGreen_[level] = static_cast<std::uint16_t>(pos);
  }
}

std::uint8_t PaletteSearch::Nearest(RGBQuad color) const {
  if (count_ == 0) return 0;
  const std::uint32_t key = KeyOf(color);
  for (int slot = SlotOf(key, kSlots); exactKey_[slot] != kEmpty;
       slot = (slot + 1) & (kSlots - 1)) {
    if (exactKey_[slot] == key) return exactIndex_[slot];
  }
  const int blue = color.blue, green = color.green, red = color.red;
  int best = kStartDistance;
  int bestIndex = 256;
  auto consider = [&](const Entry& e) {
    const int db = e.blue - blue, dg = e.green - green, dr = e.red - red;
    const int d = db * db + dg * dg + dr * dr;
    if (d < best || (d == best && e.index < bestIndex)) {
      best = d;
      bestIndex = e.index;
    }
  };
  const std::uint32_t start = firstOfGreen_[green];
  // An entry whose green difference alone equals the best distance can still tie, and a
  // tie with a lower index wins, so the search stops only beyond it.
  for (std::uint32_t i = start; i < count_; ++i) {
    const int dg = byGreen_[i].green - green;
    if (dg * dg > best) break;
    consider(byGreen_[i]);
  }
  for (std::uint32_t i = start; i-- > 0;) {
    const int dg = green - byGreen_[i].green;
    if (dg * dg > best) break;
    consider(byGreen_[i]);
  }
  return static_cast<std::uint8_t>(bestIndex);
}

std::uint8_t PaletteSearch::NearestByScan(const RGBQuad* palette, std::uint32_t count,
                                          RGBQuad color) {
  int best = kStartDistance;
  std::uint8_t index = 0;
  for (std::uint32_t i = 0; i < count && i < 256; ++i) {
    const int d = Distance(palette[i], color.blue, color.green, color.red);
    if (d < best) {
      best = d;
      index = static_cast<std::uint8_t>(i);
      if (d == 0) break;
    }
  }
  return index;
}

}  // namespace orbiscope
