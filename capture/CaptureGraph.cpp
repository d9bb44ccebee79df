#include "capture/CaptureGraph.h"

#include "capture/CaptureEventSink.h"
#include "capture/FrameFormat.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

constexpr int kMsgNoDevice = 105;
constexpr int kMsgDeviceNotAdded = 106;
constexpr int kMsgWouldNotRun = 108;
constexpr int kMsgRunning = 109;
constexpr int kMsgFormatRefused = 113;

}  // namespace

CaptureGraph::CaptureGraph(const ResourceLibrary& resources, MessageSink sink, LogXML& log,
                           std::vector<std::unique_ptr<CaptureBackend>> backends)
    : resources_(resources),
      sink_(std::move(sink)),
      log_(log),
      backends_(std::move(backends)),
      callback_(resources) {}

CaptureGraph::~CaptureGraph() {
  // The streaming thread ends before the callback it writes to goes away.
  if (source_) source_->Stop();
  source_.reset();
  mediaEvent_.reset();
}

void CaptureGraph::Report(int messageId, int severity) {
  const std::string text = resources_.String(messageId);
  if (severity <= kSeverityQuiet && !quietReports_)
    log_.WriteEntry(text.empty() ? "Capture error " + std::to_string(messageId) : text,
                    "CaptureGraph", "CaptureGraph::Report");
  if (!sink_) return;
  if (severity == kSeverityError) sink_("Error!", text);
  if (severity == kSeverityInfo) sink_("Information!", text);
}

CaptureError CaptureGraph::EnumerateDevices() {
  // Filled afresh, so that a second listing does not repeat every name.
  deviceNames_.clear();
  for (auto& backend : backends_) {
    for (const CaptureDeviceRef& device : backend->Devices()) {
      if (device.name.empty()) continue;  // a device whose name cannot be read is skipped
      deviceNames_.push_back(CutDeviceName(device.name));
    }
  }
  return deviceNames_.empty() ? CaptureError::kFailed : CaptureError::kNone;
}

bool CaptureGraph::ContainsDevice(const std::string& name) const {
  for (const std::string& entry : deviceNames_)
    if (entry == name) return true;
  return false;
}

std::unique_ptr<CaptureSource> CaptureGraph::FindSource(const std::string& name) {
  // The first device that binds, or the first of that name that binds: two devices with
  // the same name resolve to the first in enumeration order.
  for (auto& backend : backends_) {
    for (const CaptureDeviceRef& device : backend->Devices()) {
      if (device.name.empty()) continue;
      if (!name.empty() && CutDeviceName(device.name) != name) continue;
      if (auto source = backend->Bind(device)) return source;
    }
  }
  return nullptr;
}

CaptureError CaptureGraph::CreateGraphWithDevice(const std::string& name) {
  // A new graph replaces the old one, whose streaming ends with it.
  if (source_) source_->Stop();
  source_.reset();
  running_ = false;
  std::unique_ptr<CaptureSource> source = FindSource(name);
  if (!source) {
    Report(kMsgNoDevice, kSeverityQuiet);
    return CaptureError::kFailed;
  }
  const CaptureError error = source->Connect();
  if (Failed(error)) {
    Report(kMsgDeviceNotAdded, kSeverityQuiet);
    return error;
  }
  source_ = std::move(source);
  return CaptureError::kNone;
}

CaptureError CaptureGraph::ListSizes(const std::string& name) {
  if (name.empty() && deviceNames_.empty()) return CaptureError::kFailed;
  const std::string device = name.empty() ? deviceNames_.front() : name;
  const CaptureError status = CreateGraphWithDevice(device);
  if (Failed(status)) return status;
  std::vector<CaptureCapability> caps;
  if (Failed(source_->Capabilities(caps))) return CaptureError::kFailed;
  sizeNames_.clear();
  for (std::size_t i = 0; i < caps.size(); ++i) {
    const CaptureCapability& cap = caps[i];
    if (!cap.sizedVideo || !cap.rgb24) continue;
    if (i == 0 && width_ == 0) {
      width_ = cap.width;
      height_ = cap.height;
    }
    sizeNames_.push_back(SizeName(cap.width, cap.height));
  }
  return sizeNames_.empty() ? CaptureError::kFailed : CaptureError::kNone;
}

