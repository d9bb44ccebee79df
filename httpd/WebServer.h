#pragma once
// The one object through which the controller runs the web server: reads
// WebServer.config.xml beside the executable, builds the settings and the MIME map, starts
// the server and logs the start-up block; stops and releases it again.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/MimeMap.h"
#include "httpd/MyHttpServer.h"

namespace orbiscope {

class LogXML;
class ResourceLibrary;

// Where and what a start serves; the rest comes from WebServer.config.xml.
struct WebServerOptions {
  std::string bindAddress;       // a dotted address or host name; empty: any address
  std::uint16_t port = 80;
  std::string contentDirectory;  // the folder every virtual directory maps onto
};

// Raises the soft descriptor limit towards what `maxConnections` need (a socket each, and a
// file each while the loop finishes sending one), as far as the hard limit allows. Answers
// the limit now in force when it stays below the need, else 0.
unsigned long RaiseDescriptorLimit(int maxConnections);

class CWebServer {
public:
  // The settings file's name, beside the executable.
  static constexpr std::string_view kSettingsFileName = "WebServer.config.xml";

  // executableDir holds WebServer.config.xml; clientFactory makes each worker's session
  // object; sink shows message boxes (the missing-directories box, the bind-failure box).
  CWebServer(const ResourceLibrary& resources, MessageSink sink, std::string executableDir,
             ClientFactory clientFactory);
  ~CWebServer();  // Stop and Release
  CWebServer(const CWebServer&) = delete;
  CWebServer& operator=(const CWebServer&) = delete;

  // Reads the settings and starts the server; true when it listens and every worker started.
  // On false the server object may exist still: the caller runs Stop and Release.
  bool InitServer(LogXML& log, const WebServerOptions& options);
  // Stops the server if one exists (its workers and waiter end before this returns).
  void Stop();
  // Frees the server object, then the settings and the MIME map, so a later InitServer
  // starts clean.
  void Release();

  // The server object, null while stopped.
  CMyHttpServer* Server() const { return server_.get(); }
  // The settings of the last InitServer, null after Release.
  const CHttpServerSettings* Settings() const { return settings_.get(); }
  // The full path of WebServer.config.xml.
  std::string SettingsPath() const;

private:
  void Log(const std::string& text);

  const ResourceLibrary& resources_;
  MessageSink sink_;
  std::string executableDir_;
  ClientFactory clientFactory_;
  LogXML* log_ = nullptr;
  ConfigStore store_;
  std::unique_ptr<CHttpServerSettings> settings_;
  std::unique_ptr<CMimeMap> mimeMap_;
  std::unique_ptr<CMyHttpServer> server_;
  std::thread waiter_;
};

}  // namespace orbiscope
