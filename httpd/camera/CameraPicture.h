#pragma once
// Turns a private snapshot of the latest frame into the bytes a camera route sends.

#include <cstddef>

#include "capture/LatestFrame.h"
#include "httpd/camera/CameraRoutes.h"
#include "image/Picture.h"

namespace orbiscope {

// Fixed sizes of the phone pictures.
inline constexpr std::uint32_t kGifSide = 90;
inline constexpr std::uint32_t kWbmpWidth = 90;
inline constexpr std::uint32_t kWbmpHeight = 70;

// The result of one conversion.
struct CameraPicture {
  EncodedBytes bytes;       // nullptr when the encoder produced nothing
  std::size_t size = 0;
  bool hasPixels = false;   // the picture held pixels after the conversions
};

// Converts `snapshot.image` in place for `route` (Jpeg, Png, Gif or Wbmp) and encodes it.
// JPEG and PNG are scaled to `width` x `height` when the frame is larger in either side and
// both are positive; a scale that cannot be made leaves the picture as it was. A picture
// without pixels is never sampled.
CameraPicture MakeCameraPicture(CameraRoute route, FrameSnapshot& snapshot, int width,
                                int height);

// The local file name whose extension chooses the route's Content-Type.
const char* CameraFileName(CameraRoute route);

}  // namespace orbiscope
