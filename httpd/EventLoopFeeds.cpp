// The event loop's followers of feed channels: each sends its channel's newest part once
// the one before it went out, and is held by the loop's thread alone (see Feed.h).

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "httpd/EventLoop.h"
#include "httpd/EventLoopParts.h"

namespace orbiscope {
namespace {

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

using event_loop::kReceivesPerWake;

}  // namespace

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
          c.deadline_ = WriteDeadline();
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
  const Owned ended = SwapRemove(feeds_, index);  // its destructor ends the follower
}

}  // namespace orbiscope
