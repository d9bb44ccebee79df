#pragma once
// One worker of the pool: a thread and the client object it serves requests with. The
// server's client classes (the HTTP session) derive from it and override Run.

#include <atomic>
#include <cstddef>

#include "httpd/EventFd.h"
#include "httpd/ThreadPoolRequest.h"
#include "httpd/WorkerThread.h"

namespace orbiscope {

class CHttpServer;
class CThreadPoolServer;

class CThreadPoolClient {
public:
  CThreadPoolClient() = default;
  virtual ~CThreadPoolClient() = default;
  CThreadPoolClient(const CThreadPoolClient&) = delete;
  CThreadPoolClient& operator=(const CThreadPoolClient&) = delete;

  // Asks the worker to end: sets the flag, which a worker serving a connection looks at
  // between requests. Overrides call the base.
  virtual void SetRequestToStop();
  // Runs on the worker thread before any request; false ends the worker at once.
  virtual bool InitInstance() { return true; }
  // Runs on the worker thread last; its answer is the thread's result.
  virtual bool ExitInstance() { return true; }
  // Serves one request of type kServe, taking request.m_pConnection. False ends the
  // worker. The base takes nothing and answers false.
  virtual bool Run(CThreadPoolRequest& request);

  // Whether a stop was asked since this thread began.
  bool RequestToStop() const { return requestToStop_.load() != 0; }
  // The server whose worker this is (set by the listener before the thread runs).
  CHttpServer* GetServer() const { return server_; }
  void SetServer(CHttpServer* server) { server_ = server; }
  CThreadPoolServer* GetPool() const { return pool_; }
  // The worker's index in the pool, -1 until the pool made it.
  int GetThreadIndex() const { return threadIndex_; }
  // Releases a thread the pool made suspended.
  void Resume() { thread_.Resume(); }

private:
  friend class CThreadPoolServer;
  // The thread's whole life: InitInstance, requests until a stop, ExitInstance.
  void WorkerProcedure();
  // Clears a stop left over from the previous thread of this client (recycling).
  void ClearRequestToStop();

  WorkerThread thread_;
  CThreadPoolServer* pool_ = nullptr;
  CHttpServer* server_ = nullptr;
  std::atomic<int> requestToStop_ {0};
  EventFd initialised_ {EventFd::Mode::ManualReset};  // stays raised once InitInstance ran
  std::atomic<bool> initialisedOk_ {false};
  int threadPriority_ = 0;
  std::size_t stackSize_ = 0;
  int threadIndex_ = -1;
};

}  // namespace orbiscope
