#pragma once
// The server's event loop: one thread with one epoll set holds every connection that is not
// being answered. It accepts, reads and frames requests into each connection's buffer,
// posts a connection to the worker pool only once a whole request is there, parks
// kept-alive connections between requests, finishes the sends workers could not finish at
// once, and applies the idle, request and write time-outs. A worker therefore never waits
// for a client, and the pool's size is the number of requests answered at once.
//
// The loop's own work is in three files: EventLoop.cpp (the connections themselves, the
// parked table, reading, writing and lingering, the hand-off to the pool and the
// deadlines), EventLoopAdmission.cpp (accepting and the connection limits) and
// EventLoopFeeds.cpp (the feeds' followers).

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "httpd/EventFd.h"
#include "httpd/HttpConnection.h"

namespace orbiscope {

class CThreadPoolQueue;

struct EventLoopOptions {
  unsigned idleTimeoutMs = 30000;    // waiting for a request, and for a whole request once begun
  unsigned writeTimeoutMs = 10000;   // a send that makes no progress
  int maxConnections = 4096;         // open at once; beyond it a 503 and close
  int maxConnectionsPerClient = 64;  // open at once from one client address; the same beyond
  std::vector<std::uint32_t> trustedProxies;  // client addresses (s_addr) without that limit
  int requestsAtOnce = 10;           // posted to the pool and not yet returned
};

class EventLoop {
public:
  using ErrorHook = std::function<void(std::string_view)>;
  // The whole answer a connection over a limit gets (a short 503 page).
  using Refusal = std::function<std::string()>;

  EventLoop(EventLoopOptions options, ErrorHook onError, Refusal refusal);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Makes the epoll set watching the listening socket, `stop` and the loop's own wake-up
  // signal; false (errno) when the system refuses.
  bool Open(int listenFd, EventFd& stop);
  // Accepts and serves until `stop` is raised, posting requests to `queue`; then closes
  // every connection it holds. Runs on the listener thread, after Open.
  void Run(CThreadPoolQueue& queue);

  // From a worker: the connection's response is queued (or sent); see HttpConnection::After.
  void Return(std::unique_ptr<HttpConnection> connection, HttpConnection::After after);
  // Whether whole requests wait for a free worker.
  bool Backlogged() const { return backlogged_.load(std::memory_order_relaxed); }
  // Connections open now, wherever they are: read, answered, written or parked.
  int OpenConnections() const;
  // From a feed channel: a part was offered to connections of this loop.
  void FeedOffered();
  // From the connection's destructor alone: it is no longer open, nor with a worker.
  void Forget(const HttpConnection& connection);

private:
  using Clock = std::chrono::steady_clock;
  using Owned = std::unique_ptr<HttpConnection>;
  using State = HttpConnection::State;

  // Admission (EventLoopAdmission.cpp). Counts a new connection from `peer` open; false,
  // counting nothing, when a limit refuses it.
  bool Admit(const sockaddr_in& peer);
  void AcceptSome();
  // Sends the refusal and closes; the refusals are reported at most every few seconds.
  void Refuse(int fd);
  // After an accept failed for want of descriptors or memory: the listener is left alone
  // for a moment, and watched again by ResumeAcceptingWhenDue once the moment is over.
  void PauseAccepting();
  void ResumeAcceptingWhenDue(Clock::time_point now);

  // Watches `fd` for readability, the event carrying `tag`.
  bool Watch(int fd, void* tag);
  void OnEvent(HttpConnection* connection);
  void ReadRequest(HttpConnection* connection);
  void Write(HttpConnection* connection);
  void Linger(HttpConnection* connection);
  void TakeInbox();
  // The connection's response has gone out: close, linger, read on or queue its next request.
  void Proceed(Owned connection);
  void Dispatch(CThreadPoolQueue& queue);
  void Scan(Clock::time_point now);
  void CloseAll();

  // Followers of feed channels (EventLoopFeeds.cpp), held by the loop's thread alone.
  void StartFeed(Owned connection);
  // Takes the channel's newest part when everything before it went out, sends what the
  // socket takes and arms the connection; ends it when it failed or its channel closed.
  void Feed(std::size_t index);
  void OnFeedEvent(std::size_t index);
  void EndFeed(std::size_t index);

  // Puts the connection in the loop's list and arms it for `state`; closes it when the loop
  // has stopped or epoll refuses it.
  void Park(Owned connection, State state, Clock::time_point deadline);
  // Takes a parked connection out of the list; dropping what it answers closes it.
  [[nodiscard]] Owned Unpark(HttpConnection* connection);
  // Closes a parked connection: the client left, failed or ran out of time.
  void CloseParked(HttpConnection* connection);
  [[nodiscard]] Owned TakeSlot(std::size_t slot);  // under lock_
  // Takes the connection at `slot` out of `list` (parked_ or feeds_), the last one moving
  // into its place; no order is kept, so that nothing else moves.
  [[nodiscard]] static Owned SwapRemove(std::vector<Owned>& list, std::size_t slot);
  // When a connection waiting for a request, or for the rest of one, is closed.
  Clock::time_point IdleDeadline() const;
  // When a send that made no progress since now fails.
  Clock::time_point WriteDeadline() const;
  // When a lingering connection is closed whatever it still sends.
  static Clock::time_point LingerDeadline();
  bool Arm(HttpConnection& connection);
  // Brings the next deadline check forward to `when`; true when it moved.
  bool PullScan(Clock::time_point when);
  // From a returning worker: posts the oldest whole request waiting in its place, or
  // else counts its place free.
  void HandOnOrLeave();
  static void Post(CThreadPoolQueue& queue, Owned connection);
  void LeftWorker();
  void Wake();
  void ReportSendFailure(const HttpConnection& connection, int code);

  const EventLoopOptions options_;
  const ErrorHook onError_;
  const Refusal refusal_;
  int listenFd_ = -1;
  EventFd* stop_ = nullptr;
  int epoll_ = -1;
  int wake_ = -1;
  std::atomic<bool> wakePending_ {false};

  // Shared with the workers.
  std::mutex lock_;
  // Reading, writing or lingering, armed in the epoll set; in no order, so that one goes
  // out by taking the last one's place, and parking allocates nothing once it has grown.
  std::vector<Owned> parked_;
  std::deque<Owned> inbox_;  // returned with something left for the loop to do
  // Whole requests waiting for a free worker: the loop posts them, and a worker returning
  // one while they wait posts the oldest in its place.
  std::deque<Owned> ready_;
  CThreadPoolQueue* queue_ = nullptr;  // while Run runs
  bool closed_ = false;
  std::atomic<std::int64_t> nextScan_;  // steady-clock nanoseconds

  // Capacity of the pool: requests posted and not yet returned.
  std::atomic<int> withWorkers_ {0};
  std::atomic<bool> backlogged_ {false};

  // Only the loop's thread.
  std::vector<Owned> feeds_;  // in no order, as parked_; slot_ is the place here
  std::shared_ptr<FeedWaker> feedWaker_;
  std::atomic<bool> feedOffered_ {false};
  Clock::time_point acceptPausedUntil_ {};
  bool acceptPaused_ = false;
  int refusedSinceReport_ = 0;
  Clock::time_point lastRefusalReport_ {};

  mutable std::mutex countLock_;
  int open_ = 0;
  std::unordered_map<std::uint32_t, int> perClient_;
};

}  // namespace orbiscope
