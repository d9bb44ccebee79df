#include "httpd/EventLoop.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "httpd/ThreadPoolQueue.h"

namespace orbiscope {
namespace {

using Clock = std::chrono::steady_clock;

// Readiness reported by one epoll_wait.
constexpr int kEventsPerWait = 128;
// Connections accepted per readiness of the listener, so reading goes on under a flood.
constexpr int kAcceptsPerWake = 64;
// Receives per readiness of one connection, so one fast sender cannot starve the others.
constexpr int kReceivesPerWake = 16;
// Pause after an accept failed for want of descriptors or memory: the pending connection
// keeps the listener readable, so retrying at once would spin.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// How long a refused client's remaining bytes are read and dropped before the close, and
// how many at most.
constexpr auto kLingerTime = std::chrono::seconds(1);
constexpr std::uint64_t kLingerBytes = kMaxRequestBytes;
// The system's send buffer of a feed's follower. Parts wait there as well as in the
// follower's queue, and a large buffer would let a slow client fall seconds behind the
// newest part before it skips any; this holds a few parts of a typical size.
constexpr int kFeedSendBuffer = 128 * 1024;
// A follower waiting for a part (capture paused) sends nothing and so never meets the write
// time-out; one whose client vanished without a close (power, network gone) is found by
// keep-alive probes instead: the first after this much silence, then a few more apart,
// and the connection fails after the last one unanswered, some 90 s after it went quiet.
constexpr int kFeedKeepIdleSeconds = 60;
constexpr int kFeedKeepIntervalSeconds = 10;
constexpr int kFeedKeepProbes = 3;
// Deadlines are checked no more often than this.
constexpr auto kScanSpacing = std::chrono::milliseconds(20);
// Refusals for the connection limits are reported at most this often.
constexpr auto kRefusalReportSpacing = std::chrono::seconds(10);

// The tags of the loop's own descriptors in the epoll set; connections carry their address.
char listenerTag;
char stopTag;
char wakeTag;

std::int64_t Ticks(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point FromTicks(std::int64_t ticks) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ticks)));
}

constexpr std::int64_t kNever = INT64_MAX;

std::string WithCode(std::string_view text, int code) {
  std::string out(text);
  out += std::to_string(code);
  return out;
}

}  // namespace

EventLoop::EventLoop(EventLoopOptions options, ErrorHook onError, Refusal refusal)
    : options_(options), onError_(std::move(onError)), refusal_(std::move(refusal)),
      nextScan_(kNever) {
  feedWaker_ = std::make_shared<FeedWaker>(this);
}

