#pragma once
// The server object: one listener thread that runs the event loop (it accepts, reads and
// parks the connections, and posts each whole request to the worker pool), the error hook
// every failure of the server goes through, and the error pages.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/MessageSink.h"
#include "httpd/EventFd.h"
#include "httpd/HttpServerSettings.h"
#include "httpd/ThreadPoolServer.h"
#include "httpd/WorkerThread.h"

namespace orbiscope {

class EventLoop;
class LogXML;
class ResourceLibrary;

// What a running server has done so far, for a status report.
struct ServerCounts {
  int openConnections = 0;          // open now: being read, answered, written or kept alive
  std::uint64_t requestsServed = 0; // answered since Start
};

class CHttpServer {
public:
  // Caption of the box shown when the port cannot be bound.
  static constexpr std::string_view kBindFailureCaption = "ERROR";

  // The error pages are copied from resources now. The sink shows the bind-failure box; it
  // is called on the thread that runs Start.
  CHttpServer(LogXML& log, const ResourceLibrary& resources, MessageSink sink);
  virtual ~CHttpServer();  // runs Stop
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Starts the listener and returns once it has failed (false) or accepts (true). A message
  // the listener must show (bind failure) is shown through the sink on this thread before
  // Start returns. The settings must outlive the server.
  virtual bool Start(CHttpServerSettings* settings);
  // Ends the listener and with it the pool; every connection is closed, the sends the loop
  // was finishing included. True.
  virtual bool Stop();
  // Waits for the listener's end; false (and an error) when no listener runs.
  virtual bool Wait();
  // The error hook: "%s\n" into the log (module "HttpServer").
  virtual void OnError(std::string_view message);

  // The error pages (HTML resources): 1008 for 302, 1001 for 400, 1003 for 401, 1004 for
  // 404, 1005 for any other code, 1000 after a DELETE. A missing resource gives "".
  virtual bool LoadErrorPages();
  virtual void FreeErrorPages();
  // One HTML resource by id; false when it is missing.
  virtual bool LoadHtmlResource(int id, std::string& text) const;
  virtual std::string_view GetErrorPage(int code) const;
  virtual std::string_view GetDeletedPage() const;

  CHttpServerSettings* GetSettings() const { return settings_; }
  LogXML& GetLog() const { return log_; }
  // The port the listener is bound to (the configured one, or the system's pick for 0).
  std::uint16_t GetListeningPort() const { return listeningPort_.load(); }
  // The counts now; no connections while no listener runs.
  ServerCounts GetCounts() const;
  // From a worker, once for each request it has answered.
  void CountRequestServed() { requestsServed_.fetch_add(1, std::memory_order_relaxed); }

  CThreadPoolServer m_ThreadPool;

protected:
  // The queue the pool is made with: the unbounded kind or the directed one.
  virtual std::unique_ptr<CThreadPoolQueue> CreateQueue(bool useIOCPQueue);
  // What a connection over a connection limit is sent before it is closed: a 503 page.
  std::string RefusalResponse() const;
  // The listener thread's body.
  virtual void ListenSocketFunction();
  // Shows a message on the thread blocked in Start and returns once it was dismissed.
  void ShowMessageOnStarter(std::string caption, std::string text);
  // Ends the start-up wait with the given result.
  void SignalStarted(bool running);

private:
  LogXML& log_;
  const ResourceLibrary& resources_;
  MessageSink sink_;

  std::mutex listenerLock_;  // orders Start, Stop and Wait
  WorkerThread listener_;
  bool listenerExists_ = false;

  // The start event, and the message the listener hands to the thread in Start.
  struct PendingMessage {
    std::string caption;
    std::string text;
  };
  std::mutex startLock_;
  std::condition_variable startChanged_;
  bool startSignalled_ = false;
  bool listenerRunning_ = false;
  std::optional<PendingMessage> pendingMessage_;
  bool messageDismissed_ = false;

  EventFd stopEvent_ {EventFd::Mode::ManualReset};
  CHttpServerSettings* settings_ = nullptr;
  std::atomic<std::uint16_t> listeningPort_ {0};
  std::atomic<std::uint64_t> requestsServed_ {0};
  // The listener's loop, while it exists, for GetCounts.
  mutable std::mutex loopLock_;
  const EventLoop* loop_ = nullptr;

  struct ErrorPageTable {
    std::string redirect;    // 302
    std::string badRequest;  // 400
    std::string unauthorized;  // 401
    std::string notFound;    // 404
    std::string other;       // any other code
    std::string deleted;     // after a DELETE
  } pages_;
};

}  // namespace orbiscope
