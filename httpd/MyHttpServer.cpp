#include "httpd/MyHttpServer.h"

#include <string>

#include "log/LogXML.h"

namespace orbiscope {

CMyHttpServer::~CMyHttpServer() { Stop(); }

void CMyHttpServer::OnError(std::string_view message) {
  std::string text = "Error: ";
  text.append(message).append("\n");
  GetLog().WriteEntry(text, "MyHttpServer", "CMyHttpServer");
}

}  // namespace orbiscope
