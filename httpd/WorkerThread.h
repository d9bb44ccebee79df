#pragma once
// A thread that may be made suspended and resumed later, and asked whether it has ended
// without waiting for it.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orbiscope {

class WorkerThread {
public:
  enum class Priority { Normal, Idle };

  WorkerThread() = default;
  // Resumes a suspended thread and joins it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts body on a new thread, held before body until Resume when suspended. False when
  // the system cannot make the thread (or one is already held).
  bool Start(std::function<void()> body, bool suspended, Priority priority = Priority::Normal);
  void Resume();
  // Whether body has returned (a zero-time wait).
  bool HasEnded() const { return ended_.load(std::memory_order_acquire); }
  // Resumes the thread if it is still held, then waits for its end. Safe without a thread.
  void Join();
  bool IsStarted() const { return thread_.joinable(); }

private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable resumed_;
  bool go_ = false;
  std::atomic<bool> ended_ {false};
};

}  // namespace orbiscope
