#include "httpd/DirectedThreadPoolQueue.h"

#include <algorithm>
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
  while (wake_.size() < size) wake_.emplace_back();
  idle_.clear();
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
      room_.wait(lock, hasRoom);
    else if (!room_.wait_for(lock, std::chrono::milliseconds(timeoutMs), hasRoom))
      return false;
    if (room() == nullptr) return false;
    --*room();
  }
  return PostRequestWithoutLimitCheck(std::move(request));
}

bool CDirectedThreadPoolQueue::PostRequestWithoutLimitCheck(CThreadPoolRequest request) {
  const int target = request.m_bDirectedRequest ? request.m_nDirectedRequestIndex : -1;
  std::condition_variable* wake = nullptr;
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
    wake = WorkerToWake(target);
  }
  // Outside the lock, so the worker does not wake only to wait for it.
  if (wake != nullptr) wake->notify_one();
  return true;
}

std::condition_variable* CDirectedThreadPoolQueue::WorkerToWake(int index) {
  if (index < 0) {
    if (idle_.empty()) return nullptr;  // the next worker to look takes it
    index = static_cast<int>(idle_.back());
  }
  const auto worker = static_cast<unsigned>(index);
  std::erase(idle_, worker);
  return &wake_[worker];  // the conditions live as long as the queue
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::condition_variable& wake = wake_[mine];
    while (!ready()) {
      // Listed as waiting on every pass: a poster takes a worker off the list as it wakes
      // it, and another worker may have taken that request meanwhile.
      if (std::find(idle_.begin(), idle_.end(), mine) == idle_.end()) idle_.push_back(mine);
      if (timeoutMs == kInfinite) {
        wake.wait(lock);
      } else if (wake.wait_until(lock, deadline) == std::cv_status::timeout && !ready()) {
        std::erase(idle_, mine);
        return false;
      }
    }
    std::erase(idle_, mine);
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
  room_.notify_all();
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
    idle_.clear();
    for (std::condition_variable& wake : wake_) wake.notify_all();
  }
  room_.notify_all();
  // `dropped` goes here, outside the lock, closing the connections it held.
}

}  // namespace orbiscope
