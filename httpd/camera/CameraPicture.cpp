#include "httpd/camera/CameraPicture.h"

#include <algorithm>
#include <array>

#include "image/OctreeQuantizer.h"

namespace orbiscope {
namespace {

// The requested size of the desktop routes. A side that is not positive is not a size:
// zero asks for no scaling, and a negative one could not be made anyway.
void ScaleToRequest(CPicture& picture, const FrameSnapshot& snapshot, int width, int height) {
  if (!picture.HasPixels() || width <= 0 || height <= 0) return;
  if (snapshot.height > height || snapshot.width > width) {
    // The picture refuses sizes it cannot hold and then stays as it was.
    picture.Scale(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                  kScaleNearest);
  }
}

void ConvertForGif(CPicture& picture) {
  // The palette is chosen over the whole frame, so the small picture keeps its colours.
  OctreeQuantizer quantizer(256, 7);
  quantizer.ProcessImage(picture);
  std::array<RGBQuad, 256> palette {};
  quantizer.GetColorTable(palette.data());
  // Scaling first searches the palette only for the pixels kept. The pixels are those of
  // reducing first: nearest-neighbour scaling moves colours, and a reduced pixel's index
  // is already the lowest one of its colour, which is what scaling a reduced picture finds.
  picture.Scale(kGifSide, kGifSide, kScaleNearest);
  picture.ReduceBitDepth(8, false, palette.data());
  const RGBQuad* entries = picture.Palette();
  const std::uint32_t count = std::min<std::uint32_t>(picture.PaletteSize(), 256);
  const bool anyAlpha =
      entries != nullptr &&
      std::any_of(entries, entries + count, [](const RGBQuad& e) { return e.alpha != 0; });
  if (!anyAlpha) picture.Info().alphaPaletteEnabled = 0;
}

void ConvertForWbmp(CPicture& picture) {
  picture.Scale(kWbmpWidth, kWbmpHeight, kScaleNearest);
  picture.ReduceBitDepth(1);
}

std::uint32_t FormatOf(CameraRoute route) {
  switch (route) {
    case CameraRoute::Jpeg: return kFormatJpeg;
    case CameraRoute::Png: return kFormatPng;
    case CameraRoute::Gif: return kFormatGif;
    case CameraRoute::Wbmp: return kFormatWbmp;
    default: return kFormatUnknown;
  }
}

}  // namespace

const char* CameraFileName(CameraRoute route) {
  switch (route) {
    case CameraRoute::Jpeg: return "image.jpg";
    case CameraRoute::Png: return "image.png";
    case CameraRoute::Gif: return "image.gif";
    case CameraRoute::Wbmp: return "image.wbmp";
    default: return "";
  }
}

CameraPicture MakeCameraPicture(CameraRoute route, FrameSnapshot& snapshot, int width,
                                int height) {
  CameraPicture result;
  CPicture& picture = snapshot.image;
  // Before the first frame there is nothing to sample: every conversion is skipped, and
  // the encoders refuse the empty picture.
  if (picture.HasPixels()) {
    switch (route) {
      case CameraRoute::Jpeg:
      case CameraRoute::Png:
        ScaleToRequest(picture, snapshot, width, height);
        break;
      case CameraRoute::Gif:
        ConvertForGif(picture);
        break;
      case CameraRoute::Wbmp:
        ConvertForWbmp(picture);
        break;
      default:
        return result;
    }
  }
  result.hasPixels = picture.HasPixels();
  if (result.hasPixels) result.bytes = picture.EncodeToMemory(FormatOf(route), result.size);
  if (!result.bytes) result.size = 0;
  return result;
}

}  // namespace orbiscope
