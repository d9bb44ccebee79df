#pragma once
// Glossary: `CHttpClient` and httpd/client/ are the server's session (one per connection's
// request), not a client of some other server.
//
// The session of one connection: answers its whole requests one after another, applies the
// authentication gate, dispatches by verb, serves directories and DELETE, and answers
// errors with the server's status pages. One object per pool worker, reused for every
// request the worker takes; the event loop reads the requests and holds the connection in
// between, so the session never waits for a client.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "httpd/AccessLog.h"
#include "httpd/Feed.h"
#include "httpd/HttpConnection.h"
#include "httpd/HttpDirectory.h"
#include "httpd/HttpResponseHeader.h"
#include "httpd/ThreadPoolClient.h"
#include "httpd/client/ClientRequest.h"
#include "httpd/client/PathResolver.h"
#include "httpd/client/RequestParser.h"

namespace orbiscope {

class CHttpServer;
class CHttpServerSettings;
class ResourceLibrary;

class CHttpClient;

// One answer, as CHttpClient::Respond writes it; its head is laid out as ResponseHead says.
struct Response {
  // How the answer starts.
  enum class Head {
    FromHttp10,  // with its head unless the request is HTTP/0.9 (or older): then the body
                 // alone, and nothing for HEAD
    Always,      // with its head whatever the version
    None,        // the body alone, for HEAD too: a status page an HTTP/0.9 client reads
  };

  int code = 200;
  Head head = Head::FromHttp10;
  std::string_view type;       // Content-Type; control characters are dropped
  std::string_view typeOf;     // else the file name whose type the MIME map tells
  CHttpResponseHeader fields;  // header lines after Allow (no status line)
  std::string_view routeFields;  // header lines a route ends the head with
  std::optional<HttpTime> date;  // the Date field; now when not given
  std::optional<HttpTime> expires;
  bool expiresNow = false;       // Expires the Date's time: stale at once
  std::optional<HttpTime> lastModified;
  // False closes the connection after this answer, whatever the request asked.
  bool keepAlive = true;
  // The body: `bytes`, kept alive by `owner` while they wait to go out (when set, a client
  // that takes them slowly costs no copy, and many answers share one picture), or `fileSize`
  // bytes of the open file `file`.
  std::string_view bytes;
  std::shared_ptr<const void> owner;
  int file = -1;
  std::uint64_t fileSize = 0;
  // No Content-Length: the connection's end ends the body (and so nothing follows it).
  bool lengthless = false;
  // The body goes with a HEAD answer too; a client that expects the head alone would read it
  // as its next response, so the connection then closes.
  bool bodyWithHead = false;
  // The byte count of the access-log line; the body's length when negative.
  std::int64_t logged = -1;
  // What a failed send of a body without its head reports, followed by the error code.
  std::string_view headlessFailure =
      "CHttpClient::TransmitBuffer, Failed to send to socket, Error:";
  // Once the head is out the connection follows `feed` instead of reading another request
  // (not for HEAD). Its access-log line is written when the feed ends, counting the bytes
  // sent after the head, right after `onFeedEnd` ran.
  std::shared_ptr<FeedChannel> feed;
  std::function<void()> onFeedEnd;
};

// Routes a program adds to every session: asked for GET, POST and HEAD before the
// directories, and deciding how the access log shows a request line.
class SessionRoutes {
public:
  virtual ~SessionRoutes() = default;
  // True when the session's current request was one of these routes and is answered.
  virtual bool Serve(CHttpClient& session) = 0;
  // The request line as the access log may show it.
  virtual std::string LoggedRequestLine(std::string_view requestLine) const = 0;
  // The module name of the session's access-log entries.
  virtual std::string_view LogModule() const = 0;
};

class CHttpClient : public CThreadPoolClient {
public:
  // The resources give the listing page's opening and closing parts; `routes`, when given,
  // are served before the directories.
  explicit CHttpClient(const ResourceLibrary& resources,
                       std::unique_ptr<SessionRoutes> routes = nullptr);
  ~CHttpClient() override;

  // Answers the connection's whole request (and those pipelined behind it), then hands the
  // connection back to the loop; true so the worker goes on.
  bool Run(CThreadPoolRequest& request) override;

