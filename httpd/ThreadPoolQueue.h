#pragma once
// The queue between the listener and the workers.

#include "httpd/ThreadPoolRequest.h"

namespace orbiscope {

// A time-out without limit.
inline constexpr unsigned kInfinite = 0xFFFFFFFFu;

class CThreadPoolQueue {
public:
  virtual ~CThreadPoolQueue() = default;

  // Makes the queue for size workers; false when it cannot be made (size 0 included for the
  // bounded kinds). A queue made again drops what it held.
  virtual bool Create(unsigned size) { (void)size; return false; }
  // Posts, waiting up to timeoutMs for room in a bounded queue; false when there was none.
  // The queue takes the request either way: one it refuses is dropped (its connection
  // closes).
  virtual bool PostRequest(CThreadPoolRequest request, unsigned timeoutMs = kInfinite) {
    (void)request; (void)timeoutMs; return false;
  }
  // Posts without waiting for room; takes the request as PostRequest does.
  virtual bool PostRequestWithoutLimitCheck(CThreadPoolRequest request) {
    (void)request; return false;
  }
  // Takes the next request for worker threadIndex, waiting up to timeoutMs.
  virtual bool GetRequest(CThreadPoolRequest& request, int threadIndex, unsigned timeoutMs = kInfinite) {
    (void)request; (void)threadIndex; (void)timeoutMs; return false;
  }
  virtual bool IsCreated() const { return false; }
  // Whether a request may be addressed to one worker.
  virtual bool SupportsDirectedRequests() const { return false; }
  // Empties the queue (closing the connections of the requests it held) and releases what
  // it is made of.
  virtual void Close() {}
};

}  // namespace orbiscope
