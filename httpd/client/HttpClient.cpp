#include "httpd/client/HttpClient.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "httpd/HttpServer.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/ThreadPoolRequest.h"
#include "httpd/client/HtmlText.h"
#include "httpd/client/PathResolver.h"

namespace orbiscope {
namespace {

// The reverse-lookup name of the client, or "" when there is none.
std::string LookUpHostName(const sockaddr_in& address) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                    sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
    return {};
  }
  return host;
}

}  // namespace

CHttpClient::CHttpClient(const ResourceLibrary& resources, std::unique_ptr<SessionRoutes> routes)
    : resources_(resources), routes_(std::move(routes)) {}

CHttpClient::~CHttpClient() = default;

const CHttpServerSettings& CHttpClient::Settings() const { return *Server().GetSettings(); }

void CHttpClient::ReportError(const std::string& message) {
  if (GetServer() != nullptr) Server().OnError(message);
}

bool CHttpClient::Run(CThreadPoolRequest& request) {
  connection_ = std::move(request.m_pConnection);
  if (!connection_) return true;
  m_Request = ClientRequest();
  m_Request.clientAddress = connection_->Peer();
  after_ = HttpConnection::After::Close;
  sendFailed_ = false;
  following_ = false;
  try {
    PrepareSettings();
    HandleClient();
  } catch (const std::bad_alloc&) {
    AnswerOutOfMemory();
  }
  ReturnToLoop(std::move(connection_), after_);
  m_Request = ClientRequest();
  return true;
}

ParsePolicy CHttpClient::Policy() const {
  ParsePolicy policy;
  policy.allowBasic = Settings().m_bAllowBasicAuthentication;
  policy.allowNtlm = Settings().m_bAllowNTLMAuthentication;
  return policy;
}

bool CHttpClient::ParseHead() { return orbiscope::ParseHead(m_Request, Policy()); }

bool CHttpClient::ParseStartLine(std::string_view line) {
  return orbiscope::ParseStartLine(m_Request, line, Policy());
}

bool CHttpClient::ParseCredentials(std::string_view value) {
  return orbiscope::ParseCredentials(m_Request, value, Policy());
}

bool CHttpClient::ParseField(std::string_view line, bool isFirstLine, const std::string& name,
                             const std::string& value) {
  return orbiscope::ParseField(m_Request, line, isFirstLine, name, value, Policy());
}

std::size_t CHttpClient::FindLineEnd(std::size_t position) {
  std::string_view raw = m_Request.raw;
  std::size_t limit = m_Request.bodyLength > 0 || m_Request.bodyOffset > 0 ? m_Request.bodyOffset
                                                                           : raw.size();
  return orbiscope::FindLineEnd(raw, position, limit);
}

void CHttpClient::PrepareSettings() {
  const CHttpServerSettings* settings = Server().GetSettings();
  if (settings == preparedFor_) return;
  serverName_ = HeaderValue(settings->m_sServerName);
  allowDelete_ = settings->m_bAllowDeleteRequest;
  directories_.clear();
  for (const HttpDirectorySettings& entry : settings->m_Directories) {
    auto directory = std::make_unique<CHttpDirectory>();
    directory->Configure(entry);
    directories_.push_back(std::move(directory));
  }
  preparedFor_ = settings;
}

const CHttpDirectory* CHttpClient::FindDirectory(std::string_view alias) {
  PrepareSettings();
  return orbiscope::FindDirectory(directories_, alias);
}

std::optional<ResolvedPath> CHttpClient::ResolvePath(std::string_view url) {
  PrepareSettings();
  return orbiscope::ResolvePath(directories_, url);
}

void CHttpClient::HandleClient() {
  HttpConnection& connection = *connection_;
  // The set-up of the connection, once, before its first request.
  if (!connection.started) {
    connection.started = true;
    if (Settings().m_bDNSLookup) connection.hostName = LookUpHostName(m_Request.clientAddress);
    if (!AcceptsConnection()) {
      ReturnErrorMessage(400);
      return;
    }
  }
  m_Request.clientHostName = connection.hostName;

  // The requests already received whole are answered in order; the loop reads the others
  // and waits for the responses that are still going out.
  RequestAssembler& input = connection.Input();
  for (;;) {
    keepAlive_ = false;
    responseStart_ = connection.Output().Sent();
    const FrameState state = input.State();
    if (state == FrameState::TooLarge || state == FrameState::Unsupported) {
      // Whatever else the client sent cannot be told apart from this request: close, once
      // the client had a moment to read the answer.
      m_Request.raw = input.TakeAll();
      ReturnErrorMessage(state == FrameState::TooLarge ? 400 : 501);
      Server().CountRequestServed();
      after_ = HttpConnection::After::Linger;
      return;
    }
    m_Request.raw = input.TakeRequest();
    ServeRequest();
    Server().CountRequestServed();
    EndRequest();
    if (following_ && !sendFailed_) {
      after_ = HttpConnection::After::Feed;
      return;
    }
    if (!keepAlive_ || sendFailed_) {
      after_ = HttpConnection::After::Close;
      return;
    }
    after_ = HttpConnection::After::KeepAlive;
    if (!connection.Output().Empty() || RequestToStop()) return;
    if (input.State() == FrameState::Incomplete && !connection.ReadAhead()) return;
  }
}

