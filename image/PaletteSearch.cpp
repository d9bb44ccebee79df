#include "image/PaletteSearch.h"

#include <algorithm>
#include <cstdlib>

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
    : palette_(palette), count_(palette ? std::min<std::uint32_t>(count, 256) : 0) {
  exactKey_.fill(kEmpty);
  for (std::uint32_t i = 0; i < count_; ++i) {
    blue_[i] = palette[i].blue;
    green_[i] = palette[i].green;
    red_[i] = palette[i].red;
  }
  for (std::uint32_t i = 0; i < count_; ++i) {
    const std::uint32_t key = KeyOf(palette[i]);
    int slot = SlotOf(key, kSlots);
    while (exactKey_[slot] != kEmpty && exactKey_[slot] != key) slot = (slot + 1) & (kSlots - 1);
    if (exactKey_[slot] == kEmpty) {  // the lowest index of a repeated colour wins
      exactKey_[slot] = key;
      exactIndex_[slot] = static_cast<std::uint8_t>(i);
    }
  }
}

const PaletteSearch::Cell& PaletteSearch::CellOf(int red, int green, int blue) {
  if (cells_.empty()) cells_.resize(4096);
  Cell& cell = cells_[static_cast<std::size_t>(((red >> 4) << 8) | ((green >> 4) << 4) | (blue >> 4))];
  if (cell.ready) return cell;
  // The cell is the box lo..lo+15 on each axis. An entry can be nearest to some colour
  // of the box only when its nearest possible distance to the box is no more than the
  // farthest distance of the entry that is best in the worst case; entries that could tie
  // pass the same test, so the lowest index among ties stays a candidate.
  // Measured in half units from the box's centre, so everything stays integral: an
  // axis value v lies |t| = |2v - (2 lo + 15)| half units from the centre; the box
  // reaches 15 half units either way.
  const int centre[3] = {2 * (blue & 0xF0) + 15, 2 * (green & 0xF0) + 15, 2 * (red & 0xF0) + 15};
  int near4[256];
  int bound4 = 4 * kStartDistance;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const int tb = std::abs(2 * blue_[i] - centre[0]);
    const int tg = std::abs(2 * green_[i] - centre[1]);
    const int tr = std::abs(2 * red_[i] - centre[2]);
    const int gb = std::max(tb - 15, 0), gg = std::max(tg - 15, 0), gr = std::max(tr - 15, 0);
    near4[i] = gb * gb + gg * gg + gr * gr;
    const int fb = tb + 15, fg = tg + 15, fr = tr + 15;
    bound4 = std::min(bound4, fb * fb + fg * fg + fr * fr);
  }
  cell.start = static_cast<std::uint32_t>(candidates_.size());
  for (std::uint32_t i = 0; i < count_; ++i) {
    if (near4[i] <= bound4) candidates_.push_back(static_cast<std::uint8_t>(i));
  }
  cell.count = static_cast<std::uint16_t>(candidates_.size() - cell.start);
  cell.ready = true;
  return cell;
}

std::uint8_t PaletteSearch::Nearest(RGBQuad color) {
  if (count_ == 0) return 0;
  // A few entries are cheaper to scan than to index (the black and white of WBMP).
  if (count_ <= kScanLimit) return NearestByScan(palette_, count_, color);
  const std::uint32_t key = KeyOf(color);
  for (int slot = SlotOf(key, kSlots); exactKey_[slot] != kEmpty;
       slot = (slot + 1) & (kSlots - 1)) {
    if (exactKey_[slot] == key) return exactIndex_[slot];
  }
  const int blue = color.blue, green = color.green, red = color.red;
  const Cell& cell = CellOf(red, green, blue);
  int best = kStartDistance;
  std::uint8_t index = 0;
  for (std::uint32_t k = cell.start, end = cell.start + cell.count; k < end; ++k) {
    const std::uint8_t i = candidates_[k];
    const int d = Distance(palette_[i], blue, green, red);
    if (d < best) {
      best = d;
      index = i;
    }
  }
  return index;
}

}  // namespace orbiscope
