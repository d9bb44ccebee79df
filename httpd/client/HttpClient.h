#pragma once
// The session of one connection: answers its whole requests one after another, applies the
// authentication gate, dispatches by verb, serves directories and DELETE, and answers
// errors with the server's status pages. One object per pool worker, reused for every
// request the worker takes; the event loop reads the requests and holds the connection in
// between, so the session never waits for a client.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "httpd/HttpConnection.h"
#include "httpd/HttpDirectory.h"
#include "httpd/HttpResponseHeader.h"
#include "httpd/ThreadPoolClient.h"
#include "httpd/client/ClientRequest.h"
#include "httpd/client/RequestParser.h"

namespace orbiscope {

class CHttpServer;
class CHttpServerSettings;
class ResourceLibrary;

class CHttpClient : public CThreadPoolClient {
public:
  // The resources give the listing page's opening and closing parts.
  explicit CHttpClient(const ResourceLibrary& resources);
  ~CHttpClient() override;

  // Answers the connection's whole request (and those pipelined behind it), then hands the
  // connection back to the loop; true so the worker goes on.
  bool Run(CThreadPoolRequest& request) override;

  // Status page `code` (the 1005 page for codes without their own); answers its length.
  virtual int ReturnErrorMessage(int code);
  // 302 to `url`.
  virtual int SendRedirect(std::string_view url);
  // The page after a successful DELETE of `localFile`.
  virtual int SendDeleted(std::string_view localFile);
  // 401 with the challenges the settings allow, for `realm`.
  virtual int SendChallenge(std::string_view realm);
  // The access-log line of the response just sent.
  virtual void PostLog(int code, std::int64_t bytes);

  // A 200 response whose body is `size` bytes at `data`; `reserved` is not used and
  // `expires` adds an Expires field with the current time.
  virtual bool TransmitBuffer(const void* data, std::size_t size, bool reserved, bool expires);
  // Sends a built header and `size` body bytes in one gathered write; false when the
  // connection failed.
  virtual bool SendResponse(const CHttpResponseHeader& header, const void* body, std::size_t size);
  // Ends a header begun with StartHeader as every response with a body ends it (Connection
  // when kept alive, Content-Length, Content-Type `type`) and sends it with the body (the
  // head alone for HEAD).
  bool SendWithBody(CHttpResponseHeader& header, std::string_view type, const void* body,
                    std::size_t size);
  // Sends a built header and `size` bytes of the open file without copying them.
  virtual bool TransmitFile(const CHttpResponseHeader& header, int fileFd, std::uint64_t size);
  // Queues `head`, then `size` bytes of `body` or, when fileFd >= 0, of that open file, and
  // sends what the client takes now; the event loop sends the rest, so no writer waits for
  // a slow client. A failure, now or later, is reported as `failureText` followed by the
  // error code. False when the connection failed now.
  bool Send(std::string_view head, const void* body, std::uint64_t size, int fileFd,
            std::string_view failureText);
  // The body of the next response sent is kept alive by `owner` for as long as it waits to
  // go out, so a client that takes it slowly costs no copy of it (a picture many share).
  void ShareNextBody(std::shared_ptr<const void> owner) { bodyOwner_ = std::move(owner); }
  // Header lines ("Name: value\r\n" each) the next response SendResponse sends carries after
  // its own fields: what a route adds to an answer the session builds. Dropped at the end
  // of the request when nothing was sent.
  void AddNextResponseFields(std::string_view lines) { nextFields_.append(lines); }
  // Once this request is answered the connection follows `channel` instead of reading
  // another request (see HttpConnection::Follow); the caller queues the response head.
  void FollowFeed(std::shared_ptr<FeedChannel> channel, FeedEnd onEnd);
  // Maps a URL to its virtual directory and local file (see PathResolver.h).
  virtual bool ResolvePath(std::string& url, std::string& localFile, std::string& pathInfo,
                           bool& isDirectory, const CHttpDirectory*& directory,
                           std::size_t& matchedUrlLength, std::size_t& matchedPathLength);
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

  // The camera routes' dispatch point for GET, POST and HEAD: true when the request was a
  // camera route and has been answered. The session itself has none.
  virtual bool HandleCameraRoute() { return false; }

  // The server and its settings; valid while the worker serves.
  CHttpServer& Server() const { return *GetServer(); }
  const CHttpServerSettings& Settings() const;
  const ResourceLibrary& Resources() const { return resources_; }
  // Reports a failure through the server's error hook.
  void ReportError(const std::string& message);
  // The header every response starts with: status, Date (`now`), Server and Allow.
  CHttpResponseHeader StartHeader(int code, const HttpTime& now) const;

  ClientRequest m_Request;            // the current request
  bool m_bResponseKeepAlive = false;  // this response keeps the connection open

private:
  // Sends a status page (`body`, as HTML) after `header` and logs `code`; its length.
  int SendPage(CHttpResponseHeader& header, int code, std::string_view body);
  // Adds the fields SendWithBody ends a header with, for `size` body bytes of `type`.
  void EndHeader(CHttpResponseHeader& header, std::string_view type, std::size_t size) const;
  void ServeRequest();
  void Dispatch();
  void HandleDirectories();
  void HandleDelete();
  void EndRequest();
  // A std::bad_alloc ended HandleClient: a 503 when nothing of the answer went out yet,
  // else the connection just closes; logged either way.
  void AnswerOutOfMemory();
  ParsePolicy Policy() const;
  // The directories of the running settings, made once per settings record.
  void PrepareDirectories();
  // Whether this request is answered without a header (HTTP/0.9).
  bool IsHeaderless() const;

  const ResourceLibrary& resources_;
  std::unique_ptr<HttpConnection> connection_;  // the connection being answered
  HttpConnection::After after_ = HttpConnection::After::Close;
  bool sendFailed_ = false;  // the connection failed while answering: it closes
  bool following_ = false;   // the connection follows a feed after this request
  std::uint64_t responseStart_ = 0;  // the connection's Output().Sent() before this answer
  std::shared_ptr<const void> bodyOwner_;  // see ShareNextBody
  std::string nextFields_;                 // see AddNextResponseFields
  const CHttpServerSettings* directoriesOf_ = nullptr;
  std::vector<std::unique_ptr<CHttpDirectory>> directories_;
};

}  // namespace orbiscope
