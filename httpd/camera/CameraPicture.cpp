#include "httpd/camera/CameraPicture.h"

#include <algorithm>
#include <array>

#include "image/OctreeQuantizer.h"

namespace orbiscope {
namespace {

// Whether a desktop route scales a frame of the stored size for the requested one. A side
// that is not positive is not a size: zero asks for no scaling, and a negative one could
// not be made anyway.
bool ScalesFor(bool hasPixels, std::int32_t frameWidth, std::int32_t frameHeight, int width,
               int height) {
  return hasPixels && width > 0 && height > 0 && (frameHeight > height || frameWidth > width);
}

void ScaleToRequest(CPicture& picture, const FrameSnapshot& snapshot, int width, int height) {
  if (ScalesFor(picture.HasPixels(), snapshot.width, snapshot.height, width, height)) {
    // The picture refuses sizes it cannot hold and then stays as it was.
    picture.Scale(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                  kScaleNearest);
  }
}

bool IsDesktopRoute(CameraRoute route) {
  return route == CameraRoute::Jpeg || route == CameraRoute::Png;
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

namespace {

// The quality a JPEG is encoded at when it differs from the picture's own, else 0.
int OwnQuality(CameraRoute route, const CPicture& picture, int quality) {
  if (route != CameraRoute::Jpeg || quality < 1 || quality > 100) return 0;
  return quality == picture.Info().jpegQuality ? 0 : quality;
}

}  // namespace

PictureKey CameraPictureKey(CameraRoute route, const SharedFrame& frame, int width, int height,
                            int quality) {
  PictureKey key;
  key.route = static_cast<int>(route);
  key.quality = OwnQuality(route, *frame.image, quality);
  if (IsDesktopRoute(route) &&
      ScalesFor(frame.image->HasPixels(), frame.width, frame.height, width, height)) {
    key.width = width;
    key.height = height;
  }
  return key;
}

CameraPicture EncodeCameraPicture(CameraRoute route, const SharedFrame& frame, int width,
                                  int height, int quality) {
  const bool unchanged = IsDesktopRoute(route) && !ScalesFor(frame.image->HasPixels(), frame.width,
                                                             frame.height, width, height);
  const int own = OwnQuality(route, *frame.image, quality);
  if (!unchanged) {
    FrameSnapshot copy = frame.Copy();
    if (own != 0) copy.image.Info().jpegQuality = static_cast<std::uint8_t>(own);
    return MakeCameraPicture(route, copy, width, height);
  }
  // Encoding reads the pixels through a picture that shares them, and never writes them.
  CameraPicture result;
  result.hasPixels = frame.image->HasPixels();
  if (result.hasPixels) {
    CPicture view;
    view.ShareFrom(*frame.image);
    if (own != 0) view.Info().jpegQuality = static_cast<std::uint8_t>(own);
    result.bytes = view.EncodeToMemory(FormatOf(route), result.size);
  }
  if (!result.bytes) result.size = 0;
  return result;
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
