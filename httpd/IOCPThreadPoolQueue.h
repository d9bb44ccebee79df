#pragma once
// CIOCPThreadPoolQueue is a plain FIFO: a deque under a mutex with a condition variable,
// named after the completion-port queue it stands for.
// The unbounded first-in first-out queue; it cannot address a request to one worker.

#include <condition_variable>
#include <deque>
#include <mutex>

#include "httpd/ThreadPoolQueue.h"

namespace orbiscope {

class CIOCPThreadPoolQueue : public CThreadPoolQueue {
public:
  ~CIOCPThreadPoolQueue() override;

  // Any size is accepted: the queue has no bound.
  bool Create(unsigned size) override;
  // Refuses directed requests; never waits (the time-out is ignored).
  bool PostRequest(CThreadPoolRequest request, unsigned timeoutMs = kInfinite) override;
  bool PostRequestWithoutLimitCheck(CThreadPoolRequest request) override;
  // The oldest request whatever the index.
  bool GetRequest(CThreadPoolRequest& request, int threadIndex, unsigned timeoutMs = kInfinite) override;
  bool IsCreated() const override;
  bool SupportsDirectedRequests() const override { return false; }
  void Close() override;

private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<CThreadPoolRequest> pending_;
  bool created_ = false;
};

}  // namespace orbiscope
