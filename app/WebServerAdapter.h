#pragma once
// The program's web-server handle: a CWebServer serving the content folder with the
// program's client session.

#include <string>

#include "app/WebServerHandle.h"
#include "config/MessageSink.h"

namespace orbiscope {

class ResourceLibrary;

// Makes one CWebServer per start; `exeFolder` holds WebServer.config.xml. Made as the
// program starts: the status page counts the program's uptime from then.
WebServerFactory MakeWebServerFactory(const ResourceLibrary& resources, MessageSink messages,
                                      std::string exeFolder);

}  // namespace orbiscope
