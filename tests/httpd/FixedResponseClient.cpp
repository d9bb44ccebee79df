#include "tests/httpd/FixedResponseClient.h"

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

bool FixedResponseClient::Run(CThreadPoolRequest& request) {
  std::unique_ptr<HttpConnection> connection = std::move(request.m_pConnection);
  if (!connection) return true;
  CHttpServer* server = GetServer();
  const CHttpServerSettings* settings = server != nullptr ? server->GetSettings() : nullptr;
  const std::string serverName = settings != nullptr ? settings->m_sServerName : "Zentrux/1.62";
  auto after = HttpConnection::After::Close;
  // Every whole request already received is answered, in order, as the session does.
  while (connection->Input().State() == FrameState::Complete ||
         (after == HttpConnection::After::KeepAlive && connection->ReadAhead() &&
          connection->Input().State() == FrameState::Complete)) {
    if (!OnRequest(*connection)) return true;
    const std::string raw = connection->Input().TakeRequest();
    const std::string_view head(raw);
    const std::string requestLine(head.substr(0, head.find("\r\n")));
    const bool keepAlive = (settings == nullptr || settings->m_bKeepAlives) && AsksKeepAlive(head);
    const std::string& body = Body(requestLine);
    CHttpResponseHeader header;
    header.AddStatusLine(200);
    header.AddDate(CurrentHttpTime());
    header.AddServer(serverName);
    header.AddAllow(false);
    if (keepAlive) header.AddKeepAlive();
    header.AddContentLength(static_cast<std::int32_t>(body.size()));
    header.AddContentType("text/html");
    const std::string bytes = header.GetData();
    connection->Output().Borrow(bytes);
    connection->Output().Borrow(body);
    const bool sent = connection->Output().SendNow(
                          connection->Fd(), "FixedResponseClient, Failed to send, Error:") == 0;
    const bool logged = server != nullptr &&
                        PostAccessLog(server->GetLog(), "HttpClient", connection->Peer(), {},
                                      requestLine, 200, static_cast<std::int32_t>(body.size()));
    if (tally_ != nullptr) {
      ++tally_->answered;
      if (logged) ++tally_->logged;
    }
    after = sent && keepAlive ? HttpConnection::After::KeepAlive : HttpConnection::After::Close;
    if (after == HttpConnection::After::Close || !connection->Output().Empty()) break;
  }
  ReturnToLoop(std::move(connection), after);
  return true;
}

}  // namespace orbiscope::testing
