#pragma once
// A signal one thread raises and another waits for, made pollable so that a worker can wait
// for its socket, a timer and a stop request in one poll(2).

#include <atomic>

namespace orbiscope {

class EventFd {
public:
  enum class Mode { AutoReset, ManualReset };

  // Throws std::system_error when the process has no descriptor left.
  explicit EventFd(Mode mode = Mode::AutoReset);
  ~EventFd();
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;

  // Raises the signal; raising a raised signal changes nothing.
  void Set();
  // Lowers the signal.
  void Reset();
  // Waits up to timeoutMs (negative: without limit); true when the signal was seen. An
  // auto-reset signal is lowered by the waiter that sees it, so only one waiter wakes.
  bool Wait(int timeoutMs);
  // Wait(0).
  bool TryWait() { return Wait(0); }
  // Readable (POLLIN) while the signal is raised; for poll(2) together with other descriptors.
  int Fd() const { return fd_; }

private:
  bool Consume();

  int fd_ = -1;
  Mode mode_;
  // Raised with release order and read with acquire order by a waiter that saw the signal,
  // so what the raiser wrote before Set is visible to the waiter in the language's terms
  // too, not only through the kernel (which race detectors cannot see).
  std::atomic<unsigned> sets_ {0};
};

}  // namespace orbiscope
