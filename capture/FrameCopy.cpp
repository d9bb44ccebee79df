#include "capture/FrameCopy.h"

#include <cstring>

#include "image/Picture.h"

namespace orbiscope {

void CopyFrame(CPicture& target, const CPicture& source) {
  if (&target == &source) return;
  const bool sameShape =
      target.HasPixels() && source.HasPixels() && target.Info().sharingSource == nullptr &&
      target.Width() == source.Width() && target.Height() == source.Height() &&
      target.Bpp() == source.Bpp() && target.BlockSize() == source.BlockSize() &&
      !target.HasSelection() && !source.HasSelection() && !target.HasAlpha() &&
      !source.HasAlpha();
  if (!sameShape) {
    target.CopyFrom(source, true, true, true);
    return;
  }
  // The block keeps its place; header, palette, pixels and the info record are the source's.
  std::uint8_t* pixels = target.Bits();
  std::uint8_t* block = pixels - (source.Bits() - source.Block());
  std::memcpy(block, source.Block(), source.BlockSize());
  PictureInfo& info = target.Info();
  const std::uint32_t rowBytes = info.rowBytes;
  info = source.Info();
  info.pixels = pixels;
  info.rowBytes = rowBytes;
  info.sharingSource = nullptr;
  target.SetPelsPerMeter(source.Header().biXPelsPerMeter, source.Header().biYPelsPerMeter);
}

}  // namespace orbiscope
