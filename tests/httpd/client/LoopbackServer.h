#pragma once
// A real server on 127.0.0.1 with the session under test, a content folder, a log file and
// the built resource library, plus a raw client that talks to it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigStore.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/MimeMap.h"
#include "httpd/MyHttpServer.h"
#include "httpd/client/HttpClient.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/support/TempDir.h"

namespace orbiscope::testing {

// The server as the tests configure it; change settings and directories before Start().
class LoopbackServer {
public:
  LoopbackServer() {
    root_ = tmp_.path() / "root";
    std::filesystem::create_directories(root_);
    log_.SetExecutablePath((tmp_.path() / "orbiscope").string());
    log_.Open();
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    settings_.m_nPort = 0;
    settings_.m_bBind = true;
    settings_.m_sBindAddress = "127.0.0.1";
    settings_.m_nThreadPoolSize = 2;
    settings_.m_dwIdleClientTimeout = 5000;
    settings_.m_dwWritableTimeout = 5000;
    settings_.m_Directories.clear();
    settings_.m_ClientFactory = [this] { return std::make_unique<CHttpClient>(resources_); };
    ConfigStore store;
    store.SetFileName((tmp_.path() / "mime.xml").string());
    store.SetInt("GENERAL", "MimeRegistred", 2);
    store.SetValue("MIME\\MIME1", "KEY", "TXT");
    store.SetValue("MIME\\MIME1", "VALUE", "text/plain");
    store.SetValue("MIME\\MIME2", "KEY", "HTML");
    store.SetValue("MIME\\MIME2", "VALUE", "text/html");
    mime_.Load(store);
    settings_.m_pMimeManager = &mime_;
    AddDirectory("/", root_.string());
  }
  ~LoopbackServer() { Stop(); }

  HttpDirectorySettings& AddDirectory(std::string alias, std::string folder) {
    HttpDirectorySettings d;
    d.m_sAlias = std::move(alias);
    d.m_sDirectory = std::move(folder);
    d.m_sDefaultFile = "index.html";
    settings_.m_Directories.push_back(std::move(d));
    return settings_.m_Directories.back();
  }

  void Start() {
    server_ = std::make_unique<CMyHttpServer>(log_, resources_, [](std::string_view, std::string_view) {});
    ASSERT_TRUE(server_->Start(&settings_));
    port_ = server_->GetListeningPort();
  }
  void Stop() {
    if (server_) server_->Stop();
    server_.reset();
  }

  // The log as written so far.
  std::string LogText() const { return ReadFile(log_.FilePath()); }
  // Whether the log came to hold `text`: an access-log line may follow the answer.
  bool LogShows(const std::string& text) const { return FileShows(log_.FilePath(), text); }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // The running server; valid between Start and Stop.
  CMyHttpServer& server() { return *server_; }
  CHttpServerSettings& settings() { return settings_; }
  const ResourceLibrary& resources() const { return resources_; }
  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& tmp() const { return tmp_.path(); }
  std::uint16_t port() const { return port_; }

private:
  TempDir tmp_;
  std::filesystem::path root_;
  LogXML log_;
  ResourceLibrary resources_;
  CMimeMap mime_;
  CHttpServerSettings settings_;
  std::unique_ptr<CMyHttpServer> server_;
  std::uint16_t port_ = 0;
};

// How long a client waits for data: a hung server fails the test, not CI. The thread
// sanitizer's build runs several times slower, and its largest pictures take that longer.
#if defined(__SANITIZE_THREAD__)
inline constexpr long kReadTimeoutSeconds = 60;
#else
inline constexpr long kReadTimeoutSeconds = 10;
#endif

// A socket connected to the port on 127.0.0.1, reading with a generous time-out (a small
// receive buffer when `receiveBuffer` is above 0); `connected` tells whether it connected.
inline int ConnectLoopback(std::uint16_t port, bool& connected, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  timeval tv {kReadTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  return fd;
}

// One connection; reads with a generous time-out.
class RawClient {
public:
  explicit RawClient(std::uint16_t port) { fd_ = ConnectLoopback(port, connected_); }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }

  void Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }
  // Everything until the server closes (or the read time-out).
  std::string ReadAll() {
    std::string out;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // One response: its head, then Content-Length body bytes.
  std::string ReadResponse() {
    while (pending_.find("\r\n\r\n") == std::string::npos) {
      if (!Fill()) return std::exchange(pending_, {});
    }
    std::size_t headEnd = pending_.find("\r\n\r\n") + 4;
    std::size_t length = 0;
    std::size_t at = pending_.find("Content-Length: ");
    if (at != std::string::npos && at < headEnd) length = std::stoul(pending_.substr(at + 16));
    bool isHead = lastWasHead_;
    if (isHead) length = 0;
    while (pending_.size() < headEnd + length) {
      if (!Fill()) break;
    }
    std::string response = pending_.substr(0, headEnd + length);
    pending_.erase(0, response.size());
    return response;
  }
  void ExpectHeadResponses(bool head) { lastWasHead_ = head; }
  // True when the server closed the connection (a read yields end of stream).
  bool ClosedByServer() {
    if (!pending_.empty()) return false;
    char c;
    return ::recv(fd_, &c, 1, 0) == 0;
  }

private:
  bool Fill() {
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool lastWasHead_ = false;
  std::string pending_;
};

// One exchange on a fresh connection: the bytes sent, everything received until close.
inline std::string Exchange(std::uint16_t port, const std::string& request) {
  RawClient client(port);
  client.Send(request);
  return client.ReadAll();
}

// The status line of a response.
inline std::string StatusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

// The names of the header fields, in order.
inline std::vector<std::string> FieldNames(const std::string& response) {
  std::vector<std::string> names;
  std::size_t end = response.find("\r\n\r\n");
  std::size_t at = response.find("\r\n");
  while (at != std::string::npos && at < end) {
    std::size_t next = response.find("\r\n", at + 2);
    std::string line = response.substr(at + 2, next - at - 2);
    names.push_back(line.substr(0, line.find(':')));
    at = next;
  }
  return names;
}

// The value of a header field, or "" when absent.
inline std::string Field(const std::string& response, const std::string& name) {
  std::size_t end = response.find("\r\n\r\n");
  std::size_t at = response.find("\r\n" + name + ": ");
  if (at == std::string::npos || at > end) return {};
  at += name.size() + 4;
  return response.substr(at, response.find("\r\n", at) - at);
}

// The body of a response.
inline std::string Body(const std::string& response) {
  std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace orbiscope::testing
