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

#include "httpd/EventLoopParts.h"
#include "httpd/ThreadPoolQueue.h"
#include "log/PlatformTexts.h"

namespace orbiscope {
namespace {

using Clock = std::chrono::steady_clock;

// Readiness reported by one epoll_wait.
constexpr int kEventsPerWait = 128;
// How long a refused client's remaining bytes are read and dropped before the close, and
// how many at most.
constexpr auto kLingerTime = std::chrono::seconds(1);
constexpr std::uint64_t kLingerBytes = kMaxRequestBytes;
// Deadlines are checked no more often than this.
constexpr auto kScanSpacing = std::chrono::milliseconds(20);

std::int64_t Ticks(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point FromTicks(std::int64_t ticks) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ticks)));
}

constexpr std::int64_t kNever = INT64_MAX;

}  // namespace

using event_loop::kReceivesPerWake;
using event_loop::listenerTag;
using event_loop::stopTag;
using event_loop::wakeTag;
using event_loop::WithCode;

// The connection's own work lives with the loop that holds it between requests: the way of
// a request from the accepted socket back to it then leaves this file only for the session.

HttpConnection::HttpConnection(EventLoop* loop, int fd, const sockaddr_in& peer)
    : peer_(peer), loop_(loop) {
  socket_.Attach(fd);
}

HttpConnection::~HttpConnection() {
  if (feed_) {
    if (feed_->counted) feed_->channel->Unfollow();
    const std::uint64_t sent = output_.Sent() - feed_->sentBefore;
    if (feed_->onEnd) feed_->onEnd(sent);
  }
  output_.Clear();
  socket_.Close();
  if (loop_ != nullptr) loop_->Forget(*this);
}

void HttpConnection::Follow(std::shared_ptr<FeedChannel> channel, FeedEnd onEnd) {
  feed_ = std::make_unique<Following>();
  feed_->channel = std::move(channel);
  feed_->onEnd = std::move(onEnd);
  feed_->sentBefore = output_.Sent();
}

bool HttpConnection::ReadAhead() {
  if (loop_ != nullptr && loop_->Backlogged()) return false;
  while (input_.State() == FrameState::Incomplete) {
    std::span<char> space = input_.ReceiveSpace();
    if (space.empty()) break;
    const ssize_t n = ::recv(Fd(), space.data(), space.size(), MSG_DONTWAIT);
    if (n > 0) {
      input_.Commit(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // nothing more yet; a close or a failure is the loop's to see
    }
  }
  return input_.State() != FrameState::Incomplete;
}

void ReturnToLoop(std::unique_ptr<HttpConnection> connection, HttpConnection::After after) {
  if (!connection) return;
  EventLoop* loop = connection->loop_;
  if (loop != nullptr) loop->Return(std::move(connection), after);
}

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
      // Nothing waits any more: read-ahead is fair again. Lowered under the lock the loop
      // raises it under, with the list it describes.
      if (ready_.empty()) backlogged_.store(false);
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

EventLoop::Owned EventLoop::SwapRemove(std::vector<Owned>& list, std::size_t slot) {
  Owned owned = std::move(list[slot]);
  if (slot + 1 != list.size()) {
    list[slot] = std::move(list.back());
    list[slot]->slot_ = slot;
  }
  list.pop_back();
  return owned;
}

EventLoop::Owned EventLoop::TakeSlot(std::size_t slot) { return SwapRemove(parked_, slot); }

EventLoop::Owned EventLoop::Unpark(HttpConnection* connection) {
  std::lock_guard lock(lock_);
  return TakeSlot(connection->slot_);
}

void EventLoop::CloseParked(HttpConnection* connection) {
  const Owned closing = Unpark(connection);  // its destructor closes the socket
}

EventLoop::Clock::time_point EventLoop::IdleDeadline() const {
  return Clock::now() + std::chrono::milliseconds(options_.idleTimeoutMs);
}

EventLoop::Clock::time_point EventLoop::WriteDeadline() const {
  return Clock::now() + std::chrono::milliseconds(options_.writeTimeoutMs);
}

EventLoop::Clock::time_point EventLoop::LingerDeadline() { return Clock::now() + kLingerTime; }

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
      Park(std::move(connection), State::Reading, IdleDeadline());
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
      onError_(WithCode(platform_texts::kEventSelectFailed, errno));
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
    ResumeAcceptingWhenDue(now);
    Dispatch(queue);
  }
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listenFd_, nullptr);
  CloseAll();
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
    CloseParked(connection);
    return;
  }
  // From its first byte on, a request has the idle time-out to arrive whole: a trickle of
  // bytes does not extend it.
  if (!begun && input.Size() > 0) connection->deadline_ = IdleDeadline();
  if (!Arm(*connection)) CloseParked(connection);
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
      if (output.Sent() != before) connection->deadline_ = WriteDeadline();
      if (!Arm(*connection)) CloseParked(connection);
      return;
    case OutputQueue::Flush::Failed:
      ReportSendFailure(*connection, error);
      CloseParked(connection);
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
  CloseParked(connection);
}

void EventLoop::ReportSendFailure(const HttpConnection& connection, int code) {
  const std::string& text = connection.output_.FailureText();
  if (!text.empty()) onError_(WithCode(text, code));
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
      Park(std::move(connection), State::Writing, WriteDeadline());
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
      Park(std::move(connection), State::Lingering, LingerDeadline());
      return;
    case HttpConnection::After::Feed:
      StartFeed(std::move(connection));
      return;
    case HttpConnection::After::KeepAlive:
      if (connection->input_.State() != FrameState::Incomplete) {
        std::lock_guard lock(lock_);
        ready_.push_back(std::move(connection));  // pipelined: its next request is here
      } else {
        Park(std::move(connection), State::Reading, IdleDeadline());
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

}  // namespace orbiscope