CaptureError CaptureGraph::SetCaptureFormat(int sizeIndex) {
  std::vector<CaptureCapability> caps;
  if (!source_ || Failed(source_->Capabilities(caps))) return CaptureError::kFailed;
  if (sizeIndex < 0 || static_cast<std::size_t>(sizeIndex) >= caps.size()) return CaptureError::kFailed;
  CaptureCapability cap = caps[static_cast<std::size_t>(sizeIndex)];
  if (cap.sizedVideo && cap.rgb24) {
    width_ = cap.width;
    height_ = cap.height;
  }
  if (width_ != 0) cap.width = width_; else width_ = cap.width;
  if (height_ != 0) cap.height = height_; else height_ = cap.height;
  if (frameRate_ == 0.0)
    frameRate_ = FrameTimeToRate(cap.frameTime);
  else
    cap.frameTime = RateToFrameTime(frameRate_);
  cap.sizedVideo = true;
  cap.rgb24 = true;
  cap.bitCount = 24;
  // The device may agree to another size than asked: the grabber must read frames of the
  // size that will actually arrive, or it would read past them.
  const CaptureError error = source_->SetFormat(cap);
  if (Failed(error) || !cap.rgb24 || cap.width <= 0 || cap.height <= 0) {
    Report(kMsgFormatRefused, kSeverityQuiet);
    return Failed(error) ? error : CaptureError::kFailed;
  }
  width_ = cap.width;
  height_ = cap.height;
  callback_.SetFrameSize(width_, height_);
  return CaptureError::kNone;
}

CaptureError CaptureGraph::Run(CaptureEventSink& window) {
  callback_.SetNotify(&window);
  // The new event queue takes the old one's place; the old one's watcher ends with it.
  auto events = std::make_unique<GraphEvents>(&window, kGraphEventInstance);
  std::swap(mediaEvent_, events);
  events.reset();
  const CaptureError error = source_->Run(callback_, *mediaEvent_);
  if (Failed(error)) {
    source_->Stop();
    TearDown();
    stopped_ = 1;
    Report(kMsgWouldNotRun, kSeverityQuiet);
    return error;
  }
  running_ = true;
  Report(kMsgRunning, kSeverityTrace);
  return CaptureError::kNone;
}

CaptureError CaptureGraph::Open(CaptureEventSink& window, int deviceIndex, int sizeIndex) {
  stopped_ = 0;
  if (deviceIndex < 0 || static_cast<std::size_t>(deviceIndex) >= deviceNames_.size())
    return CaptureError::kBadIndex;
  deviceName_ = deviceNames_[static_cast<std::size_t>(deviceIndex)];
  CaptureError status = CreateGraphWithDevice(deviceName_);
  if (!Failed(status)) status = SetCaptureFormat(sizeIndex);
  if (!Failed(status)) status = Run(window);
  return status;
}

void CaptureGraph::TearDown() {
  source_.reset();
  running_ = false;
}

void CaptureGraph::Stop() {
  if (source_) source_->Stop();
  TearDown();
  // A device that comes back after the user stopped capture must not restart it.
  mediaEvent_.reset();
  stopped_ = 1;
}

CaptureError CaptureGraph::Pause() {
  if (!source_ || !running_) return CaptureError::kFailed;
  return source_->Pause();
}

void CaptureGraph::HandleGraphEvents(CaptureEventSink& window) {
  GraphEvent event;
  // The queue is looked up afresh each time: a reopen replaces it.
  while (mediaEvent_ && mediaEvent_->GetEvent(event)) {
    if (event == GraphEvent::kDeviceBack) {
      // Reopening capture alone would leave the server that the loss stopped stopped for
      // good: the window runs Play, which starts both.
      window.SendDeviceBack();
      continue;
    }
    if (source_) source_->Stop();
    TearDown();
    stopped_ = 1;
    // The notice goes first: the box waits for a click, and what the server does about
    // the loss (stop, or serve a no-signal picture) must not wait with it.
    window.SendStopServer();
    if (sink_) sink_("Error!", resources_.String(kMsgNoDevice));
  }
}

CaptureError CaptureGraph::ShowPropertyPages(CaptureEventSink& window) {
  if (!source_) return CaptureError::kFailed;
  if (!source_->HasControls()) return CaptureError::kNotOffered;
  return window.ShowDeviceControls(*source_);
}

bool CaptureGraph::ProcessFrame(const OverlaySettings& settings) {
  if (!spare_) spare_ = frames_.TakeSpare();
  if (!callback_.ProcessFrame(settings, *spare_)) return false;
  FrameInfo info;
  info.width = static_cast<std::int32_t>(spare_->Width());
  info.height = static_cast<std::int32_t>(spare_->Height());
  frames_.Publish(std::move(spare_), info);
  return true;
}

std::int32_t CaptureGraph::TurnedWidth() const {
  std::int32_t width = 0, height = 0;
  TurnedSize(Turn(), width_, height_, width, height);
  return width;
}

std::int32_t CaptureGraph::TurnedHeight() const {
  std::int32_t width = 0, height = 0;
  TurnedSize(Turn(), width_, height_, width, height);
  return height;
}

}  // namespace orbiscope
