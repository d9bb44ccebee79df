#include "httpd/client/RequestReader.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "httpd/ThreadPoolClient.h"
#include "httpd/WSocket.h"

namespace orbiscope {
namespace {

constexpr unsigned kPollStepMs = 250;

// Hands over what the assembler decided, or nothing while it still waits for bytes.
bool Finished(RequestAssembler& assembler, std::string& raw, ReadOutcome& outcome) {
  switch (assembler.State()) {
    case FrameState::Complete:
      raw = assembler.TakeRequest();
      outcome = ReadOutcome::Complete;
      return true;
    case FrameState::TooLarge:
      raw = assembler.TakeAll();
      outcome = ReadOutcome::TooLarge;
      return true;
    case FrameState::Unsupported:
      raw = assembler.TakeAll();
      outcome = ReadOutcome::Unsupported;
      return true;
    case FrameState::Incomplete:
      return false;
  }
  return false;
}

enum class Received { Data, Retry, Failed, Full };

Received ReceiveInto(CHttpSocket& socket, RequestAssembler& assembler) {
  std::span<char> space = assembler.ReceiveSpace();
  if (space.empty()) return Received::Full;
  try {
    std::size_t n = socket.Receive(space.data(), space.size());
    assembler.Commit(n);
    return Received::Data;
  } catch (const CWSocketException& e) {
    if (e.GetErrorCode() == EAGAIN || e.GetErrorCode() == EWOULDBLOCK) return Received::Retry;
    return Received::Failed;
  }
}

}  // namespace

IdleTimer::IdleTimer() : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

IdleTimer::~IdleTimer() {
  if (fd_ >= 0) ::close(fd_);
}

void IdleTimer::Arm(unsigned timeoutMs) {
  if (fd_ < 0) return;
  itimerspec spec {};
  // A zero due time would disarm the timer; the shortest time-out is one nanosecond.
  spec.it_value.tv_sec = timeoutMs / 1000;
  spec.it_value.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (timeoutMs == 0) spec.it_value.tv_nsec = 1;
  ::timerfd_settime(fd_, 0, &spec, nullptr);
}

ReadOutcome ReadRequest(CHttpSocket& socket, RequestAssembler& assembler, std::string& raw,
                        unsigned idleTimeoutMs, IdleTimer& timer, int stopFd) {
  ReadOutcome outcome = ReadOutcome::Failed;
  while (!Finished(assembler, raw, outcome)) {
    int which = -1;
    try {
      which = socket.WaitFor(POLLIN, -1, {timer.Fd(), stopFd});
    } catch (const CWSocketException&) {
      which = -1;
    }
    if (which != 0) break;  // idle time-out, stop request or a failed wait
    timer.Arm(idleTimeoutMs);
    Received r = ReceiveInto(socket, assembler);
    if (r == Received::Failed) break;
    if (r == Received::Full) return raw = assembler.TakeAll(), ReadOutcome::TooLarge;
  }
  if (outcome == ReadOutcome::Failed) raw = assembler.TakeAll();
  return outcome;
}

ReadOutcome ReadRequest(CHttpSocket& socket, RequestAssembler& assembler, std::string& raw,
                        unsigned idleTimeoutMs, const CThreadPoolClient& client) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastData = Clock::now();
  ReadOutcome outcome = ReadOutcome::Failed;
  while (!Finished(assembler, raw, outcome)) {
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastData);
    if (static_cast<unsigned long long>(idle.count()) > idleTimeoutMs || client.RequestToStop()) break;
    bool readable = false;
    try {
      readable = socket.IsReadible(kPollStepMs);
    } catch (const CWSocketException&) {
      break;
    }
    if (!readable) continue;
    Received r = ReceiveInto(socket, assembler);
    if (r == Received::Failed) break;
    if (r == Received::Full) return raw = assembler.TakeAll(), ReadOutcome::TooLarge;
    if (r == Received::Data) lastData = Clock::now();
  }
  if (outcome == ReadOutcome::Failed) raw = assembler.TakeAll();
  return outcome;
}

}  // namespace orbiscope