EventLoop::~EventLoop() {
  // Channels may outlive the loop: they must not wake it any more.
  feedWaker_->Detach();
  CloseAll();
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

bool EventLoop::Watch(int fd, void* tag) {
  epoll_event event {};
  event.events = EPOLLIN;
  event.data.ptr = tag;
  return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool EventLoop::Open(int listenFd, EventFd& stop) {
  listenFd_ = listenFd;
  stop_ = &stop;
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return false;
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return wake_ >= 0 && Watch(wake_, &wakeTag) && Watch(stop.Fd(), &stopTag) &&
         Watch(listenFd, &listenerTag);
}

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

void EventLoop::Wake() {
  if (wakePending_.exchange(true)) return;
  const std::uint64_t one = 1;
  while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EventLoop::HandOnOrLeave() {
  Owned next;
  CThreadPoolQueue* queue = nullptr;
  {
    std::lock_guard lock(lock_);
    if (!closed_ && queue_ != nullptr && !ready_.empty()) {
      next = std::move(ready_.front());
      ready_.pop_front();
      queue = queue_;
    }
  }
  if (!next) {
    LeftWorker();
    return;
  }
  // The returning request's place in the pool goes to the oldest waiting one: the worker
  // finds it in the queue when it looks next, where it would otherwise sleep until the
  // loop woke, posted and woke a worker in turn. The count of requests with the workers
  // stays as it was.
  next->withWorker_ = true;
  Post(*queue, std::move(next));
}

void EventLoop::Post(CThreadPoolQueue& queue, Owned connection) {
  CThreadPoolRequest request;
  request.m_dwID = PoolRequestKind::Serve;
  request.m_pConnection = std::move(connection);
  queue.PostRequest(std::move(request), 0);  // refused only while stopping: it closes
}

void EventLoop::LeftWorker() {
  withWorkers_.fetch_sub(1);
  // Pairs with Dispatch, which raises the flag before it looks at the count a last time.
  if (backlogged_.load()) Wake();
}

bool EventLoop::PullScan(Clock::time_point when) {
  const std::int64_t ticks = Ticks(when);
  std::int64_t current = nextScan_.load();
  while (ticks < current) {
    if (nextScan_.compare_exchange_weak(current, ticks)) return true;
  }
  return false;
}

bool EventLoop::Arm(HttpConnection& connection) {
  epoll_event event {};
  // One-shot: a connection reports once and is then silent until armed again, so nothing
  // is reported for it while a worker holds it.
  const bool writing = connection.state_ == State::Writing ||
                       (connection.state_ == State::Feeding && !connection.output_.Empty());
  event.events = (writing ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT;
  event.data.ptr = &connection;
  const int op = connection.registered_ ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(epoll_, op, connection.Fd(), &event) != 0) return false;
  connection.registered_ = true;
  return true;
}

void EventLoop::Park(Owned connection, State state, Clock::time_point deadline) {
  Owned refused;
  bool pulled = false;
  {
    std::lock_guard lock(lock_);
    HttpConnection& c = *connection;
    c.state_ = state;
    c.deadline_ = deadline;
    if (closed_) {
      refused = std::move(connection);
    } else {
      c.slot_ = parked_.size();
      parked_.push_back(std::move(connection));
      // Armed under the lock: the loop cannot close it, and its descriptor number cannot be
      // taken by another connection, between the insertion and the arming.
      if (!Arm(c)) {
        refused = TakeSlot(c.slot_);
      } else {
        pulled = PullScan(deadline);
      }
    }
  }
  // A loop asleep without a deadline in view must learn of this one.
  if (pulled && !refused) Wake();
}

EventLoop::Owned EventLoop::TakeSlot(std::size_t slot) {
  Owned owned = std::move(parked_[slot]);
  if (slot + 1 != parked_.size()) {
    parked_[slot] = std::move(parked_.back());
    parked_[slot]->slot_ = slot;
  }
  parked_.pop_back();
  return owned;
}

EventLoop::Owned EventLoop::Unpark(HttpConnection* connection) {
  std::lock_guard lock(lock_);
  return TakeSlot(connection->slot_);
}

void EventLoop::Return(Owned connection, HttpConnection::After after) {
  connection->withWorker_ = false;
  HandOnOrLeave();
  HttpConnection& c = *connection;
  c.after_ = after;
  if (c.output_.Empty()) {
    if (after == HttpConnection::After::Close) return;  // closes here
    // The common case, a kept-alive connection waiting for its next request, is parked
    // straight from the worker, without a detour through the loop's thread.
    if (after == HttpConnection::After::KeepAlive && c.input_.State() == FrameState::Incomplete) {
      Park(std::move(connection), State::Reading,
           Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs));
      return;
    }
  }
  {
    std::lock_guard lock(lock_);
    if (closed_) return;
    inbox_.push_back(std::move(connection));
  }
  Wake();
}

void EventLoop::Run(CThreadPoolQueue& queue) {
  {
    std::lock_guard lock(lock_);
    queue_ = &queue;
  }
  epoll_event events[kEventsPerWait];
  for (;;) {
    std::int64_t wakeAt = nextScan_.load();
    if (acceptPaused_) wakeAt = std::min(wakeAt, Ticks(acceptPausedUntil_));
    int timeoutMs = -1;
    if (wakeAt != kNever) {
      const auto left = FromTicks(wakeAt) - Clock::now();
      timeoutMs = static_cast<int>(std::clamp<long long>(
          std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, INT_MAX));
    }
    const int n = ::epoll_wait(epoll_, events, kEventsPerWait, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      onError_(WithCode("CHttpServer::ListenSocketFunction, Failed in call to WSAEventSelect, "
                        "GetLastError:",
                        errno));
      break;
    }
    // Every connection a worker parked was put in the list under this lock before it was
    // armed; taking it once orders what the worker wrote before what the loop reads now.
    { std::lock_guard lock(lock_); }
    // The stop is looked at first, through the event itself: seeing it there orders this
    // thread after Stop, for race checkers too, which cannot see through epoll.
    const auto isStop = [](const epoll_event& e) { return e.data.ptr == &stopTag; };
    if (std::any_of(events, events + n, isStop) && stop_->TryWait()) break;
    bool acceptable = false;
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &wakeTag) {
        TakeInbox();
      } else if (tag == &listenerTag) {
        acceptable = true;
      } else {
        OnEvent(static_cast<HttpConnection*>(tag));
      }
    }
    // New connections after the events of the same wait: a client that closed connections
    // and opened new ones at once finds the closed ones no longer counted against its limit.
    if (acceptable) AcceptSome();
    // After the events: a follower this ends may have had one of them.
    if (feedOffered_.exchange(false)) {
      for (std::size_t i = feeds_.size(); i-- > 0;)
        if (feeds_[i]->output_.Empty()) Feed(i);
    }
    const auto now = Clock::now();
    if (Ticks(now) >= nextScan_.load()) Scan(now);
    if (acceptPaused_ && now >= acceptPausedUntil_) {
      acceptPaused_ = !Watch(listenFd_, &listenerTag);
      if (acceptPaused_) acceptPausedUntil_ = now + kAcceptBackoff;
    }
    Dispatch(queue);
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
  CloseAll();
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
      onError_(WithCode("CHttpServer::ListenSocketFunction, An error occurred accepting a client "
                        "connection, GetLastError:",
                        code));
      if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
        acceptPaused_ = true;
        acceptPausedUntil_ = Clock::now() + kAcceptBackoff;
      }
      return;
    }
    if (!Admit(peer)) {
      Refuse(fd);
      continue;
    }
    Park(std::make_unique<HttpConnection>(this, fd, peer), State::Reading,
         Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs));
  }
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

