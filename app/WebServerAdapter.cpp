#include "app/WebServerAdapter.h"

#include "httpd/WebServer.h"
#include "httpd/client/HttpClient.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

class WebServerAdapter final : public WebServerHandle {
public:
  WebServerAdapter(const ResourceLibrary& resources, MessageSink messages, std::string exeFolder)
      : server_(resources, std::move(messages), std::move(exeFolder),
                [&resources] { return std::make_unique<CMyHttpClient>(resources); }) {}

  bool InitServer(LogXML& log, std::string_view address, std::uint16_t port,
                  std::string_view contentFolder, std::string_view cameraUser,
                  std::string_view cameraPassword, unsigned char phonePages) override {
    return server_.InitServer(log, address, port, contentFolder, cameraUser, cameraPassword,
                              phonePages);
  }
  void Stop() override {
    server_.Stop();
    server_.Release();
  }
  void UpdateFrame(const CPicture& frame, std::int32_t height, std::int32_t width) override {
    server_.UpdateFrame(frame, height, width);
  }

private:
  CWebServer server_;
};

}  // namespace

WebServerFactory MakeWebServerFactory(const ResourceLibrary& resources, MessageSink messages,
                                      std::string exeFolder) {
  return [&resources, messages = std::move(messages), exeFolder = std::move(exeFolder)] {
    return std::make_unique<WebServerAdapter>(resources, messages, exeFolder);
  };
}

}  // namespace orbiscope
