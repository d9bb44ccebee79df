// The event loop's door: connections accepted, counted against the limits, and refused
// with a short answer beyond them.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "httpd/EventLoop.h"
#include "httpd/EventLoopParts.h"
#include "log/PlatformTexts.h"

namespace orbiscope {
namespace {

// Connections accepted per readiness of the listener, so reading goes on under a flood.
constexpr int kAcceptsPerWake = 64;
// Pause after an accept failed for want of descriptors or memory: the pending connection
// keeps the listener readable, so retrying at once would spin.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// Refusals for the connection limits are reported at most this often.
constexpr auto kRefusalReportSpacing = std::chrono::seconds(10);

using event_loop::kReceivesPerWake;
using event_loop::listenerTag;
using event_loop::WithCode;

}  // namespace

bool EventLoop::Admit(const sockaddr_in& peer) {
  std::lock_guard lock(countLock_);
  if (open_ >= options_.maxConnections) return false;
  int& fromClient = perClient_[peer.sin_addr.s_addr];
  const std::vector<std::uint32_t>& trusted = options_.trustedProxies;
  if (fromClient >= options_.maxConnectionsPerClient &&
      std::find(trusted.begin(), trusted.end(), peer.sin_addr.s_addr) == trusted.end()) {
    if (fromClient == 0) perClient_.erase(peer.sin_addr.s_addr);
    return false;
  }
  ++fromClient;
  ++open_;
  return true;
}

int EventLoop::OpenConnections() const {
  std::lock_guard lock(countLock_);
  return open_;
}

void EventLoop::Forget(const HttpConnection& connection) {
  if (connection.withWorker_) LeftWorker();
  std::lock_guard lock(countLock_);
  --open_;
  auto it = perClient_.find(connection.Peer().sin_addr.s_addr);
  if (it != perClient_.end() && --it->second <= 0) perClient_.erase(it);
}

void EventLoop::AcceptSome() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    sockaddr_in peer {};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int code = errno;
      if (code == EINTR) continue;
      if (code == EAGAIN || code == EWOULDBLOCK) return;  // none left, or the client gave up
      onError_(WithCode(platform_texts::kAcceptFailed, code));
      if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) PauseAccepting();
      return;
    }
    if (!Admit(peer)) {
      Refuse(fd);
      continue;
    }
    Park(std::make_unique<HttpConnection>(this, fd, peer), State::Reading, IdleDeadline());
  }
}

void EventLoop::PauseAccepting() {
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
  acceptPaused_ = true;
  acceptPausedUntil_ = Clock::now() + kAcceptBackoff;
}

void EventLoop::ResumeAcceptingWhenDue(Clock::time_point now) {
  if (!acceptPaused_ || now < acceptPausedUntil_) return;
  acceptPaused_ = !Watch(listenFd_, &listenerTag);
  if (acceptPaused_) acceptPausedUntil_ = now + kAcceptBackoff;
}

void EventLoop::Refuse(int fd) {
  const std::string answer = refusal_ ? refusal_() : std::string();
  // A request already there is read, so the close does not reset the connection under the
  // answer; anything later is the client's loss. Bounded as any read of one wake-up: a
  // client that keeps sending would otherwise hold the loop here.
  char sink[4096];
  for (int i = 0; i < kReceivesPerWake; ++i) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    break;
  }
  if (!answer.empty()) ::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  ++refusedSinceReport_;
  const auto now = Clock::now();
  if (now - lastRefusalReport_ >= kRefusalReportSpacing) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "CHttpServer::ListenSocketFunction, Connection limit reached, refused %d "
                  "connection(s) with 503",
                  refusedSinceReport_);
    onError_(text);
    refusedSinceReport_ = 0;
    lastRefusalReport_ = now;
  }
}

}  // namespace orbiscope
