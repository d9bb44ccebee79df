#pragma once
// Turns the latest frame into the bytes a camera route sends, kept in the picture cache for
// the other requests of the same frame.

#include <chrono>
#include <cstddef>
#include <memory>

#include "capture/LatestFrame.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/PictureCache.h"
#include "image/Picture.h"

namespace orbiscope {

// Fixed sizes of the phone pictures.
inline constexpr std::uint32_t kGifSide = 90;
inline constexpr std::uint32_t kWbmpWidth = 90;
inline constexpr std::uint32_t kWbmpHeight = 70;

// The result of one conversion: bytes (nullptr when the encoder produced nothing) and
// whether the picture held pixels after the conversions.
using CameraPicture = EncodedPicture;

// Converts `snapshot.image` in place for `route` (Jpeg, Png, Gif or Wbmp) and encodes it.
// JPEG and PNG are scaled to `width` x `height` when the frame is larger in either side and
// both are positive; a scale that cannot be made leaves the picture as it was. A picture
// without pixels is never sampled.
CameraPicture MakeCameraPicture(CameraRoute route, FrameSnapshot& snapshot, int width,
                                int height);

// The cache key of a request for `route` at `width` x `height` from `frame`. Requests whose
// bytes are equal share a key: the phone routes ignore the size, and a desktop request
// carries its size only when the frame is scaled for it. `quality` (1 to 100, JPEG only;
// 0 for the frame's own) is carried only when it differs from the frame's.
PictureKey CameraPictureKey(CameraRoute route, const SharedFrame& frame, int width, int height,
                            int quality = 0);

// The picture of `route` from the shared frame, the same bytes MakeCameraPicture gives for
// a snapshot of it (at `quality` for a JPEG when it is not 0). The frame is never copied:
// a route that changes it (scale or convert) scales from it into a picture of its own, and
// an unchanged one is encoded where it lies.
CameraPicture EncodeCameraPicture(CameraRoute route, const SharedFrame& frame, int width,
                                  int height, int quality = 0);

// The picture of `route` from `frame` as `cache` keeps it for the frame's generation: made
// (EncodeCameraPicture) by the first request that asks for its route, size and quality, and
// shared with every other. Never null.
std::shared_ptr<const CameraPicture> CachedCameraPicture(PictureCache& cache, CameraRoute route,
                                                         const SharedFrame& frame, int width,
                                                         int height, int quality = 0);

// What a picture route sends: the cached picture of the newest frame and that frame's
// capture time (the clock's epoch before the first frame).
struct SharedCameraPicture {
  std::shared_ptr<const CameraPicture> picture;  // never null
  std::chrono::system_clock::time_point captured;
};
// CachedCameraPicture of the newest frame of `frames`, shared from the store, not copied.
SharedCameraPicture ShareCameraPicture(const LatestFrame& frames, PictureCache& cache,
                                       CameraRoute route, int width, int height,
                                       int quality = 0);

// The local file name whose extension chooses the route's Content-Type.
const char* CameraFileName(CameraRoute route);

}  // namespace orbiscope
