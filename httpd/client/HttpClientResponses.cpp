// The responses a session writes itself: status pages, redirect, challenge, deleted page,
// buffers (camera pictures) and the header-plus-file send.

#include "httpd/client/HttpClient.h"

#include <string>

#include "httpd/AccessLog.h"
#include "httpd/HttpServer.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/MimeMap.h"
#include "httpd/client/HtmlText.h"

namespace orbiscope {
namespace {

constexpr std::string_view kHtmlType = "text/html";

}  // namespace

CHttpResponseHeader CHttpClient::StartHeader(int code, const HttpTime& now) const {
  CHttpResponseHeader header;
  header.AddStatusLine(code);
  header.AddDate(now);
  header.AddServer(HeaderValue(Settings().m_sServerName));
  header.AddAllow(Settings().m_bAllowDeleteRequest);
  return header;
}

void CHttpClient::PostLog(int code, std::int64_t bytes) {
  PostAccessLog(Server().GetLog(), "HttpClient", m_Request.clientAddress, m_Request.userName,
                MaskUserInfoPassword(m_Request.requestLine), code, bytes);
}

void CHttpClient::EndHeader(CHttpResponseHeader& header, std::string_view type,
                           std::size_t size) const {
  if (m_bResponseKeepAlive) header.AddKeepAlive();
  header.AddContentLength(static_cast<std::int64_t>(size));
  header.AddContentType(HeaderValue(type));
}

bool CHttpClient::SendWithBody(CHttpResponseHeader& header, std::string_view type,
                               const void* body, std::size_t size) {
  EndHeader(header, type, size);
  // A HEAD answer is the head alone, its length the one a GET would get.
  return SendResponse(header, body, m_Request.verb == HttpVerb::Head ? 0 : size);
}

int CHttpClient::SendPage(CHttpResponseHeader& header, int code, std::string_view body) {
  SendWithBody(header, kHtmlType, body.data(), body.size());
  PostLog(code, static_cast<std::int64_t>(body.size()));
  return static_cast<int>(body.size());
}

int CHttpClient::ReturnErrorMessage(int code) {
  std::string_view body = Server().GetErrorPage(code);
  if (!IsHeaderless()) {
    CHttpResponseHeader header = StartHeader(code, CurrentHttpTime());
    return SendPage(header, code, body);
  }
  Send({}, body.data(), body.size(), -1,
       "CHttpClient::ReturnErrorMessage, Failed to send to socket, Error:");
  PostLog(code, static_cast<std::int64_t>(body.size()));
  return static_cast<int>(body.size());
}

int CHttpClient::SendRedirect(std::string_view url) {
  CHttpResponseHeader header = StartHeader(302, CurrentHttpTime());
  header.AddLocation(HeaderValue(url));
  return SendPage(header, 302, Server().GetErrorPage(302));
}

int CHttpClient::SendChallenge(std::string_view realm) {
  const CHttpServerSettings& settings = Settings();
  CHttpResponseHeader header = StartHeader(401, CurrentHttpTime());
  if (settings.m_bAllowNTLMAuthentication) header.AddNtlmChallenge(HeaderValue(m_Request.challengeText));
  if (settings.m_bAllowBasicAuthentication) header.AddBasicChallenge(HeaderValue(realm));
  return SendPage(header, 401, Server().GetErrorPage(401));
}

int CHttpClient::SendDeleted(std::string_view /*localFile*/) {
  CHttpResponseHeader header = StartHeader(200, CurrentHttpTime());
  return SendPage(header, 200, Server().GetDeletedPage());
}

bool CHttpClient::TransmitBuffer(const void* data, std::size_t size, bool /*reserved*/,
                                 bool expires) {
  const CHttpServerSettings& settings = Settings();
  bool sent = true;
  if (m_Request.version > kHttp09) {
    HttpTime now = CurrentHttpTime();
    CHttpResponseHeader header = StartHeader(200, now);
    if (expires) header.AddExpires(now);
    std::string type = settings.m_pMimeManager != nullptr
                           ? settings.m_pMimeManager->GetMimeType(m_Request.localFile)
                           : std::string(CMimeMap::kDefaultType);
    // A picture goes with a HEAD answer too. A client that expects the head alone would
    // read the picture as its next response, so nothing follows it on this connection.
    if (m_Request.verb == HttpVerb::Head && size > 0) m_bResponseKeepAlive = false;
    EndHeader(header, type, size);
    sent = SendResponse(header, data, size);
  } else if (m_Request.verb != HttpVerb::Head) {
    sent = Send({}, data, size, -1, "CHttpClient::TransmitBuffer, Failed to send to socket, Error:");
  }
  PostLog(200, static_cast<std::int64_t>(size));
  return sent;
}

bool CHttpClient::SendResponse(const CHttpResponseHeader& header, const void* body,
                               std::size_t size) {
  std::string head = header.GetData();
  if (!nextFields_.empty()) {
    const std::size_t end = head.size() - (header.GetAddEntityBodySeparator() ? 2 : 0);
    head.insert(end, nextFields_);
    nextFields_.clear();
  }
  return Send(head, body, size, -1,
              "CHttpClient::TransmitBuffer, Failed to send response via TransmitPackets, Error:");
}

bool CHttpClient::TransmitFile(const CHttpResponseHeader& header, int fileFd, std::uint64_t size) {
  return Send(header.GetData(), nullptr, size, fileFd,
              "CHttpClient::TransmitFile, Failed to send response via TransmitFile, Error:");
}

bool CHttpClient::Send(std::string_view head, const void* body, std::uint64_t size, int fileFd,
                       std::string_view failureText) {
  if (!connection_ || sendFailed_) return false;
  OutputQueue& output = connection_->Output();
  output.Borrow(head);
  if (fileFd >= 0) {
    output.BorrowFile(fileFd, 0, size);
  } else if (body != nullptr) {
    const std::string_view bytes(static_cast<const char*>(body), static_cast<std::size_t>(size));
    if (bodyOwner_) {
      output.Share(std::move(bodyOwner_), bytes);
    } else {
      output.Borrow(bytes);
    }
  }
  bodyOwner_.reset();
  const int error = connection_->SendNow(failureText);
  if (error == 0) return true;
  sendFailed_ = true;
  ReportError(std::string(failureText) + std::to_string(error));
  return false;
}

}  // namespace orbiscope