void EventLoop::OnEvent(HttpConnection* connection) {
  switch (connection->state_) {
    case State::Reading:
      ReadRequest(connection);
      break;
    case State::Writing:
      Write(connection);
      break;
    case State::Lingering:
      Linger(connection);
      break;
    case State::Feeding:
      OnFeedEvent(connection->slot_);
      break;
  }
}

void EventLoop::ReadRequest(HttpConnection* connection) {
  RequestAssembler& input = connection->input_;
  const bool begun = input.Size() > 0;
  bool gone = false;
  for (int i = 0; i < kReceivesPerWake && input.State() == FrameState::Incomplete; ++i) {
    std::span<char> space = input.ReceiveSpace();
    if (space.empty()) break;
    const ssize_t n = ::recv(connection->Fd(), space.data(), space.size(), 0);
    if (n > 0) {
      input.Commit(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  if (input.State() != FrameState::Incomplete) {
    std::lock_guard lock(lock_);
    ready_.push_back(TakeSlot(connection->slot_));
    return;
  }
  // Nothing is answered to a client that left, or that failed, before a whole request.
  if (gone) {
    Unpark(connection);
    return;
  }
  // From its first byte on, a request has the idle time-out to arrive whole: a trickle of
  // bytes does not extend it.
  if (!begun && input.Size() > 0) {
    connection->deadline_ = Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs);
  }
  if (!Arm(*connection)) Unpark(connection);
}

void EventLoop::Write(HttpConnection* connection) {
  OutputQueue& output = connection->output_;
  const std::uint64_t before = output.Sent();
  int error = 0;
  switch (output.FlushTo(connection->Fd(), error)) {
    case OutputQueue::Flush::Done:
      Proceed(Unpark(connection));
      return;
    case OutputQueue::Flush::Blocked:
      // The write time-out counts from the last progress, as a slow but reading client
      // is no fault; it holds no worker any more.
      if (output.Sent() != before)
        connection->deadline_ = Clock::now() + std::chrono::milliseconds(options_.writeTimeoutMs);
      if (!Arm(*connection)) Unpark(connection);
      return;
    case OutputQueue::Flush::Failed:
      ReportSendFailure(*connection, error);
      Unpark(connection);
      return;
  }
}

void EventLoop::Linger(HttpConnection* connection) {
  char sink[16384];
  for (;;) {
    const ssize_t n = ::recv(connection->Fd(), sink, sizeof sink, 0);
    if (n > 0) {
      const auto got = static_cast<std::uint64_t>(n);
      connection->lingerLeft_ -= std::min(got, connection->lingerLeft_);
      if (connection->lingerLeft_ == 0) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (Arm(*connection)) return;
    }
    break;  // the client closed too, failed, or sent too much
  }
  Unpark(connection);
}

void EventLoop::ReportSendFailure(const HttpConnection& connection, int code) {
  if (!connection.failureText_.empty()) onError_(WithCode(connection.failureText_, code));
}

void EventLoop::TakeInbox() {
  // The signal is consumed before the flag is lowered: lowered first, a Wake landing in
  // between would write a signal this read swallows and leave the flag up, and every later
  // Wake would then think a signal pending while the loop sleeps. In this order a Wake that
  // still sees the flag up came before the lowering, and what it announced (a hand-back in
  // the inbox, a worker freed for Dispatch) is seen by the steps below.
  std::uint64_t count;
  while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
  }
  wakePending_.store(false);
  std::deque<Owned> returned;
  {
    std::lock_guard lock(lock_);
    returned.swap(inbox_);
  }
  for (Owned& connection : returned) {
    if (connection->after_ == HttpConnection::After::Feed) {
      StartFeed(std::move(connection));
    } else if (!connection->output_.Empty()) {
      Park(std::move(connection), State::Writing,
           Clock::now() + std::chrono::milliseconds(options_.writeTimeoutMs));
    } else {
      Proceed(std::move(connection));
    }
  }
}

void EventLoop::Proceed(Owned connection) {
  switch (connection->after_) {
    case HttpConnection::After::Close:
      return;
    case HttpConnection::After::Linger:
      ::shutdown(connection->Fd(), SHUT_WR);
      connection->lingerLeft_ = kLingerBytes;
      Park(std::move(connection), State::Lingering, Clock::now() + kLingerTime);
      return;
    case HttpConnection::After::Feed:
      StartFeed(std::move(connection));
      return;
    case HttpConnection::After::KeepAlive:
      if (connection->input_.State() != FrameState::Incomplete) {
        std::lock_guard lock(lock_);
        ready_.push_back(std::move(connection));  // pipelined: its next request is here
      } else {
        Park(std::move(connection), State::Reading,
             Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs));
      }
      return;
  }
}

