#include "httpd/HttpServer.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "httpd/DirectedThreadPoolQueue.h"
#include "httpd/EventLoop.h"
#include "httpd/HttpResponseHeader.h"
#include "httpd/IOCPThreadPoolQueue.h"
#include "log/LogXML.h"
#include "log/PlatformTexts.h"
#include "resources/ResourceIds.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

namespace {

std::string WithCode(const char* text, long code) { return text + std::to_string(code); }

}  // namespace

CHttpServer::CHttpServer(LogXML& log, const ResourceLibrary& resources, MessageSink sink)
    : log_(log), resources_(resources), sink_(std::move(sink)) {
  LoadErrorPages();
}

CHttpServer::~CHttpServer() { Stop(); }

void CHttpServer::OnError(std::string_view message) {
  std::string text(message);
  text += '\n';
  log_.WriteEntry(text, "HttpServer", "CHttpServer::OnError");
}

bool CHttpServer::LoadHtmlResource(int id, std::string& text) const {
  const std::string_view page = resources_.Html(id);
  text.assign(page);
  return !page.empty();
}

bool CHttpServer::LoadErrorPages() {
  bool all = LoadHtmlResource(res::kHtml302, pages_.redirect);
  all = LoadHtmlResource(res::kHtml400, pages_.badRequest) && all;
  all = LoadHtmlResource(res::kHtml401, pages_.unauthorized) && all;
  all = LoadHtmlResource(res::kHtml404, pages_.notFound) && all;
  all = LoadHtmlResource(res::kHtmlOther, pages_.other) && all;
  all = LoadHtmlResource(res::kHtmlDeleted, pages_.deleted) && all;
  return all;
}

void CHttpServer::FreeErrorPages() { pages_ = ErrorPageTable {}; }

std::string_view CHttpServer::GetErrorPage(int code) const {
  switch (code) {
    case 302: return pages_.redirect;
    case 400: return pages_.badRequest;
    case 401: return pages_.unauthorized;
    case 404: return pages_.notFound;
    default: return pages_.other;
  }
}

std::string_view CHttpServer::GetDeletedPage() const { return pages_.deleted; }

std::unique_ptr<CThreadPoolQueue> CHttpServer::CreateQueue(bool useIOCPQueue) {
  if (useIOCPQueue) return std::make_unique<CIOCPThreadPoolQueue>();
  return std::make_unique<CDirectedThreadPoolQueue>();
}

std::string CHttpServer::RefusalResponse() const {
  const std::string_view body = GetErrorPage(503);
  ResponseHead head;
  head.code = 503;
  // A line break in the configured name must not end the header early: the head drops it.
  head.server = settings_->m_sServerName;
  head.allowDelete = settings_->m_bAllowDeleteRequest;
  head.length = static_cast<std::int64_t>(body.size());
  head.type = "text/html";
  std::string response = FormatResponseHead(head);
  response.append(body);
  return response;
}

ServerCounts CHttpServer::GetCounts() const {
  ServerCounts counts;
  counts.requestsServed = requestsServed_.load(std::memory_order_relaxed);
  std::lock_guard lock(loopLock_);
  if (loop_ != nullptr) counts.openConnections = loop_->OpenConnections();
  return counts;
}

bool CHttpServer::Start(CHttpServerSettings* settings) {
  std::lock_guard listenerLock(listenerLock_);
  // A listener that failed stays until Stop or Wait collects it; it is collected here (it
  // ends right after reporting) so the server can be started again. A running one is not.
  if (listenerExists_) {
    bool running;
    {
      std::lock_guard lock(startLock_);
      running = listenerRunning_;
    }
    if (!running) {
      listener_.Join();
      listenerExists_ = false;
    }
  }
  settings_ = settings;
  {
    std::lock_guard lock(startLock_);
    startSignalled_ = false;
    listenerRunning_ = false;
    pendingMessage_.reset();
    messageDismissed_ = false;
  }
  stopEvent_.Reset();
  listeningPort_.store(0);
  requestsServed_.store(0);
  if (!listener_.Start([this] { ListenSocketFunction(); }, false)) {
    OnError("CHttpServer::Start, Failed to call to create listener thread, please check settings");
    return false;
  }
  listenerExists_ = true;
  // Wait for the listener. A message it must show is shown here, on the caller's thread: in
  // the desktop front-end that is the UI thread, the only one that may show a box, and it
  // is blocked in this very wait.
  std::unique_lock lock(startLock_);
  for (;;) {
    startChanged_.wait(lock, [this] { return startSignalled_ || pendingMessage_.has_value(); });
    if (pendingMessage_) {
      PendingMessage message = std::move(*pendingMessage_);
      pendingMessage_.reset();
      lock.unlock();
      if (sink_) sink_(message.caption, message.text);
      lock.lock();
      messageDismissed_ = true;
      startChanged_.notify_all();
      continue;
    }
    return listenerRunning_;
  }
}

void CHttpServer::ShowMessageOnStarter(std::string caption, std::string text) {
  std::unique_lock lock(startLock_);
  messageDismissed_ = false;
  pendingMessage_ = PendingMessage {std::move(caption), std::move(text)};
  startChanged_.notify_all();
  startChanged_.wait(lock, [this] { return messageDismissed_; });
}

void CHttpServer::SignalStarted(bool running) {
  std::lock_guard lock(startLock_);
  listenerRunning_ = running;
  startSignalled_ = true;
  startChanged_.notify_all();
}

bool CHttpServer::Stop() {
  // Signalled before the lock: Wait holds the lock while the listener runs.
  stopEvent_.Set();
  std::lock_guard lock(listenerLock_);
  if (listenerExists_) {
    listener_.Join();
    listenerExists_ = false;
  }
  return true;
}

