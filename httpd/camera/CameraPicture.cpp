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

// Each conversion reads `source` and leaves its result in `picture`, which may be `source`
// itself: a route then scales straight from the shared frame, without copying it first.
void ScaleToRequest(const CPicture& source, CPicture& picture, std::int32_t frameWidth,
                    std::int32_t frameHeight, int width, int height) {
  if (ScalesFor(source.HasPixels(), frameWidth, frameHeight, width, height)) {
    // The picture refuses sizes it cannot hold and then stays as it was.
    (void)source.Scale(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                       kScaleNearest, picture);
  }
}

bool IsDesktopRoute(CameraRoute route) {
  return route == CameraRoute::Jpeg || route == CameraRoute::Png;
}

void ConvertForGif(const CPicture& source, CPicture& picture) {
  // The palette is chosen over the whole frame, so the small picture keeps its colours.
  OctreeQuantizer quantizer(256, 7);
  quantizer.ProcessImage(source);
  std::array<RGBQuad, 256> palette {};
  quantizer.GetColorTable(palette.data());
  // Scaling first searches the palette only for the pixels kept. The pixels are those of
  // reducing first: nearest-neighbour scaling moves colours, and a reduced pixel's index
  // is already the lowest one of its colour, which is what scaling a reduced picture finds.
  (void)source.Scale(kGifSide, kGifSide, kScaleNearest, picture);
  picture.ReduceBitDepth(8, false, palette.data());
  const RGBQuad* entries = picture.Palette();
  const std::uint32_t count = std::min<std::uint32_t>(picture.PaletteSize(), 256);
  const bool anyAlpha =
      entries != nullptr &&
      std::any_of(entries, entries + count, [](const RGBQuad& e) { return e.alpha != 0; });
  if (!anyAlpha) picture.Info().alphaPaletteEnabled = 0;
}

void ConvertForWbmp(const CPicture& source, CPicture& picture) {
  (void)source.Scale(kWbmpWidth, kWbmpHeight, kScaleNearest, picture);
  picture.ReduceBitDepth(1);
}

// False for a route without pictures.
bool Convert(CameraRoute route, const CPicture& source, std::int32_t frameWidth,
             std::int32_t frameHeight, int width, int height, CPicture& picture) {
  switch (route) {
    case CameraRoute::Jpeg:
    case CameraRoute::Png:
      ScaleToRequest(source, picture, frameWidth, frameHeight, width, height);
      return true;
    case CameraRoute::Gif:
      ConvertForGif(source, picture);
      return true;
    case CameraRoute::Wbmp:
      ConvertForWbmp(source, picture);
      return true;
    default:
      return false;
  }
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
  const CPicture& source = *frame.image;
  CPicture converted;
  if (source.HasPixels() &&
      !Convert(route, source, frame.width, frame.height, width, height, converted)) {
    return CameraPicture{};
  }
  // A frame the route leaves as it is gets encoded where it lies, never written.
  const CPicture& picture = converted.HasPixels() ? converted : source;
  PictureInfo settings = picture.Info();
  if (const int own = OwnQuality(route, source, quality); own != 0) {
    settings.jpegQuality = static_cast<std::uint8_t>(own);
  }
  CameraPicture result;
  result.hasPixels = picture.HasPixels();
  if (result.hasPixels) {
    result.bytes = picture.EncodeToMemory(FormatOf(route), result.size, &settings);
  }
  if (!result.bytes) result.size = 0;
  return result;
}

std::shared_ptr<const CameraPicture> CachedCameraPicture(PictureCache& cache, CameraRoute route,
                                                         const SharedFrame& frame, int width,
                                                         int height, int quality) {
  return cache.Get(CameraPictureKey(route, frame, width, height, quality), frame.generation,
                   [&](const PictureKey&) {
                     return EncodeCameraPicture(route, frame, width, height, quality);
                   });
}

SharedCameraPicture ShareCameraPicture(const LatestFrame& frames, PictureCache& cache,
                                       CameraRoute route, int width, int height, int quality) {
  const SharedFrame frame = frames.Share();
  SharedCameraPicture shared;
  shared.picture = CachedCameraPicture(cache, route, frame, width, height, quality);
  if (frame.generation != 0) shared.captured = frame.captured;
  return shared;
}

CameraPicture MakeCameraPicture(CameraRoute route, FrameSnapshot& snapshot, int width,
                                int height) {
  CameraPicture result;
  CPicture& picture = snapshot.image;
  // Before the first frame there is nothing to sample: every conversion is skipped, and
  // the encoders refuse the empty picture.
  if (picture.HasPixels() &&
      !Convert(route, picture, snapshot.width, snapshot.height, width, height, picture)) {
    return result;
  }
  result.hasPixels = picture.HasPixels();
  if (result.hasPixels) result.bytes = picture.EncodeToMemory(FormatOf(route), result.size);
  if (!result.bytes) result.size = 0;
  return result;
}

}  // namespace orbiscope