void CHttpClient::AnswerOutOfMemory() {
  // Memory ran short for this request alone, most likely: it fails, and the worker, the
  // other connections and the process go on.
  following_ = false;
  after_ = HttpConnection::After::Close;
  OutputQueue& output = connection_->Output();
  // Once part of the answer went out, another one after it would be read as its rest.
  const bool begun = output.Sent() != responseStart_;
  output.Clear();
  try {
    if (begun || sendFailed_) {
      ReportError("CHttpClient::HandleClient, Out of memory while answering, connection closed");
      return;
    }
    ReportError("CHttpClient::HandleClient, Out of memory, answered 503");
    keepAlive_ = false;
    ReturnErrorMessage(503);
    // What else the client sent is dropped while it reads the answer.
    after_ = HttpConnection::After::Linger;
  } catch (const std::bad_alloc&) {
    output.Clear();
    after_ = HttpConnection::After::Close;
  }
}

void CHttpClient::ServeRequest() {
  if (!ParseHead()) {
    ReturnErrorMessage(400);
    return;
  }
  const CHttpServerSettings& settings = Settings();
  keepAlive_ = settings.m_bKeepAlives && m_Request.keepAliveRequested;
  // Basic credentials are not logged on here (no account logon on this platform); they
  // still count as credentials for the gate below.

  const bool offersAuthentication =
      settings.m_bAllowBasicAuthentication || settings.m_bAllowNTLMAuthentication;
  if (m_Request.authScheme != AuthScheme::Anonymous || settings.m_bAllowAnonymous) {
    Dispatch();
  } else if (offersAuthentication) {
    SendChallenge(m_Request.url);
  } else {
    ReportError(
        "CHttpClient::HandleClient, Anonymous access is disabled in addition to all "
        "authentication mechanisms, All requests will Fail!!");
    ReturnErrorMessage(500);
  }
}

void CHttpClient::Dispatch() {
  switch (m_Request.verb) {
    case HttpVerb::Get:
    case HttpVerb::Post:
    case HttpVerb::Head:
      if (!routes_ || !routes_->Serve(*this)) HandleDirectories();
      return;
    case HttpVerb::Delete:
      if (Settings().m_bAllowDeleteRequest) {
        HandleDelete();
        return;
      }
      break;
    default:
      break;
  }
  ReturnErrorMessage(501);
}

void CHttpClient::HandleDirectories() {
  std::optional<ResolvedPath> resolved = ResolvePath(m_Request.url);
  if (!resolved) {
    ReturnErrorMessage(404);
    return;
  }
  m_Request.url = std::move(resolved->url);
  m_Request.localFile = std::move(resolved->localFile);
  m_Request.pathInfo = std::move(resolved->pathInfo);
  resolved->directory->HandleClient(*this, resolved->isDirectory);
}

void CHttpClient::HandleDelete() {
  const CHttpServerSettings& settings = Settings();
  if (m_Request.authScheme == AuthScheme::Anonymous) {
    if (settings.m_bAllowBasicAuthentication || settings.m_bAllowNTLMAuthentication) {
      SendChallenge(m_Request.url);
    } else {
      ReturnErrorMessage(404);
    }
    return;
  }
  const std::optional<ResolvedPath> resolved = ResolvePath(m_Request.url);
  std::error_code ec;
  // Only a URL that names an existing file exactly may delete it: with path info left
  // over, "/a.txt/x" would otherwise remove a.txt.
  if (!resolved || resolved->isDirectory || !resolved->directory->GetWritable() ||
      !resolved->pathInfo.empty() || std::filesystem::is_directory(resolved->localFile, ec)) {
    ReturnErrorMessage(404);
    return;
  }
  const CHttpDirectory* directory = resolved->directory;
  m_Request.localFile = resolved->localFile;
  m_Request.pathInfo = resolved->pathInfo;
  // No account logon stands behind Basic credentials here, so "any credentials" would let
  // anyone delete: only the directory's own user name and password may.
  const std::string& user = directory->GetUserName();
  const std::string& password = directory->GetPassword();
  if (user.empty() || password.empty() || m_Request.userName != user ||
      m_Request.password != password) {
    SendChallenge(directory->ChallengeRealm());
    return;
  }
  if (::unlink(m_Request.localFile.c_str()) == 0) {
    SendDeleted();
  } else if (errno == EACCES || errno == EPERM) {
    SendChallenge(m_Request.url);
  } else {
    ReturnErrorMessage(500);
  }
}

void CHttpClient::EndRequest() {
  // No identity was taken on (no logon on this platform), so there is none to give back.
  sockaddr_in address = m_Request.clientAddress;
  std::string host = std::move(m_Request.clientHostName);
  m_Request = ClientRequest();
  m_Request.clientAddress = address;
  m_Request.clientHostName = std::move(host);
}

bool CHttpClient::IsHeaderless() const {
  // A request refused before its version was read (0) still gets a status line, so the
  // client can tell the 400 from a page.
  return m_Request.version != 0 && m_Request.version < 10;
}

}  // namespace orbiscope
