#pragma once
// Glossary: the capture "graph" is the chain from one camera (or the test pattern) to the grabber.
// Owner of everything between a capture device and the frame grabber: the device list,
// the sizes a device offers in 24-bit colour, building and running capture for one device,
// size and rate, pause, stop, device loss and return, and the device's settings.
//
// Every operation runs on the user-interface thread and answers a CaptureError; only the
// grabber's sample copy runs on a streaming thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureBackend.h"
#include "capture/CaptureStatus.h"
#include "capture/GrabberCallback.h"
#include "capture/GraphEvents.h"
#include "capture/LatestFrame.h"
#include "config/MessageSink.h"
#include "image/Picture.h"

namespace orbiscope {

class CaptureEventSink;
class LogXML;
class ResourceLibrary;

// Report severities: 0 shows an "Error!" box, 2 an "Information!" box, others nothing.
inline constexpr int kSeverityError = 0;
inline constexpr int kSeverityQuiet = 1;
inline constexpr int kSeverityInfo = 2;
inline constexpr int kSeverityTrace = 3;

class CaptureGraph {
public:
  static constexpr double kDefaultFrameRate = 15.0;

  // backends are asked for devices in order (cameras first, then the test pattern).
  // resources gives the report texts and the logo; sink shows boxes; log keeps reports.
  CaptureGraph(const ResourceLibrary& resources, MessageSink sink, LogXML& log,
               std::vector<std::unique_ptr<CaptureBackend>> backends);
  ~CaptureGraph();
  CaptureGraph(const CaptureGraph&) = delete;
  CaptureGraph& operator=(const CaptureGraph&) = delete;

  // Fills the device names; kNone when at least one was found.
  CaptureError EnumerateDevices();
  // True when a device name equals name exactly.
  bool ContainsDevice(const std::string& name) const;
  // Fills the size names of the device (empty name: the first listed); kNone when any.
  CaptureError ListSizes(const std::string& name);
  // Builds and runs capture for device and size index; window hears frames and events.
  CaptureError Open(CaptureEventSink& window, int deviceIndex, int sizeIndex);
  // Stops and tears down.
  void Stop();
  // Halts delivery; kFailed when nothing was opened.
  CaptureError Pause();
  // Drains device loss and return events: a loss tears down and tells window to stop the
  // server, a return tells window to start server and capture again.
  void HandleGraphEvents(CaptureEventSink& window);
  // Shows the device's settings through window.
  CaptureError ShowPropertyPages(CaptureEventSink& window);
  // Processes the waiting frame into a spare of the latest-frame store and publishes it
  // there; true when the latest image was renewed.
  bool ProcessFrame(const OverlaySettings& settings);

  const std::vector<std::string>& DeviceNames() const { return deviceNames_; }
  const std::vector<std::string>& SizeNames() const { return sizeNames_; }
  const std::string& DeviceName() const { return deviceName_; }
  // 1 when no capture runs.
  int Stopped() const { return stopped_; }
  // True while a device was opened and runs (0 from Stopped alone may be a failed Open).
  bool Running() const { return running_; }
  // The last fully processed frame (empty before the first); valid until the next
  // ProcessFrame.
  const CPicture& LatestImage() const { return *frames_.Share().image; }
  // The same frame to share: the web server serves these very pixels.
  SharedFrame Latest() const { return frames_.Share(); }

  // How frames are turned, from the next frame on (applied live).
  void SetTurn(const FrameTurn& turn) { callback_.SetTurn(turn); }
  const FrameTurn& Turn() const { return callback_.Turn(); }
  // The size of the frames shown and served: the capture size, turned.
  std::int32_t TurnedWidth() const;
  std::int32_t TurnedHeight() const;

  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  double FrameRate() const { return frameRate_; }
  double DefaultFrameRate() const { return defaultFrameRate_; }
  // Loaded from the settings before the first ListSizes or Open; 0 lets the device decide.
  void SetWidth(std::int32_t width) { width_ = width; }
  void SetHeight(std::int32_t height) { height_ = height; }
  void SetFrameRate(double rate) { frameRate_ = rate; }

  // The grabber, for the controller's frame path and for tests.
  GrabberCallback& Callback() { return callback_; }

  // While set, failures are not written to the log: a camera retried every second while it
  // stays unusable would otherwise fill it with the same lines.
  void SetQuietReports(bool quiet) { quietReports_ = quiet; }

private:
  std::unique_ptr<CaptureSource> FindSource(const std::string& name);
  CaptureError CreateGraphWithDevice(const std::string& name);
  CaptureError SetCaptureFormat(int sizeIndex);
  CaptureError Run(CaptureEventSink& window);
  void TearDown();
  void Report(int messageId, int severity);

  const ResourceLibrary& resources_;
  MessageSink sink_;
  LogXML& log_;
  std::vector<std::unique_ptr<CaptureBackend>> backends_;

  std::unique_ptr<CaptureSource> source_;   // the bound device while a graph exists
  bool running_ = false;                    // the source was run and not stopped since
  std::unique_ptr<GraphEvents> mediaEvent_; // outlives tear-down, to hear a device return
  GrabberCallback callback_;
  int stopped_ = 1;
  bool quietReports_ = false;
  std::string deviceName_;
  std::vector<std::string> deviceNames_;
  std::vector<std::string> sizeNames_;
  LatestFrame frames_;                   // the processed frames, for preview and server
  std::unique_ptr<CPicture> spare_;      // the next frame's picture, kept when none came
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  double frameRate_ = 0.0;
  double defaultFrameRate_ = kDefaultFrameRate;
};

// The back-ends of this platform: V4L2 cameras, then the test pattern.
std::vector<std::unique_ptr<CaptureBackend>> DefaultCaptureBackends();

}  // namespace orbiscope
