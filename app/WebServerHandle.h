#pragma once
// The controller's view of one web-server object: created by each start, stopped and
// freed by each stop. The program's handle is a CWebServer; tests use stand-ins.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "capture/LatestFrame.h"
#include "httpd/camera/ServingStatus.h"

namespace orbiscope {

class CPicture;
class LogXML;

// What the controller's settings pages give a start.
struct WebServerStart {
  std::string address;        // the address to listen on, as the server page shows it
  std::uint16_t port = 80;
  std::string contentFolder;  // the folder every directory alias maps onto
  std::string cameraUser;
  std::string cameraPassword;  // the digest, 32 upper-case hexadecimal digits
  bool phonePages = false;
  // Section SERVER's keys for the compatibility routes and browsers on other origins.
  bool openCamera = false;   // OPENCAMERA: "/?action=..." without credentials
  bool digestAuth = false;   // DIGESTAUTH: those routes also answer HTTP Digest
  std::string corsOrigin;    // CORSORIGIN: the origin allowed to read the camera routes
};

class WebServerHandle {
public:
  virtual ~WebServerHandle() = default;
  // True when the server listens and its workers run.
  virtual bool InitServer(LogXML& log, const WebServerStart& start) = 0;
  // Ends every server thread and closes the socket; allowed after a failed InitServer.
  virtual void Stop() = 0;
  // The processed frame becomes the one the camera routes serve; shared, not copied.
  virtual void UpdateFrame(std::shared_ptr<const CPicture> frame, const FrameInfo& info) = 0;
  // The camera is away: the no-signal picture becomes the one the camera routes and streams
  // serve. Taken over, and not counted as a camera frame in the status page's rate.
  virtual void PublishNoSignal(CPicture&& /*frame*/, std::int32_t /*height*/, std::int32_t /*width*/) {}
  // What the controller shows of capture, for the status page; also before InitServer.
  virtual void ReportCapture(const CaptureReport& /*report*/) {}
  // Capture has stopped: no frame follows, so the live streams end.
  virtual void CaptureStopped() {}
};

using WebServerFactory = std::function<std::unique_ptr<WebServerHandle>()>;

}  // namespace orbiscope
