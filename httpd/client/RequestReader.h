#pragma once
// Receiving one request from a connection: the idle timer and the two read loops.

#include <string>

#include "httpd/RequestFraming.h"

namespace orbiscope {

class CHttpSocket;
class CThreadPoolClient;

// The connection's idle timer: a timerfd that turns readable once the client has sent
// nothing for the idle time-out.
class IdleTimer {
public:
  IdleTimer();
  ~IdleTimer();
  IdleTimer(const IdleTimer&) = delete;
  IdleTimer& operator=(const IdleTimer&) = delete;

  // False when the system could not make the timer (the polling read is used then).
  bool IsValid() const { return fd_ >= 0; }
  // Fires once, `timeoutMs` from now; re-arming replaces the previous due time.
  void Arm(unsigned timeoutMs);
  int Fd() const { return fd_; }

private:
  int fd_ = -1;
};

enum class ReadOutcome {
  Complete,  // `raw` holds one whole request
  Failed,    // time-out, stop request, socket failure or closed peer: answer nothing
  TooLarge,  // over a size bound or a bad Content-Length: answer 400 and close
};

// Waits in one poll(2) for the socket, the idle timer and the stop event, in that order of
// priority, receiving into `assembler` until it holds a whole request; the timer is
// re-armed at every wake-up for the socket. A request already held (pipelined) is handed
// over without waiting.
ReadOutcome ReadRequest(CHttpSocket& socket, RequestAssembler& assembler, std::string& raw,
                        unsigned idleTimeoutMs, IdleTimer& timer, int stopFd);

// The same without a timer: waits for the socket in 250 ms steps and gives up once nothing
// arrived for the idle time-out or the client was asked to stop.
ReadOutcome ReadRequest(CHttpSocket& socket, RequestAssembler& assembler, std::string& raw,
                        unsigned idleTimeoutMs, const CThreadPoolClient& client);

}  // namespace orbiscope