  // Writes `response`, logs it (or, for a feed, arranges its line for the feed's end) and
  // sends what the client takes now; the event loop sends the rest, so no writer waits for
  // a slow client. False when the connection failed; the failure is reported.
  bool Respond(Response response);
  // The answer of status page `code` (the 1005 page for codes without their own), for a
  // route to add to before it responds.
  Response ErrorResponse(int code) const;
  // Responds with status page `code`; answers its length.
  int ReturnErrorMessage(int code);
  // 302 to `url`.
  int SendRedirect(std::string_view url);
  // The page after a successful DELETE.
  int SendDeleted();
  // 401 with the challenges the settings allow, for `realm`.
  int SendChallenge(std::string_view realm);
  // The access-log record of an answer to the current request.
  AccessRecord LogRecord(int code, std::int64_t bytes) const;

  // Maps a URL to its virtual directory and local file (see PathResolver.h).
  std::optional<ResolvedPath> ResolvePath(std::string_view url);
  // Parses the raw bytes of the current request (see RequestParser.h).
  virtual bool ParseHead();
  virtual bool ParseStartLine(std::string_view line);
  virtual bool ParseCredentials(std::string_view value);
  virtual bool ParseField(std::string_view line, bool isFirstLine, const std::string& name,
                          const std::string& value);
  // Asked once per connection before it is served; false answers 400 and ends it.
  virtual bool AcceptsConnection() { return true; }
  // The first directory whose alias equals `alias` without regard to letter case.
  virtual const CHttpDirectory* FindDirectory(std::string_view alias);
  // Answers the whole requests the connection holds, in turn, while it is kept alive.
  virtual void HandleClient();
  // The end of the line starting at `position` in the current request.
  virtual std::size_t FindLineEnd(std::size_t position);

  // The server and its settings; valid while the worker serves.
  CHttpServer& Server() const { return *GetServer(); }
  const CHttpServerSettings& Settings() const;
  const ResourceLibrary& Resources() const { return resources_; }
  // Reports a failure through the server's error hook.
  void ReportError(const std::string& message);
  // The current request.
  const ClientRequest& Request() const { return m_Request; }

private:
  // The answer of a status page: `code` with `body` as HTML, head and all.
  Response PageResponse(int code, std::string_view body) const;
  // The head of `response`, whose body is `length` bytes.
  std::string HeadOf(const Response& response, std::uint64_t length) const;
  // Responds with a page; answers its length.
  int SendPage(Response page);
  // Queues `head`, then the body of `response`, and sends what the client takes now. A
  // failure, now or later, is reported as `failureText` followed by the error code.
  bool Send(std::string_view head, Response& response, bool withBody,
            std::string_view failureText);
  // Writes the access-log line of an answer to the current request.
  void PostLog(int code, std::int64_t bytes);
  // The Content-Type of `fileName` by the server's MIME map.
  std::string MimeType(std::string_view fileName) const;
  void ServeRequest();
  void Dispatch();
  void HandleDirectories();
  void HandleDelete();
  void EndRequest();
  // A std::bad_alloc ended HandleClient: a 503 when nothing of the answer went out yet,
  // else the connection just closes; logged either way.
  void AnswerOutOfMemory();
  ParsePolicy Policy() const;
  // The directories and the Server field of the running settings, made once per settings
  // record.
  void PrepareSettings();
  // Whether this request is answered without a header (HTTP/0.9).
  bool IsHeaderless() const;

  const ResourceLibrary& resources_;
  const std::unique_ptr<SessionRoutes> routes_;  // none for a plain session
  ClientRequest m_Request;                       // the current request
  bool keepAlive_ = false;  // the answer of the current request keeps the connection open
  std::unique_ptr<HttpConnection> connection_;  // the connection being answered
  HttpConnection::After after_ = HttpConnection::After::Close;
  bool sendFailed_ = false;  // the connection failed while answering: it closes
  bool following_ = false;   // the connection follows a feed after this request
  std::uint64_t responseStart_ = 0;  // the connection's Output().Sent() before this answer
  const CHttpServerSettings* preparedFor_ = nullptr;
  std::vector<std::unique_ptr<CHttpDirectory>> directories_;
  std::string serverName_;  // the Server field's value, control characters dropped
  bool allowDelete_ = false;  // the Allow field names DELETE
};

}  // namespace orbiscope
