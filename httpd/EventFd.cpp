#include "httpd/EventFd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

namespace orbiscope {

EventFd::EventFd(Mode mode) : mode_(mode) {
  fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

EventFd::~EventFd() {
  if (fd_ >= 0) ::close(fd_);
}

void EventFd::Set() {
  sets_.fetch_add(1, std::memory_order_release);
  const std::uint64_t one = 1;
  // A full counter (EAGAIN) means the signal is raised already.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EventFd::Reset() { Consume(); }

bool EventFd::Consume() {
  std::uint64_t value = 0;
  for (;;) {
    if (::read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno != EINTR) return false;
  }
}

bool EventFd::Wait(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int left = -1;
    if (timeoutMs >= 0) {
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      left = rest.count() < 0 ? 0 : static_cast<int>(rest.count());
    }
    pollfd p {fd_, POLLIN, 0};
    const int n = ::poll(&p, 1, left);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      if (mode_ == Mode::ManualReset || Consume()) {
        sets_.load(std::memory_order_acquire);
        return true;
      }
      // Another waiter took the signal between poll and read; wait on.
    }
    if (n <= 0) return false;  // timed out, or poll itself failed
  }
}

}  // namespace orbiscope
