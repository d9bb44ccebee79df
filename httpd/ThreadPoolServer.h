#pragma once
// The pool of worker threads with their queue, and the optional recycling of the workers one
// at a time (each worker once per lifetime).

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "httpd/EventFd.h"
#include "httpd/ThreadPoolClient.h"
#include "httpd/ThreadPoolQueue.h"
#include "httpd/WorkerThread.h"

namespace orbiscope {

// Makes the client object of one worker (the "client class").
using ClientFactory = std::function<std::unique_ptr<CThreadPoolClient>()>;
// Makes the queue (the "queue class").
using QueueFactory = std::function<std::unique_ptr<CThreadPoolQueue>()>;

// What a pool is made of.
struct PoolOptions {
  ClientFactory clients;        // one client object per worker
  QueueFactory queue;
  int poolSize = 0;             // workers
  int queueSize = 0;            // room of a bounded queue
  bool startSuspended = false;  // threads held until each client's Resume
  int threadPriority = 0;
  std::size_t stackSize = 0;
};

class CThreadPoolServer {
public:
  CThreadPoolServer();
  virtual ~CThreadPoolServer();  // runs Stop
  CThreadPoolServer(const CThreadPoolServer&) = delete;
  CThreadPoolServer& operator=(const CThreadPoolServer&) = delete;

  // Stops any previous pool, makes the queue and the workers, each with its client object
  // and thread. False when the queue, a client or a thread cannot be made (the pool is then
  // stopped again).
  virtual bool Create(const PoolOptions& options);
  // Stops the recycling, asks every worker to stop, waits for all and frees them and the
  // queue (with whatever requests it still holds).
  virtual void Stop();
  // The client of worker index, or null.
  virtual CThreadPoolClient* GetAtClient(int index);
  // Waits until every worker ran InitInstance; true when all succeeded. False without workers.
  virtual bool WaitForThreadsInitInstance();
  // Turns recycling on or off: every worker is replaced once per lifetime, evenly spread.
  // False when it is asked of a queue that cannot direct a request, or the monitor thread
  // cannot be made.
  bool SetMaxThreadClientLifetime(bool enable, unsigned minutes);
  // The same with the lifetime in milliseconds (finer than the settings offer).
  bool SetMaxThreadClientLifetime(bool enable, std::chrono::milliseconds lifetime);
  // Replaces the worker at the recycle index by a new thread on the same client object.
  virtual bool RecycleThread();

  // The queue the listener posts to; null while no pool exists.
  CThreadPoolQueue* GetQueue() const { return queue_.get(); }
  int GetPoolSize() const;
  // How many workers were replaced so far (recycling).
  unsigned GetRecycleCount() const;

protected:
  // The monitor thread: waits for its timer and recycles, until its stop event.
  virtual void LifetimeMonitor();

private:
  void StopLocked();
  void StopLifetimeMonitor();
  bool StartWorker(CThreadPoolClient& client, bool suspended);

  std::vector<std::unique_ptr<CThreadPoolClient>> clients_;
  std::unique_ptr<CThreadPoolQueue> queue_;
  mutable std::recursive_mutex lock_;
  bool lifetimeEnabled_ = false;
  std::chrono::milliseconds lifetime_ {0};
  std::unique_ptr<WorkerThread> monitor_;
  EventFd lifetimeStop_ {EventFd::Mode::AutoReset};
  int recycleIndex_ = 0;
  unsigned recycleCount_ = 0;
};

}  // namespace orbiscope