void EventLoop::Dispatch(CThreadPoolQueue& queue) {
  for (;;) {
    Owned connection;
    {
      std::lock_guard lock(lock_);
      if (ready_.empty()) break;
      if (withWorkers_.load() >= options_.requestsAtOnce) {
        // Raised before the last look, so a worker returning now sees it and wakes the
        // loop, or hands its place on itself.
        backlogged_.store(true);
        if (withWorkers_.load() >= options_.requestsAtOnce) return;
      }
      connection = std::move(ready_.front());
      ready_.pop_front();
    }
    connection->withWorker_ = true;
    withWorkers_.fetch_add(1);
    Post(queue, std::move(connection));
  }
  backlogged_.store(false);
}

void EventLoop::Scan(Clock::time_point now) {
  std::vector<Owned> expired;
  std::int64_t earliest = kNever;
  // A follower whose part made no progress for the write time-out ends.
  for (std::size_t i = feeds_.size(); i-- > 0;) {
    if (feeds_[i]->deadline_ <= now) {
      EndFeed(i);
    } else if (feeds_[i]->deadline_ != Clock::time_point::max()) {
      earliest = std::min(earliest, Ticks(feeds_[i]->deadline_));
    }
  }
  {
    std::lock_guard lock(lock_);
    for (std::size_t slot = 0; slot < parked_.size();) {
      HttpConnection& c = *parked_[slot];
      if (c.deadline_ <= now) {
        expired.push_back(TakeSlot(slot));  // the last one moves here: look at it next
      } else {
        earliest = std::min(earliest, Ticks(c.deadline_));
        ++slot;
      }
    }
    nextScan_.store(earliest == kNever ? kNever : std::max(earliest, Ticks(now + kScanSpacing)));
  }
  // A send that made no progress for the write time-out fails as a timed-out send does.
  for (const Owned& c : expired)
    if (c->state_ == State::Writing) ReportSendFailure(*c, EAGAIN);
}

