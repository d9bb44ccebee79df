#pragma once
// The program's server: the engine with the application's error-log line.

#include "httpd/HttpServer.h"

namespace orbiscope {

class CMyHttpServer : public CHttpServer {
public:
  using CHttpServer::CHttpServer;
  // Stops while this class's error hook is still the one the listener and workers call.
  ~CMyHttpServer() override;
  // "Error: %s\n" into the log (module "MyHttpServer").
  void OnError(std::string_view message) override;
};

}  // namespace orbiscope
