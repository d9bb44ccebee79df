#pragma once
// The web server with the program's camera session, serving on loopback as the camera
// benchmarks run it: the picture types in its MIME map, ten workers, kept-alive
// connections, a camera user and password, the phone pages on. Frames are published into
// Camera().m_LatestFrame by the benchmark.

#include <cstdint>
#include <memory>
#include <string>

#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "httpd/MimeMap.h"
#include "httpd/MyHttpServer.h"
#include "httpd/WebServer.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"
#include "httpd/client/Md5Hex.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

class BenchWebServer {
public:
  // The log and the MIME settings go into folder, named after program.
  BenchWebServer(const std::string& folder, const std::string& program, const std::string& user,
                 const std::string& password) {
    log_.SetExecutablePath(folder + "/" + program);
    logOpen_ = log_.Open();
    mimeStore_.SetFileName(folder + "/" + program + "_mime.xml");
    const char* types[][2] = {{"JPG", "image/jpeg"}, {"PNG", "image/png"}, {"GIF", "image/gif"},
                              {"WBMP", "image/vnd.wap.wbmp"}};
    mimeStore_.SetInt("GENERAL", "MimeRegistred", 4);
    for (int i = 0; i < 4; ++i) {
      const std::string section = "MIME\\MIME" + std::to_string(i + 1);
      mimeStore_.SetValue(section, "KEY", types[i][0]);
      mimeStore_.SetValue(section, "VALUE", types[i][1]);
    }
    mime_.Load(mimeStore_);
    settings_.m_bBind = true;
    settings_.m_sBindAddress = "127.0.0.1";
    settings_.m_nThreadPoolSize = 10;
    settings_.m_bKeepAlives = true;
    settings_.m_pMimeManager = &mime_;
    camera_.m_sCameraUser = user;
    Md5Hex(password, camera_.m_sCameraPassword);
    camera_.m_nPhoneSwitch = 1;
    settings_.m_ClientFactory = [this] { return MakeCameraSession(resources_, camera_); };
  }
  BenchWebServer(const BenchWebServer&) = delete;
  BenchWebServer& operator=(const BenchWebServer&) = delete;
  ~BenchWebServer() {
    Stop();
    log_.Close();
  }

  // Set up before Start; the sessions read it while the server runs.
  CameraState& Camera() { return camera_; }

  // Serves on port (0: a free one); false when the log or the listener cannot be opened.
  bool Start(std::uint16_t port) {
    if (!logOpen_) return false;
    settings_.m_nPort = port;
    RaiseDescriptorLimit(settings_.m_nMaxConnections);  // as the program does at each start
    server_ = std::make_unique<CMyHttpServer>(log_, resources_, StderrMessageSink());
    return server_->Start(&settings_);
  }
  unsigned Port() const { return server_ ? server_->GetListeningPort() : 0; }
  void Stop() {
    if (server_) server_->Stop();
    server_.reset();
  }

private:
  LogXML log_;
  bool logOpen_ = false;
  ResourceLibrary resources_;
  ConfigStore mimeStore_;
  CMimeMap mime_;
  CHttpServerSettings settings_;
  CameraState camera_;
  std::unique_ptr<CMyHttpServer> server_;  // last: its workers read everything above
};

}  // namespace orbiscope
