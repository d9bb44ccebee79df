#pragma once
// The headless front-end's user-interface thread: a queue of work run in order on the
// thread that calls Run, fed from any thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace orbiscope {

class UiLoop {
public:
  // Queues work; safe from any thread. Work posted after Quit is dropped.
  void Post(std::function<void()> work);
  // Runs queued work until Quit; answers the exit code given to Quit.
  int Run();
  // Ends Run once the work running now returns.
  void Quit(int code = 0);

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> work_;
  bool quit_ = false;
  int code_ = 0;
};

}  // namespace orbiscope
