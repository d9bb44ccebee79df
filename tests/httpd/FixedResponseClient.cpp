#include "tests/httpd/FixedResponseClient.h"

#include <poll.h>
#include <strings.h>

#include <memory>

#include "httpd/AccessLog.h"
#include "httpd/HttpResponseHeader.h"
#include "httpd/HttpServer.h"

namespace orbiscope::testing {

namespace {

bool AsksKeepAlive(std::string_view head) {
  constexpr std::string_view kField = "\r\nConnection:";
  for (std::size_t at = 0; (at = head.find("\r\n", at)) != std::string_view::npos; at += 2) {
    if (head.size() - at < kField.size() ||
        ::strncasecmp(head.data() + at, kField.data(), kField.size()) != 0)
      continue;
    std::size_t value = at + kField.size();
    while (value < head.size() && head[value] == ' ') ++value;
    return head.size() - value >= 10 && ::strncasecmp(head.data() + value, "Keep-Alive", 10) == 0;
  }
  return false;
}

}  // namespace

FixedResponseClient::FixedResponseClient(std::string body, Tally* tally)
    : body_(std::move(body)), tally_(tally) {}

bool FixedResponseClient::Run(const CThreadPoolRequest& request) {
  std::unique_ptr<AcceptedConnection> connection(static_cast<AcceptedConnection*>(request.m_pData));
  if (OnConnection(connection->m_Socket)) Serve(connection->m_Socket, connection->m_ClientAddress);
  return true;
}

void FixedResponseClient::Serve(CHttpSocket& socket, const sockaddr_in& peer) {
  CHttpServer* server = GetServer();
  const CHttpServerSettings* settings = server != nullptr ? server->GetSettings() : nullptr;
  const int idleMs = settings != nullptr ? static_cast<int>(settings->m_dwIdleClientTimeout) : 30000;
  const unsigned writeMs = settings != nullptr ? settings->m_dwWritableTimeout : 10000;
  const std::string serverName = settings != nullptr ? settings->m_sServerName : "Zentrux/1.62";
  std::string buffer;
  char chunk[4096];
  try {
    for (;;) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (socket.WaitFor(POLLIN, idleMs, {StopEventFd()}) != 0) return;  // idle or stopping
        const std::size_t n = socket.Receive(chunk, sizeof chunk);
        buffer.append(chunk, n);
      }
      const std::string_view head(buffer.data(), end + 2);
      const std::string requestLine(head.substr(0, head.find("\r\n")));
      const bool keepAlive = (settings == nullptr || settings->m_bKeepAlives) && AsksKeepAlive(head);
      CHttpResponseHeader header;
      header.AddStatusLine(200);
      header.AddDate(CurrentHttpTime());
      header.AddServer(serverName);
      header.AddAllow(false);
      if (keepAlive) header.AddKeepAlive();
      header.AddContentLength(static_cast<std::int32_t>(body_.size()));
      header.AddContentType("text/html");
      socket.SendPackets(header.GetData(), body_.data(), body_.size(), writeMs);
      const bool logged = server != nullptr &&
                          PostAccessLog(server->GetLog(), "HttpClient", peer, {}, requestLine, 200,
                                        static_cast<std::int32_t>(body_.size()));
      if (tally_ != nullptr) {
        ++tally_->answered;
        if (logged) ++tally_->logged;
      }
      buffer.erase(0, end + 4);
      if (!keepAlive) return;
    }
  } catch (const CWSocketException&) {
    // The peer went away or stalled past the write time-out: the connection ends.
  }
}

}  // namespace orbiscope::testing
