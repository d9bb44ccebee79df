#include "httpd/WorkerThread.h"

#include <pthread.h>
#include <sched.h>

#include <system_error>

namespace orbiscope {

WorkerThread::~WorkerThread() { Join(); }

bool WorkerThread::Start(std::function<void()> body, bool suspended, Priority priority) {
  if (thread_.joinable()) return false;
  {
    std::lock_guard lock(mutex_);
    go_ = !suspended;
  }
  ended_.store(false, std::memory_order_release);
  try {
    thread_ = std::thread([this, body = std::move(body), priority] {
      if (priority == Priority::Idle) {
        sched_param param {};
        ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &param);
      }
      {
        std::unique_lock lock(mutex_);
        resumed_.wait(lock, [this] { return go_; });
      }
      body();
      ended_.store(true, std::memory_order_release);
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void WorkerThread::Resume() {
  {
    std::lock_guard lock(mutex_);
    go_ = true;
  }
  resumed_.notify_all();
}

void WorkerThread::Join() {
  if (!thread_.joinable()) return;
  // A thread never resumed would otherwise be waited for forever.
  Resume();
  thread_.join();
}

}  // namespace orbiscope
