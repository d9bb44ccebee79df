#include "capture/GrabberCallback.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "capture/CaptureEventSink.h"
#include "capture/FrameFormat.h"
#include "capture/FramePreview.h"
#include "capture/FrameTransform.h"
#include "resources/ResourceIds.h"
#include "resources/ResourceLibrary.h"
#include "resources/ResourcePicture.h"

namespace orbiscope {

GrabberCallback::GrabberCallback(const ResourceLibrary& resources) : resources_(resources) {}

void GrabberCallback::SetFrameSize(std::int32_t width, std::int32_t height) {
  frameWidth_ = width;
  frameHeight_ = height;
}

void GrabberCallback::Notify() {
  // Posted after the lock is released: the streaming thread never waits for the UI.
  if (CaptureEventSink* sink = notify_.load(std::memory_order_acquire)) sink->PostFrameReady();
}

CaptureError GrabberCallback::BufferCB(double, const std::uint8_t* buffer, long length) {
  bool stored = false;
  const CaptureError status = buffer_.Store(buffer, length, stored);
  if (stored) Notify();
  return status;
}

CaptureError GrabberCallback::BufferRowsCB(double, const std::uint8_t* topRow, long stride, int width,
                                  int height) {
  bool stored = false;
  const CaptureError status = buffer_.StoreRows(topRow, stride, width, height, stored);
  if (stored) Notify();
  return status;
}

void GrabberCallback::SetTurn(const FrameTurn& turn) { turn_ = turn; }

void GrabberCallback::UpdateLogo(std::int32_t frameWidth) {
  if (frameWidth == logoWidth_) return;
  CPicture loaded = LoadResourcePicture(resources_, res::kPicOverlayLogo, kFormatBmp);
  if (!loaded.HasPixels()) return;  // no logo: frames go out without one
  const std::uint32_t width = static_cast<std::uint32_t>(frameWidth / 2);
  const std::uint32_t height = static_cast<std::uint32_t>(frameWidth / 14);
  if (!loaded.ScaleInPlace(width, height, kScaleNearest)) loaded.Clear();  // too narrow to carry one
  logo_.TakeOver(loaded);
  logoWidth_ = frameWidth;
}

void GrabberCallback::DrawMarks(CPicture& image, const OverlaySettings& settings, std::time_t now) {
  const std::int32_t height = settings.font.height;
  DrawOverlayText(image, text_, settings.x, settings.y, settings.caption, settings.colour,
                  settings.font.faceName, height, settings.font.weight, settings.font.italic != 0,
                  settings.font.underline != 0, settings.outline);
  const std::string time = TimeText(settings.timeMode, now);
  if (!time.empty()) {
    const std::int64_t timeBottom = std::llabs(static_cast<std::int64_t>(height)) + 5;
    DrawOverlayText(image, text_, 0, static_cast<std::int32_t>(std::min<std::int64_t>(timeBottom, INT32_MAX)), time, settings.colour,
                    settings.font.faceName, height, settings.font.weight,
                    settings.font.italic != 0, settings.font.underline != 0, settings.outline);
  }
  UpdateLogo(static_cast<std::int32_t>(image.Width()));
  StampLogo(image, logo_);
}

bool GrabberCallback::ProcessFrame(const OverlaySettings& settings) {
  return ProcessFrame(settings, working_);
}

bool GrabberCallback::ProcessFrame(const OverlaySettings& settings, CPicture& frame) {
  const std::uint8_t* data = nullptr;
  long capacity = 0;
  if (!buffer_.BeginRead(data, capacity)) return false;
  // From here until EndRead the streaming thread leaves the buffer alone.

  // A buffer smaller than the negotiated frame (a short first sample, or a size that
  // changed under a running stream) would be read past its end: such a frame is dropped.
  const std::int64_t needed = FrameBytes(frameWidth_, frameHeight_, 24);
  if (frameWidth_ <= 0 || frameHeight_ <= 0 || needed > capacity) {
    buffer_.EndRead();
    return false;
  }
  // The only pass over the frame between the grabber's buffer and the routes: it turns the
  // picture on the way, and everything after draws into, shows or shares this picture.
  if (!TurnFrame(data, frameWidth_, frameHeight_, turn_, frame)) {
    buffer_.EndRead();
    return false;
  }
  // The marks go onto the turned frame, so that they stay upright.

  DrawMarks(frame, settings, std::time(nullptr));
  if (settings.preview != nullptr) settings.preview->PaintFrame(frame);

  buffer_.EndRead();
  return true;
}

}  // namespace orbiscope
