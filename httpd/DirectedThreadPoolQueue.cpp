#include "httpd/DirectedThreadPoolQueue.h"

#include <cerrno>
#include <chrono>
#include <utility>

namespace orbiscope {

CDirectedThreadPoolQueue::~CDirectedThreadPoolQueue() { Close(); }

bool CDirectedThreadPoolQueue::Create(unsigned size) {
  Close();
  if (size == 0) {
    errno = EINVAL;
    return false;
  }
  std::lock_guard lock(mutex_);
  size_ = size;
  postRoom_ = size;
  workerPostRoom_.assign(size, size);
  getReady_ = 0;
  workerGetReady_.assign(size, 0);
  created_ = true;
  return true;
}

bool CDirectedThreadPoolQueue::PostRequest(CThreadPoolRequest request, unsigned timeoutMs) {
  {
    std::unique_lock lock(mutex_);
    const bool directed = request.m_bDirectedRequest;
    const int index = request.m_nDirectedRequestIndex;
    if (!created_ || (directed && (index < 0 || static_cast<unsigned>(index) >= size_))) return false;
    const auto worker = static_cast<std::size_t>(index);
    // Looked up afresh on every wake: a Close while waiting empties the counters.
    const auto room = [&]() -> unsigned* {
      if (!created_) return nullptr;
      if (!directed) return &postRoom_;
      return worker < workerPostRoom_.size() ? &workerPostRoom_[worker] : nullptr;
    };
    const auto hasRoom = [&] { return room() == nullptr || *room() > 0; };
    if (timeoutMs == kInfinite)
      changed_.wait(lock, hasRoom);
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasRoom))
      return false;
    if (room() == nullptr) return false;
    --*room();
  }
  return PostRequestWithoutLimitCheck(std::move(request));
}

bool CDirectedThreadPoolQueue::PostRequestWithoutLimitCheck(CThreadPoolRequest request) {
  {
    std::lock_guard lock(mutex_);
    if (!created_) return false;
    unsigned* ready = &getReady_;
    if (request.m_bDirectedRequest) {
      const int index = request.m_nDirectedRequestIndex;
      if (index < 0 || static_cast<unsigned>(index) >= size_) return false;
      ready = &workerGetReady_[static_cast<unsigned>(index)];
    }
    // A release beyond the maximum count fails, and the request is not kept.
    if (*ready >= size_) return false;
    pending_.push_back(std::move(request));
    ++*ready;
  }
  changed_.notify_all();
  return true;
}

bool CDirectedThreadPoolQueue::GetRequest(CThreadPoolRequest& request, int threadIndex,
                                          unsigned timeoutMs) {
  {
    std::unique_lock lock(mutex_);
    if (!created_ || threadIndex < 0 || static_cast<unsigned>(threadIndex) >= size_) return false;
    const auto mine = static_cast<unsigned>(threadIndex);
    const auto ready = [&] {
      return !created_ || mine >= workerGetReady_.size() || workerGetReady_[mine] > 0 || getReady_ > 0;
    };
    if (timeoutMs == kInfinite)
      changed_.wait(lock, ready);
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
      return false;
    if (!created_ || mine >= workerGetReady_.size()) return false;
    const bool directed = workerGetReady_[mine] > 0;
    auto it = pending_.begin();
    for (; it != pending_.end(); ++it) {
      if (directed ? it->m_bDirectedRequest && it->m_nDirectedRequestIndex == threadIndex
                   : !it->m_bDirectedRequest)
        break;
    }
    if (it == pending_.end()) return false;  // counters and list never disagree; be safe
    request = std::move(*it);
    pending_.erase(it);
    // Room never grows past its maximum, as a semaphore release past it fails.
    if (directed) {
      --workerGetReady_[mine];
      if (workerPostRoom_[mine] < size_) ++workerPostRoom_[mine];
    } else {
      --getReady_;
      if (postRoom_ < size_) ++postRoom_;
    }
  }
  changed_.notify_all();
  return true;
}

bool CDirectedThreadPoolQueue::IsCreated() const {
  std::lock_guard lock(mutex_);
  return created_;
}

void CDirectedThreadPoolQueue::Close() {
  std::list<CThreadPoolRequest> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(pending_);
    created_ = false;
    size_ = 0;
    postRoom_ = getReady_ = 0;
    workerPostRoom_.clear();
    workerGetReady_.clear();
  }
  changed_.notify_all();
  // `dropped` goes here, outside the lock, closing the connections it held.
}

}  // namespace orbiscope
