#include "app/WebServerAdapter.h"

#include <chrono>

#include "httpd/WebServer.h"
#include "httpd/camera/MyHttpClient.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

class WebServerAdapter final : public WebServerHandle {
public:
  WebServerAdapter(const ResourceLibrary& resources, MessageSink messages, std::string exeFolder,
                   std::chrono::steady_clock::time_point programStarted)
      : server_(resources, std::move(messages), std::move(exeFolder),
                [&resources, this] { return std::make_unique<CMyHttpClient>(resources, camera_); }) {
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
  // Only a running server's routes read the frame: a stopped one is not worth the copy.
  void UpdateFrame(const CPicture& frame, std::int32_t height, std::int32_t width) override {
    if (server_.Server() == nullptr) return;
    // Stamped as the frame arrives, before the copy: the time clients read as its capture.
    const auto captured = std::chrono::system_clock::now();
    camera_.m_LatestFrame.Publish(frame, height, width, captured);
    camera_.m_Status.FramePublished(std::chrono::steady_clock::now());
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
