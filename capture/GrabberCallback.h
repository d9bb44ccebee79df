#pragma once
// The frame grabber: takes each sample on the streaming thread, tells the user-interface
// thread, and there turns the buffer into the processed frame with its overlay.

#include <atomic>
#include <cstdint>
#include <ctime>

#include "capture/CaptureBackend.h"
#include "capture/FrameTransform.h"
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

  // User-interface thread: takes the buffer into frame in one pass, turned, draws caption,
  // time and logo, paints the preview. True when a frame was processed, false when there
  // was nothing (or nothing whole) to do. frame keeps its block when it has the right size.
  bool ProcessFrame(const OverlaySettings& settings, CPicture& frame);
  // The same into the callback's own working image.
  bool ProcessFrame(const OverlaySettings& settings);
  // User-interface thread: draws caption, time (as at now) and logo into image, a frame of
  // the negotiated size, as every processed frame gets them.
  void DrawMarks(CPicture& image, const OverlaySettings& settings, std::time_t now);

  // Who hears of new frames; set before streaming starts.
  void SetNotify(CaptureEventSink* notify) { notify_.store(notify, std::memory_order_release); }
  // The negotiated frame size.
  void SetFrameSize(std::int32_t width, std::int32_t height);
  std::int32_t FrameWidth() const { return frameWidth_; }
  std::int32_t FrameHeight() const { return frameHeight_; }
  // How frames are turned from the next one on.
  void SetTurn(const FrameTurn& turn);
  const FrameTurn& Turn() const { return turn_; }

  // The frame processed without a picture of the caller's, with its overlay.
  const CPicture& WorkingImage() const { return working_; }
  // The scaled logo and the (turned) frame width it was scaled for.
  const CPicture& LogoImage() const { return logo_; }
  std::int32_t LogoWidth() const { return logoWidth_; }
  // The hand-over state (for tests and diagnostics).
  const SampleBuffer& Buffer() const { return buffer_; }

private:
  void Notify();
  void UpdateLogo(std::int32_t frameWidth);

  std::int32_t frameWidth_ = 0;
  std::int32_t frameHeight_ = 0;
  std::int32_t logoWidth_ = 0;
  FrameTurn turn_;
  SampleBuffer buffer_;
  CPicture working_;
  CPicture logo_;
  const ResourceLibrary& resources_;
  TextMaskRenderer text_;
  std::atomic<CaptureEventSink*> notify_{nullptr};
};

}  // namespace orbiscope