void EventLoop::CloseAll() {
  std::vector<Owned> parked;
  std::deque<Owned> inbox;
  std::deque<Owned> ready;
  {
    std::lock_guard lock(lock_);
    closed_ = true;
    queue_ = nullptr;
    parked.swap(parked_);
    inbox.swap(inbox_);
    ready.swap(ready_);
  }
  feeds_.clear();
}

void EventLoop::FeedOffered() {
  feedOffered_.store(true);
  Wake();
}

void EventLoop::StartFeed(Owned connection) {
  if (!connection->feed_) return;  // nothing to follow: it closes
  HttpConnection& c = *connection;
  c.state_ = State::Feeding;
  c.deadline_ = Clock::time_point::max();
  ::setsockopt(c.Fd(), SOL_SOCKET, SO_SNDBUF, &kFeedSendBuffer, sizeof kFeedSendBuffer);
  const int on = 1;
  ::setsockopt(c.Fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(c.Fd(), IPPROTO_TCP, TCP_KEEPIDLE, &kFeedKeepIdleSeconds, sizeof(int));
  ::setsockopt(c.Fd(), IPPROTO_TCP, TCP_KEEPINTVL, &kFeedKeepIntervalSeconds, sizeof(int));
  ::setsockopt(c.Fd(), IPPROTO_TCP, TCP_KEEPCNT, &kFeedKeepProbes, sizeof(int));
  c.feed_->channel->Follow(feedWaker_);
  c.feed_->counted = true;
  c.slot_ = feeds_.size();
  feeds_.push_back(std::move(connection));
  Feed(c.slot_);
}

void EventLoop::Feed(std::size_t index) {
  HttpConnection& c = *feeds_[index];
  HttpConnection::Following& feed = *c.feed_;
  OutputQueue& output = c.output_;
  for (;;) {
    if (output.Empty()) {
      if (feed.closing) {
        EndFeed(index);
        return;
      }
      const FeedChannel::Newest newest = feed.channel->After(feed.sequence);
      if (newest.closed) {
        feed.closing = true;
      } else if (newest.part) {
        feed.sequence = newest.sequence;
      } else {
        break;  // everything offered went out
      }
      if (newest.part) {
        for (const FeedPart::Piece& piece : newest.part->pieces)
          output.Share(newest.part, piece.bytes);  // the part keeps its pieces' owners
        feed.channel->NoteQueued(output.Queued());
      }
      continue;
    }
    const std::uint64_t before = output.Sent();
    int error = 0;
    switch (output.FlushTo(c.Fd(), error)) {
      case OutputQueue::Flush::Done:
        continue;
      case OutputQueue::Flush::Blocked:
        // The write time-out counts from the last progress, as for any response.
        if (output.Sent() != before || c.deadline_ == Clock::time_point::max()) {
          c.deadline_ = Clock::now() + std::chrono::milliseconds(options_.writeTimeoutMs);
          PullScan(c.deadline_);
        }
        if (!Arm(c)) EndFeed(index);
        return;
      case OutputQueue::Flush::Failed:
        EndFeed(index);  // the client went: the usual end of a stream, nothing to report
        return;
    }
  }
  // Waiting for the next part; readable only when the client closes or sends something.
  c.deadline_ = Clock::time_point::max();
  if (!Arm(c)) EndFeed(index);
}

void EventLoop::OnFeedEvent(std::size_t index) {
  HttpConnection& c = *feeds_[index];
  char sink[4096];
  for (int i = 0; i < kReceivesPerWake; ++i) {
    const ssize_t n = ::recv(c.Fd(), sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) continue;  // a follower has nothing more to ask: dropped
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    EndFeed(index);  // the client closed, or failed
    return;
  }
  Feed(index);
}

void EventLoop::EndFeed(std::size_t index) {
  Owned ended = std::move(feeds_[index]);
  if (index + 1 != feeds_.size()) {
    feeds_[index] = std::move(feeds_.back());
    feeds_[index]->slot_ = index;
  }
  feeds_.pop_back();
}

}  // namespace orbiscope
