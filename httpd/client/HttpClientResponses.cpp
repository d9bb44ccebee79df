// How a session answers: the one writer every answer goes through, and the answers the
// session makes itself (status pages, redirect, challenge, deleted page).

#include "httpd/client/HttpClient.h"

#include <string>

#include "httpd/AccessLog.h"
#include "httpd/HttpServer.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/MimeMap.h"
#include "httpd/client/HtmlText.h"
#include "log/PlatformTexts.h"

namespace orbiscope {
namespace {

constexpr std::string_view kPacketsFailure = platform_texts::kTransmitPacketsFailed;
constexpr std::string_view kFileFailure = platform_texts::kTransmitFileFailed;

}  // namespace

AccessRecord CHttpClient::LogRecord(int code, std::int64_t bytes) const {
  AccessRecord record;
  record.module = routes_ ? routes_->LogModule() : std::string_view("HttpClient");
  record.client = m_Request.clientAddress;
  record.user = m_Request.userName;
  record.requestLine = routes_ ? routes_->LoggedRequestLine(m_Request.requestLine)
                               : MaskUserInfoPassword(m_Request.requestLine);
  record.code = code;
  record.bytes = bytes;
  return record;
}

void CHttpClient::PostLog(int code, std::int64_t bytes) {
  PostAccessLog(Server().GetLog(), LogRecord(code, bytes));
}

std::string CHttpClient::MimeType(std::string_view fileName) const {
  const CMimeMap* mime = Settings().m_pMimeManager;
  return mime != nullptr ? mime->GetMimeType(fileName) : std::string(CMimeMap::kDefaultType);
}

std::string CHttpClient::HeadOf(const Response& response, std::uint64_t length) const {
  std::string mapped;
  std::string_view type = response.type;
  if (type.empty() && !response.typeOf.empty()) type = mapped = MimeType(response.typeOf);
  ResponseHead head;
  head.code = response.code;
  head.date = response.date ? &*response.date : nullptr;
  head.server = serverName_;
  head.allowDelete = allowDelete_;
  head.fields = response.fields.Text();
  head.expires = response.expires ? &*response.expires : nullptr;
  head.expiresAtDate = response.expiresNow;
  head.keepAlive = keepAlive_;
  head.lastModified = response.lastModified ? &*response.lastModified : nullptr;
  head.length = response.lengthless ? -1 : static_cast<std::int64_t>(length);
  head.type = type;
  head.routeFields = response.routeFields;
  return FormatResponseHead(head);
}

bool CHttpClient::Respond(Response response) {
  const bool headVerb = m_Request.verb == HttpVerb::Head;
  const std::uint64_t length = response.file >= 0 ? response.fileSize : response.bytes.size();
  const std::int64_t logged =
      response.logged >= 0 ? response.logged : static_cast<std::int64_t>(length);
  const bool headless =
      response.head == Response::Head::None ||
      (response.head == Response::Head::FromHttp10 && m_Request.version <= kHttp09);
  if (!response.keepAlive || response.lengthless) keepAlive_ = false;

  std::string head;
  bool withBody = !headVerb || response.head == Response::Head::None;
  std::string_view failureText = response.headlessFailure;
  if (!headless) {
    if (headVerb && response.bodyWithHead) {
      withBody = true;
      if (length > 0) keepAlive_ = false;
    }
    head = HeadOf(response, length);
    failureText = withBody && response.file >= 0 ? kFileFailure : kPacketsFailure;
  }

  if (response.feed && !headVerb && connection_) {
    // Logged once the feed ends, with what the request says now.
    LogXML& log = Server().GetLog();
    const std::uint64_t headSize = head.size();
    connection_->Follow(std::move(response.feed),
                        [&log, record = LogRecord(response.code, 0), headSize,
                         onEnd = std::move(response.onFeedEnd)](std::uint64_t sent) mutable {
                          if (onEnd) onEnd();
                          record.bytes =
                              static_cast<std::int64_t>(sent > headSize ? sent - headSize : 0);
                          PostAccessLog(log, record);
                        });
    following_ = true;
    return Send(head, response, false, failureText);
  }
  const bool sent = Send(head, response, withBody, failureText);
  PostLog(response.code, logged);
  return sent;
}

bool CHttpClient::Send(std::string_view head, Response& response, bool withBody,
                       std::string_view failureText) {
  if (!connection_ || sendFailed_) return false;
  OutputQueue& output = connection_->Output();
  output.Borrow(head);
  if (withBody && response.file >= 0) {
    output.BorrowFile(response.file, 0, response.fileSize);
  } else if (withBody && response.bytes.data() != nullptr) {
    if (response.owner) {
      output.Share(std::move(response.owner), response.bytes);
    } else {
      output.Borrow(response.bytes);
    }
  }
  const int error = output.SendNow(connection_->Fd(), failureText);
  if (error == 0) return true;
  sendFailed_ = true;
  ReportError(std::string(failureText) + std::to_string(error));
  return false;
}

Response CHttpClient::PageResponse(int code, std::string_view body) const {
  Response response;
  response.code = code;
  response.head = Response::Head::Always;
  response.type = "text/html";
  response.bytes = body;
  return response;
}

Response CHttpClient::ErrorResponse(int code) const {
  Response response = PageResponse(code, Server().GetErrorPage(code));
  if (IsHeaderless()) {
    response.head = Response::Head::None;
    response.headlessFailure = "CHttpClient::ReturnErrorMessage, Failed to send to socket, Error:";
  }
  return response;
}

int CHttpClient::SendPage(Response page) {
  const int length = static_cast<int>(page.bytes.size());
  Respond(std::move(page));
  return length;
}

int CHttpClient::ReturnErrorMessage(int code) { return SendPage(ErrorResponse(code)); }

int CHttpClient::SendRedirect(std::string_view url) {
  Response response = PageResponse(302, Server().GetErrorPage(302));
  response.fields.AddLocation(HeaderValue(url));
  return SendPage(std::move(response));
}

int CHttpClient::SendChallenge(std::string_view realm) {
  const CHttpServerSettings& settings = Settings();
  Response response = PageResponse(401, Server().GetErrorPage(401));
  if (settings.m_bAllowNTLMAuthentication)
    response.fields.AddNtlmChallenge(HeaderValue(m_Request.challengeText));
  if (settings.m_bAllowBasicAuthentication) response.fields.AddBasicChallenge(HeaderValue(realm));
  return SendPage(std::move(response));
}

int CHttpClient::SendDeleted() { return SendPage(PageResponse(200, Server().GetDeletedPage())); }

}  // namespace orbiscope
