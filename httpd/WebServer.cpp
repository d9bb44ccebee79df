#include "httpd/WebServer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

#include "log/LogXML.h"
#include "log/PlatformTexts.h"
#include "resources/ResourceIds.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

namespace {

constexpr std::string_view kModule = "WebServer";
constexpr std::string_view kFunction = "CWebServer::InitServer";

std::string Format(const char* format, long value) {
  char text[256];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Format(const char* format, const std::string& value) {
  std::string text(format);
  const std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

// Descriptors the process needs besides its connections: the log, the settings, the
// loop's and the pool's own, the program's.
constexpr rlim_t kSpareDescriptors = 256;

}  // namespace

unsigned long RaiseDescriptorLimit(int maxConnections) {
  const rlim_t need = 2 * static_cast<rlim_t>(std::max(maxConnections, 0)) + kSpareDescriptors;
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < need) {
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? need : std::min(need, limit.rlim_max);
    if (wanted > limit.rlim_cur) {
      limit.rlim_cur = wanted;
      ::setrlimit(RLIMIT_NOFILE, &limit);
      ::getrlimit(RLIMIT_NOFILE, &limit);
    }
  }
  return limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < need ? limit.rlim_cur : 0;
}

CWebServer::CWebServer(const ResourceLibrary& resources, MessageSink sink,
                       std::string executableDir, ClientFactory clientFactory)
    : resources_(resources),
      sink_(std::move(sink)),
      executableDir_(std::move(executableDir)),
      clientFactory_(std::move(clientFactory)),
      store_(sink_) {}

CWebServer::~CWebServer() {
  Stop();
  Release();
}

std::string CWebServer::SettingsPath() const {
  std::string path = executableDir_;
  if (!path.empty() && path.back() != '/') path += '/';
  return path.append(kSettingsFileName);
}

void CWebServer::Log(const std::string& text) {
  if (log_ != nullptr) log_->WriteEntry(text, kModule, kFunction);
}

bool CWebServer::InitServer(LogXML& log, const WebServerOptions& options) {
  // A server still held from an earlier start is stopped first: replacing it while its
  // waiter thread runs would end the process.
  if (server_) {
    Stop();
    Release();
  }
  // The log first: every failure below is told there.
  log_ = &log;

  // Fresh settings, read from the file beside the executable.
  settings_ = std::make_unique<CHttpServerSettings>(executableDir_);
  store_.SetFileName(SettingsPath());

  // Without a directory there is nothing to serve.
  const long directories = store_.GetInt("GENERAL", "Directories", 0);
  if (directories == 0) {
    Log("Could not read any directory settings from the xml file");
    std::string caption = resources_.String(res::kStrAppTitle);
    if (caption.empty()) caption = "Orbiscope";
    if (sink_) sink_(caption, resources_.String(res::kStrNoDirectories));
    return false;
  }

  // The directories, each served from the content folder.
  settings_->m_Directories.clear();
  for (long i = 0; i < directories; ++i) {
    const std::string section = "DIR" + std::to_string(i);
    HttpDirectorySettings directory;
    directory.m_sAlias = store_.GetValue(section, "Alias", "");
    directory.m_sDirectory = options.contentDirectory;
    directory.m_sDefaultFile = store_.GetValue(section, "DefaultFile", "index.html");
    directory.m_bDirectoryListing = store_.GetInt(section, "DirectoryListing", 0) != 0;
    directory.m_bWritable = store_.GetInt(section, "Writable", 0) != 0;
    directory.m_bScript = store_.GetInt(section, "Script", 0) != 0;
    directory.m_sUsername = store_.GetValue(section, "Username", "");
    directory.m_sPassword = store_.GetValue(section, "Password", "");
    directory.m_sRealm = store_.GetValue(section, "Realm", "");
    settings_->m_Directories.push_back(std::move(directory));
  }

  // What the caller decides: the port, the sessions and the address to bind.
  CHttpServerSettings& s = *settings_;
  s.m_nPort = options.port;
  s.m_ClientFactory = clientFactory_;
  s.m_bDNSLookup = store_.GetInt("GENERAL", "DNSLookup", 0) != 0;
  if (!options.bindAddress.empty()) {
    s.m_bBind = true;
    s.m_sBindAddress = options.bindAddress;
  }

  // The general settings; each key defaults to the field's current value.
  const auto readBool = [this](const char* key, bool current) {
    return store_.GetInt("GENERAL", key, current ? 1 : 0) != 0;
  };
  const auto readUnsigned = [this](const char* key, unsigned current) {
    return static_cast<unsigned>(store_.GetInt("GENERAL", key, static_cast<long>(current)));
  };
  s.m_dwIdleClientTimeout = readUnsigned("Timeout", s.m_dwIdleClientTimeout);
  s.m_sServerName = store_.GetValue("GENERAL", "ServerName", s.m_sServerName);
  s.m_sUsername = store_.GetValue("GENERAL", "Username", s.m_sUsername);
  s.m_sPassword = store_.GetValue("GENERAL", "Password", s.m_sPassword);
  s.m_nThreadPoolSize = static_cast<int>(store_.GetInt("GENERAL", "ThreadPoolSize", s.m_nThreadPoolSize));
  s.m_dwWritableTimeout = readUnsigned("WritableTimeout", s.m_dwWritableTimeout);
  s.m_bEnableThreadLifetime = readBool("EnableThreadLifetime", s.m_bEnableThreadLifetime);
  s.m_dwThreadLifetime = readUnsigned("ThreadLifetime", s.m_dwThreadLifetime);
  s.m_bUseIOCPQueue = readBool("UseIOCPQueue", s.m_bUseIOCPQueue);
  s.m_bKeepAlives = readBool("KeepAlives", s.m_bKeepAlives);
  s.m_bAutoExpire = readBool("AutoExpire", s.m_bAutoExpire);
  s.m_bAllowDeleteRequest = readBool("AllowDeletes", s.m_bAllowDeleteRequest);
  s.m_bAllowAnonymous = readBool("AllowAnonymous", s.m_bAllowAnonymous);
  s.m_bAllowBasicAuthentication = readBool("AllowBasicAuthentication", s.m_bAllowBasicAuthentication);
  s.m_bAllowNTLMAuthentication = readBool("AllowNTLMAuthentication", s.m_bAllowNTLMAuthentication);
  s.m_nMaxConnections = static_cast<int>(store_.GetInt("GENERAL", "MaxConnections", s.m_nMaxConnections));
  s.m_nMaxConnectionsPerClient =
      static_cast<int>(store_.GetInt("GENERAL", "MaxConnectionsPerClient", s.m_nMaxConnectionsPerClient));
  std::vector<std::string> untrustable;
  s.m_TrustedProxies = ParseTrustedProxies(store_.GetValue("GENERAL", "TrustedProxies", ""), untrustable);

  // The MIME map: without one no answer could name its type.
  mimeMap_ = std::make_unique<CMimeMap>();
  if (mimeMap_->Load(store_, "MIME") == 0) {
    Log("Failed to read any MIME map settings from xml file\n");
    return false;
  }
  s.m_pMimeManager = mimeMap_.get();

  // The server itself.
  Log("Web server is starting...\n");
  const unsigned long descriptors = RaiseDescriptorLimit(s.m_nMaxConnections);
  server_ = std::make_unique<CMyHttpServer>(log, resources_, sink_);
  // The camera's values belong to the program's session, which holds them before the
  // server starts (see the client factory).
  if (!server_->Start(settings_.get())) {
    Log("Failed to start up the web server\n");
    return false;
  }

  // The start-up report, in its order.
  Log(Format("Listening for incoming connections on port %ld\n", s.m_nPort));
  if (s.m_bDNSLookup) Log("Reverse DNS lookups will be performed on client requests\n");
  if (s.m_bBind) Log(Format("Binding to local address: %s\n", s.m_sBindAddress));
  Log(Format("Client idle timeout: %ld ms\n", static_cast<long>(static_cast<int>(s.m_dwIdleClientTimeout))));
  Log(Format("Client write timeout: %ld ms\n", static_cast<long>(static_cast<int>(s.m_dwWritableTimeout))));
  Log(Format("Configured Server Name: %s\n", s.m_sServerName));
  Log(Format("Thread pool size: %ld\n", s.m_nThreadPoolSize));
  Log(Format("Maximum connections: %ld\n", s.m_nMaxConnections));
  Log(Format("Maximum connections per client: %ld\n", s.m_nMaxConnectionsPerClient));
  if (!s.m_TrustedProxies.empty())
    Log(Format("Connections from these trusted proxies are not limited per client: %s\n",
               FormatAddresses(s.m_TrustedProxies)));
  for (const std::string& entry : untrustable)
    Log(Format("Warning: TrustedProxies entry \"%s\" is not an IPv4 address and is ignored\n", entry));
  if (descriptors != 0)
    Log(Format("The descriptor limit of %ld is below what the maximum connections need; "
               "connections may be refused sooner\n",
               static_cast<long>(descriptors)));
  if (s.m_bEnableThreadLifetime)
    Log(Format("Threads in the thread pool will be recycled every %ld minute(s)\n",
               static_cast<long>(static_cast<int>(s.m_dwThreadLifetime))));
  Log(s.m_bUseIOCPQueue ? platform_texts::kUsingIocpQueue : "Using Directed Thread pool queue\n");
  if (s.m_bKeepAlives) Log("Using Keep Alives\n");
  if (s.m_bAutoExpire) Log("Reponses will be marked with an immediate \"Expires\" header\n");
  Log(s.m_bAllowDeleteRequest ? "HTTP DELETE verb will be allowed\n"
                              : "HTTP DELETE verb will not be allowed\n");
  Log("CGI support is disabled in this configuration\n");
  Log("ISAPI support is disabled in this configuration\n");
  Log(s.m_bAllowAnonymous ? "Anonymous Connections allowed\n"
                          : "Anonymous Connections are not allowed\n");
  if (s.m_bAllowBasicAuthentication) Log("Basic Authentication allowed\n");
  if (s.m_bAllowNTLMAuthentication) Log("NTLM Authentication allowed\n");
  // No system account stands behind credentials here: the challenge is all there is.
  if (!s.m_bAllowAnonymous)
    Log("Anonymous Connections are challenged, but no system account checks the credentials: "
        "protect folders with an alias's Username and Password\n");
  for (const std::string& warning : ExposedDirectoryWarnings(s.m_Directories)) Log(warning);

  // Every worker must have begun.
  if (!server_->m_ThreadPool.WaitForThreadsInitInstance()) {
    Log("Error WaitForThreadsInitInstance \n");
    return false;
  }

  // The waiter is joined by Stop rather than left detached: detached, it could still be
  // entering Wait on a server object the caller has already freed.
  CMyHttpServer* server = server_.get();
  waiter_ = std::thread([server] { server->Wait(); });
  return true;
}

void CWebServer::Stop() {
  if (server_) server_->Stop();
  if (waiter_.joinable()) waiter_.join();
}

void CWebServer::Release() {
  // The server (and every worker that reads the settings and the map) goes first.
  server_.reset();
  settings_.reset();
  mimeMap_.reset();
  store_.SetFileName({});
}

}  // namespace orbiscope
