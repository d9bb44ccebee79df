#pragma once
// The bounded queue: at most `size` undirected requests wait at once (a poster waits for
// room), and a request may be addressed to one worker, which takes it before any undirected
// one.

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <vector>

#include "httpd/ThreadPoolQueue.h"

namespace orbiscope {

class CDirectedThreadPoolQueue : public CThreadPoolQueue {
public:
  ~CDirectedThreadPoolQueue() override;

  // Room for size undirected requests and size requests per worker, for size workers. Size 0
  // is refused (EINVAL in errno), as a semaphore with maximum count 0 is.
  bool Create(unsigned size) override;
  // Waits up to timeoutMs for room (the worker's own room for a directed request).
  bool PostRequest(CThreadPoolRequest request, unsigned timeoutMs = kInfinite) override;
  // Appends without waiting; false (and nothing appended) when its counter is at its
  // maximum or the index names no worker.
  bool PostRequestWithoutLimitCheck(CThreadPoolRequest request) override;
  // The earliest request directed to threadIndex, else the earliest undirected one.
  bool GetRequest(CThreadPoolRequest& request, int threadIndex, unsigned timeoutMs = kInfinite) override;
  bool IsCreated() const override;
  bool SupportsDirectedRequests() const override { return true; }
  void Close() override;

private:
  // The worker to wake for a request: a waiting one for an undirected request, or the
  // addressed one, as releasing a semaphore by one wakes one waiter (waking them all would
  // cost each request a crowd of wake-ups). Takes it off the waiting list; null for none.
  std::condition_variable* WorkerToWake(int index);

  // The counters stand for the semaphores of the design: room to post (shared, per worker)
  // and requests ready to get (shared, per worker), each between 0 and size_.
  mutable std::mutex mutex_;
  std::condition_variable room_;               // posters wait here
  std::deque<std::condition_variable> wake_;   // one per worker index; never shrinks
  std::vector<unsigned> idle_;                 // workers waiting in GetRequest, latest last
  std::list<CThreadPoolRequest> pending_;
  unsigned size_ = 0;
  bool created_ = false;
  unsigned postRoom_ = 0;
  std::vector<unsigned> workerPostRoom_;
  unsigned getReady_ = 0;
  std::vector<unsigned> workerGetReady_;
};

}  // namespace orbiscope
