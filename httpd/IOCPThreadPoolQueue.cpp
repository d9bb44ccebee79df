#include "httpd/IOCPThreadPoolQueue.h"

#include <chrono>
#include <utility>

namespace orbiscope {

CIOCPThreadPoolQueue::~CIOCPThreadPoolQueue() { Close(); }

bool CIOCPThreadPoolQueue::Create(unsigned /*size*/) {
  Close();
  std::lock_guard lock(mutex_);
  created_ = true;
  return true;
}

bool CIOCPThreadPoolQueue::PostRequest(CThreadPoolRequest request, unsigned /*timeoutMs*/) {
  if (request.m_bDirectedRequest) return false;
  {
    std::lock_guard lock(mutex_);
    if (!created_) return false;
    pending_.push_back(std::move(request));
  }
  ready_.notify_one();
  return true;
}

bool CIOCPThreadPoolQueue::PostRequestWithoutLimitCheck(CThreadPoolRequest request) {
  return PostRequest(std::move(request), 0);
}

bool CIOCPThreadPoolQueue::GetRequest(CThreadPoolRequest& request, int /*threadIndex*/,
                                      unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return !created_ || !pending_.empty(); };
  if (timeoutMs == kInfinite)
    ready_.wait(lock, ready);
  else if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
    return false;
  if (pending_.empty()) return false;  // closed
  request = CThreadPoolRequest {};
  request.m_dwID = pending_.front().m_dwID;
  request.m_pConnection = std::move(pending_.front().m_pConnection);
  pending_.pop_front();
  return true;
}

bool CIOCPThreadPoolQueue::IsCreated() const {
  std::lock_guard lock(mutex_);
  return created_;
}

void CIOCPThreadPoolQueue::Close() {
  std::deque<CThreadPoolRequest> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(pending_);
    created_ = false;
  }
  ready_.notify_all();
  // `dropped` goes here, outside the lock, closing the connections it held.
}

}  // namespace orbiscope
