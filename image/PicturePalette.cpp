// The palette and the nearest-colour search over it.
#include <algorithm>
#include <cstring>

#include "image/PaletteSearch.h"
#include "image/Picture.h"

namespace orbiscope {

RGBQuad* CPicture::Palette() {
  if (block_ == nullptr || header_.biClrUsed == 0) return nullptr;
  return reinterpret_cast<RGBQuad*>(block_.get() + sizeof(BitmapInfoHeader));
}

const RGBQuad* CPicture::Palette() const {
  if (block_ == nullptr || header_.biClrUsed == 0) return nullptr;
  return reinterpret_cast<const RGBQuad*>(block_.get() + sizeof(BitmapInfoHeader));
}

RGBQuad CPicture::GetPaletteColor(std::uint32_t index) const {
  const RGBQuad* pal = Palette();
  if (pal == nullptr || index >= header_.biClrUsed) return RGBQuad{};
  return pal[index];
}

void CPicture::SetPaletteColor(std::uint32_t index, RGBQuad color) {
  RGBQuad* pal = Palette();
  if (pal == nullptr || index >= header_.biClrUsed) return;
  pal[index] = color;
}

void CPicture::SetPalette(const RGBQuad* colors, std::uint32_t count) {
  RGBQuad* pal = Palette();
  if (pal == nullptr || colors == nullptr) return;
  std::memcpy(pal, colors, 4u * std::min(count, header_.biClrUsed));
}

void CPicture::SetGreyPalette() {
  RGBQuad* pal = Palette();
  if (pal == nullptr) return;
  const std::uint32_t n = header_.biClrUsed;
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto level = static_cast<std::uint8_t>(n > 1 ? i * 255 / (n - 1) : 0);
    pal[i] = RGBQuad{level, level, level, 0};
  }
}

bool CPicture::IsGreyRamp() const {
  const RGBQuad* pal = Palette();
  if (pal == nullptr) return false;
  for (std::uint32_t i = 0; i < header_.biClrUsed; ++i) {
    if (pal[i].blue != i || pal[i].green != i || pal[i].red != i) return false;
  }
  return true;
}

std::uint32_t CPicture::SearchedEntries() const {
  return header_.biClrImportant != 0 ? std::min(header_.biClrImportant, header_.biClrUsed)
                                     : header_.biClrUsed;
}

std::uint8_t CPicture::GetNearestIndex(RGBQuad color) const {
  const RGBQuad* pal = Palette();
  if (pal == nullptr) return 0;
  return PaletteSearch::NearestByScan(pal, SearchedEntries(), color);
}

}  // namespace orbiscope
