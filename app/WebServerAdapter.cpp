#include "app/WebServerAdapter.h"

#include <chrono>

#include "httpd/WebServer.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

class WebServerAdapter final : public WebServerHandle {
public:
  WebServerAdapter(const ResourceLibrary& resources, MessageSink messages, std::string exeFolder,
                   std::chrono::steady_clock::time_point programStarted)
      : server_(resources, std::move(messages), std::move(exeFolder),
                [&resources, this] { return MakeCameraSession(resources, camera_); }) {
    camera_.m_ProgramStarted = programStarted;
  }

  bool InitServer(LogXML& log, const WebServerStart& start) override {
    // Before the start: a request arriving the moment the server listens reads them.
    camera_.m_sCameraUser = start.cameraUser;
    camera_.m_sCameraPassword = start.cameraPassword;
    camera_.m_nPhoneSwitch = start.phonePages ? 1 : 0;
    camera_.m_bOpenCamera = start.openCamera;
    camera_.m_bDigestAuth = start.digestAuth;
    camera_.m_sCorsOrigin = start.corsOrigin;
    WebServerOptions options;
    options.bindAddress = start.address;
    options.port = start.port;
    options.contentDirectory = start.contentFolder;
    return server_.InitServer(log, options);
  }
  void Stop() override {
    server_.Stop();
    server_.Release();
  }
  // Only a running server's routes read the frame.
  void UpdateFrame(std::shared_ptr<const CPicture> frame, const FrameInfo& info) override {
    if (server_.Server() == nullptr) return;
    // A turn applied live changes the size the status page tells; it follows the frames.
    CaptureReport capture = camera_.m_Status.Capture();
    if (capture.width != info.width || capture.height != info.height) {
      capture.width = info.width;
      capture.height = info.height;
      camera_.m_Status.Report(std::move(capture));
    }
    // Stamped as the frame arrives: the time clients read as its capture.
    FrameInfo stamped = info;
    if (stamped.captured == std::chrono::system_clock::time_point{})
      stamped.captured = std::chrono::system_clock::now();
    camera_.m_LatestFrame.Publish(std::move(frame), stamped);
    camera_.m_Status.FramePublished(std::chrono::steady_clock::now());
  }
  void PublishNoSignal(CPicture&& frame, std::int32_t height, std::int32_t width) override {
    if (server_.Server() == nullptr) return;
    camera_.m_LatestFrame.Publish(std::move(frame), height, width);
  }
  void ReportCapture(const CaptureReport& report) override { camera_.m_Status.Report(report); }

  void CaptureStopped() override { camera_.m_Streams.EndAll(); }

private:
  CameraState camera_;  // outlives the server, whose sessions read it
  CWebServer server_;
};

}  // namespace

WebServerFactory MakeWebServerFactory(const ResourceLibrary& resources, MessageSink messages,
                                      std::string exeFolder) {
  // Made once, as the program starts: every server's status page counts its uptime from here.
  return [&resources, messages = std::move(messages), exeFolder = std::move(exeFolder),
          started = std::chrono::steady_clock::now()] {
    return std::make_unique<WebServerAdapter>(resources, messages, exeFolder, started);
  };
}

}  // namespace orbiscope
