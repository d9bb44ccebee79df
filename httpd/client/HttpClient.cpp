#include "httpd/client/HttpClient.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "httpd/HttpServer.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/ThreadPoolRequest.h"
#include "httpd/client/PathResolver.h"
#include "httpd/client/RequestReader.h"

namespace orbiscope {
namespace {

// How long a refused connection is read and dropped before it is closed.
constexpr int kDrainSteps = 10;
constexpr unsigned kDrainStepMs = 100;

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

CHttpClient::CHttpClient(const ResourceLibrary& resources) : resources_(resources) {}

CHttpClient::~CHttpClient() = default;

const CHttpServerSettings& CHttpClient::Settings() const { return *Server().GetSettings(); }

void CHttpClient::ReportError(const std::string& message) {
  if (GetServer() != nullptr) Server().OnError(message);
}

bool CHttpClient::Run(const CThreadPoolRequest& request) {
  std::unique_ptr<AcceptedConnection> connection(static_cast<AcceptedConnection*>(request.m_pData));
  if (!connection) return true;
  m_Socket.Attach(connection->m_Socket.Detach());
  m_Request = ClientRequest();
  m_Request.clientAddress = connection->m_ClientAddress;
  HandleClient();
  m_Socket.Close();
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

void CHttpClient::PrepareDirectories() {
  const CHttpServerSettings* settings = Server().GetSettings();
  if (settings == directoriesOf_) return;
  directories_.clear();
  for (const HttpDirectorySettings& entry : settings->m_Directories) {
    auto directory = std::make_unique<CHttpDirectory>();
    directory->Configure(entry);
    directories_.push_back(std::move(directory));
  }
  directoriesOf_ = settings;
}

const CHttpDirectory* CHttpClient::FindDirectory(std::string_view alias) {
  PrepareDirectories();
  return orbiscope::FindDirectory(directories_, alias);
}

bool CHttpClient::ResolvePath(std::string& url, std::string& localFile, std::string& pathInfo,
                              bool& isDirectory, const CHttpDirectory*& directory,
                              std::size_t& matchedUrlLength, std::size_t& matchedPathLength) {
  PrepareDirectories();
  return orbiscope::ResolvePath(directories_, url, localFile, pathInfo, isDirectory, directory,
                                matchedUrlLength, matchedPathLength);
}

void CHttpClient::HandleClient() {
  const CHttpServerSettings& settings = Settings();
  m_Request.clientHostName.clear();
  if (settings.m_bDNSLookup) m_Request.clientHostName = LookUpHostName(m_Request.clientAddress);

  if (!AcceptsConnection()) {
    ReturnErrorMessage(400);
    return;
  }

  // poll(2) needs no event registration; without a timer the reads poll in steps.
  IdleTimer timer;
  timer.Arm(settings.m_dwIdleClientTimeout);
  RequestAssembler assembler(kReadStep);

  do {
    m_bResponseKeepAlive = false;
    std::string raw;
    ReadOutcome outcome =
        timer.IsValid()
            ? ReadRequest(m_Socket, assembler, raw, settings.m_dwIdleClientTimeout, timer,
                          StopEventFd())
            : ReadRequest(m_Socket, assembler, raw, settings.m_dwIdleClientTimeout, *this);
    if (outcome == ReadOutcome::Failed) break;
    m_Request.raw = std::move(raw);
    if (outcome == ReadOutcome::TooLarge || outcome == ReadOutcome::Unsupported) {
      // Whatever else the client sent cannot be told apart from this request: close.
      ReturnErrorMessage(outcome == ReadOutcome::TooLarge ? 400 : 501);
      DrainBeforeClose();
      break;
    }
    ServeRequest();
    EndRequest();
  } while (m_bResponseKeepAlive);
}

void CHttpClient::ServeRequest() {
  if (!ParseHead()) {
    ReturnErrorMessage(400);
    return;
  }
  const CHttpServerSettings& settings = Settings();
  m_bResponseKeepAlive = settings.m_bKeepAlives && m_Request.keepAliveRequested;
  // Basic credentials are not logged on here (no account logon on this platform); they
  // still count as credentials for the gate below, and m_Request.loggedOn stays false.

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
      if (!HandleCameraRoute()) HandleDirectories();
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
  bool isDirectory = false;
  const CHttpDirectory* directory = nullptr;
  std::size_t urlLength = 0, pathLength = 0;
  if (!ResolvePath(m_Request.url, m_Request.localFile, m_Request.pathInfo, isDirectory, directory,
                   urlLength, pathLength)) {
    ReturnErrorMessage(404);
    return;
  }
  directory->HandleClient(*this, isDirectory);
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
  bool isDirectory = false;
  const CHttpDirectory* directory = nullptr;
  std::size_t urlLength = 0, pathLength = 0;
  std::string url = m_Request.url;
  bool resolved = ResolvePath(url, m_Request.localFile, m_Request.pathInfo, isDirectory,
                              directory, urlLength, pathLength);
  std::error_code ec;
  // Only a URL that names an existing file exactly may delete it: with path info left
  // over, "/a.txt/x" would otherwise remove a.txt.
  if (!resolved || isDirectory || !directory->GetWritable() || !m_Request.pathInfo.empty() ||
      std::filesystem::is_directory(m_Request.localFile, ec)) {
    ReturnErrorMessage(404);
    return;
  }
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
    SendDeleted(m_Request.localFile);
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

void CHttpClient::DrainBeforeClose() {
  // Closing with unread bytes makes the system reset the connection, and a client still
  // sending would lose the 400 it was sent. Say that nothing more comes, then read and
  // drop what is still on its way, within bounds.
  ::shutdown(m_Socket.Handle(), SHUT_WR);
  char sink[kReadStep];
  std::size_t dropped = 0;
  for (int step = 0; step < kDrainSteps && dropped < kMaxRequestBytes; ++step) {
    try {
      if (!m_Socket.IsReadible(kDrainStepMs)) continue;
      dropped += m_Socket.Receive(sink, sizeof sink);
    } catch (const CWSocketException&) {
      return;  // the peer closed too, or the connection failed
    }
  }
}

bool CHttpClient::IsHeaderless() const {
  // A request refused before its version was read (0) still gets a status line, so the
  // client can tell the 400 from a page.
  return m_Request.version != 0 && m_Request.version < 10;
}

}  // namespace orbiscope