bool CHttpServer::Wait() {
  std::lock_guard lock(listenerLock_);
  if (listenerExists_) {
    listener_.Join();
    listenerExists_ = false;
    return true;
  }
  OnError("CHttpServer::Wait, Http server is not running, so no need to wait");
  return false;
}

void CHttpServer::ListenSocketFunction() {
  CHttpServerSettings& settings = *settings_;
  // The loop outlives the pool below: every connection, wherever it is when the server
  // stops, counts itself out of the loop as it closes.
  EventLoopOptions loopOptions;
  loopOptions.idleTimeoutMs = settings.m_dwIdleClientTimeout;
  loopOptions.writeTimeoutMs = settings.m_dwWritableTimeout;
  loopOptions.maxConnections = settings.m_nMaxConnections;
  loopOptions.maxConnectionsPerClient = settings.m_nMaxConnectionsPerClient;
  loopOptions.trustedProxies = settings.m_TrustedProxies;
  loopOptions.requestsAtOnce = settings.m_nThreadPoolSize;
  EventLoop loop(loopOptions, [this](std::string_view text) { OnError(text); },
                 [this] { return RefusalResponse(); });
  // GetCounts reads the loop from any thread, so it is shown there only while it exists.
  struct ShownLoop {
    CHttpServer& server;
    ShownLoop(CHttpServer& s, const EventLoop& l) : server(s) {
      std::lock_guard lock(server.loopLock_);
      server.loop_ = &l;
    }
    ~ShownLoop() {
      std::lock_guard lock(server.loopLock_);
      server.loop_ = nullptr;
    }
  } shownLoop(*this, loop);

  // The pool, its threads held until each client knows its server.
  PoolOptions pool;
  pool.clients = settings.m_ClientFactory;
  pool.queue = [this, useIOCPQueue = settings.m_bUseIOCPQueue] { return CreateQueue(useIOCPQueue); };
  pool.poolSize = settings.m_nThreadPoolSize;
  pool.queueSize = settings.m_nThreadPoolSize;
  pool.startSuspended = true;
  if (!m_ThreadPool.Create(pool)) {
    OnError(WithCode(platform_texts::kThreadPoolCreateFailed, errno));
    SignalStarted(false);
    return;
  }
  // Each worker learns its server, and only then runs.
  for (int i = 0; i < settings.m_nThreadPoolSize; ++i) {
    if (CThreadPoolClient* client = m_ThreadPool.GetAtClient(i)) {
      client->SetServer(this);
      client->Resume();
    }
  }
  // Recycling, when the settings ask for it.
  if (!m_ThreadPool.SetMaxThreadClientLifetime(settings.m_bEnableThreadLifetime,
                                               settings.m_dwThreadLifetime)) {
    OnError(WithCode(platform_texts::kThreadLifetimeFailed, errno));
    m_ThreadPool.Stop();
    SignalStarted(false);
    return;
  }
  // The listening socket: made, bound, listening.
  CHttpSocket server;
  try {
    server.Create();
  } catch (const CWSocketException& e) {
    OnError(WithCode(platform_texts::kServerSocketCreateFailed, e.GetErrorCode()));
    m_ThreadPool.Stop();
    SignalStarted(false);
    return;
  }
  try {
    server.Bind(settings.m_nPort, settings.m_bBind ? settings.m_sBindAddress : std::string());
  } catch (const CWSocketException& e) {
    OnError(WithCode(platform_texts::kServerSocketBindFailed, e.GetErrorCode()));
    m_ThreadPool.Stop();
    // Start, and the user who started the server, wait until the box is closed.
    ShowMessageOnStarter(std::string(kBindFailureCaption), resources_.String(res::kStrBadPort));
    SignalStarted(false);
    return;
  }
  try {
    server.Listen(INT_MAX);
  } catch (const CWSocketException& e) {
    OnError(WithCode(platform_texts::kServerSocketListenFailed, e.GetErrorCode()));
    m_ThreadPool.Stop();
    SignalStarted(false);
    return;
  }
  listeningPort_.store(server.LocalPort());
  // A client that gives up between the readiness and the accept must not block the loop.
  ::fcntl(server.Handle(), F_SETFL, ::fcntl(server.Handle(), F_GETFL) | O_NONBLOCK);
  // Running as another account is not offered on this system: a configured account
  // cannot be taken on, and the server refuses to run under the wrong identity.
  if (!settings.m_sUsername.empty()) {
    char text[512];
    std::snprintf(text, sizeof text, platform_texts::kLogonFailedFormat,
                  settings.m_sUsername.c_str(), ENOTSUP);
    OnError(text);
    settings.m_sPassword.clear();
    OnError("CHttpServer::ListenSocketFunction, Failed to impersonate using supplied user credentials");
    m_ThreadPool.Stop();
    SignalStarted(false);
    return;
  }
  // The loop's own descriptors: its epoll set takes the place of the accept event.
  if (!loop.Open(server.Handle(), stopEvent_)) {
    OnError(WithCode(platform_texts::kEventSelectFailed, errno));
    m_ThreadPool.Stop();
    SignalStarted(false);
    return;
  }
  // Start returns: the server accepts.
  SignalStarted(true);

  // Until the stop event: connections are accepted, read, parked and written by the
  // loop on this thread; whole requests go to the pool.
  loop.Run(*m_ThreadPool.GetQueue());
  // The loop has closed what it held; the pool's stop closes what the queue and the
  // workers still hold.
  m_ThreadPool.Stop();
}

}  // namespace orbiscope
