#pragma once
// The frame grabber: takes each sample on the streaming thread, tells the user-interface
// thread, and there turns the buffer into the processed frame with its overlay.

#include <atomic>
#include <cstdint>
#include <ctime>

#include "capture/CaptureBackend.h"
#include "capture/Overlay.h"
#include "capture/SampleBuffer.h"
#include "capture/TextMask.h"
#include "image/Picture.h"

namespace orbiscope {

class CaptureEventSink;
class ResourceLibrary;

class GrabberCallback final : public SampleSink {
public:
  // The logo is bitmap 229 of resources, which must outlive the callback.
  explicit GrabberCallback(const ResourceLibrary& resources);
  GrabberCallback(const GrabberCallback&) = delete;
  GrabberCallback& operator=(const GrabberCallback&) = delete;

  // Streaming thread: copies the sample when accepting and posts the frame-ready notice.
  CaptureError BufferCB(double sampleTime, const std::uint8_t* buffer, long length) override;
  CaptureError BufferRowsCB(double sampleTime, const std::uint8_t* topRow, long stride, int width,
                            int height) override;

  // User-interface thread: decodes the buffer, draws caption, time and logo, paints the
  // preview. 1 when a frame was processed, 0 when there was nothing (or nothing whole) to do.
  int ProcessFrame(const OverlaySettings& settings);
  // User-interface thread: draws caption, time (as at now) and logo into image, a frame of
  // the negotiated size, as every processed frame gets them.
  void DrawMarks(CPicture& image, const OverlaySettings& settings, std::time_t now);

  // Who hears of new frames; set before streaming starts.
  void SetNotify(CaptureEventSink* notify) { notify_.store(notify, std::memory_order_release); }
  // The negotiated frame size.
  void SetFrameSize(std::int32_t width, std::int32_t height);
  std::int32_t FrameWidth() const { return frameWidth_; }
  std::int32_t FrameHeight() const { return frameHeight_; }

  // The frame being processed, with its overlay.
  const CPicture& WorkingImage() const { return working_; }
  // The scaled logo and the frame width it was scaled for.
  const CPicture& LogoImage() const { return logo_; }
  std::int32_t LogoWidth() const { return logoWidth_; }
  // The hand-over state (for tests and diagnostics).
  const SampleBuffer& Buffer() const { return buffer_; }

private:
  void Notify();
  void UpdateLogo();

  std::int32_t frameWidth_ = 0;
  std::int32_t frameHeight_ = 0;
  std::int32_t logoWidth_ = 0;
  SampleBuffer buffer_;
  CPicture working_;
  CPicture logo_;
  const ResourceLibrary& resources_;
  TextMaskRenderer text_;
  std::atomic<CaptureEventSink*> notify_{nullptr};
};

}  // namespace orbiscope
