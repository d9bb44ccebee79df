#include "app/UiLoop.h"

namespace orbiscope {

void UiLoop::Post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (quit_) return;
  work_.push_back(std::move(work));
  cv_.notify_one();
}

int UiLoop::Run() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return quit_ || !work_.empty(); });
      if (quit_) {
        work_.clear();
        return code_;
      }
      work = std::move(work_.front());
      work_.pop_front();
    }
    work();
  }
}

void UiLoop::Quit(int code) {
  std::lock_guard lock(mutex_);
  quit_ = true;
  code_ = code;
  cv_.notify_one();
}

}  // namespace orbiscope
