#pragma once
// The program's server: the engine with the application's error-log line.

#include "httpd/HttpServer.h"

namespace orbiscope {

class CMyHttpServer : public CHttpServer {
public:
  using CHttpServer::CHttpServer;
  // "Error: %s\n" into the log (module "MyHttpServer").
  void OnError(std::string_view message) override;
};

}  // namespace orbiscope
