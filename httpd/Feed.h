#pragma once
// Long answers fed from outside the server. A worker answers a request with a head and
// hands the connection back to the event loop as a follower of a channel; from then on a
// publisher offers parts to the channel, and the loop sends each follower the newest part
// once the one before it has gone out. Parts offered meanwhile are skipped, so a follower
// that cannot keep up costs at most the part it is sending, and no worker waits for it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace orbiscope {

class EventLoop;

// One part: pieces of memory sent in order, each kept alive by its owner, so many
// followers send the same bytes without a copy.
struct FeedPart {
  struct Piece {
    std::shared_ptr<const void> owner;
    std::string_view bytes;
  };
  std::vector<Piece> pieces;
};

// What a follower's end reports: the bytes it sent after it began to follow.
using FeedEnd = std::function<void(std::uint64_t bytesSent)>;

// How the loop of a follower learns of an offer; the loop lets go of it when it ends.
class FeedWaker {
public:
  explicit FeedWaker(EventLoop* loop) : loop_(loop) {}
  void Wake();
  void Detach();

private:
  std::mutex mutex_;
  EventLoop* loop_;
};

// Where a publisher offers parts. Safe from any thread.
class FeedChannel {
public:
  // Offers `part` as number `sequence`. Each follower sends it next unless a later offer
  // replaces it first; an offer not above the last one, or after Close, is dropped, so no
  // follower gets one number twice.
  void Offer(std::uint64_t sequence, std::shared_ptr<const FeedPart> part);
  // Ends the channel: each follower finishes the part it is sending, sends `last` (may be
  // null) and closes; one that begins to follow later does the same at once.
  void Close(std::shared_ptr<const FeedPart> last);
  // Connections following now.
  int Followers() const;
  // The most bytes one follower held queued after it took a part (a bound on its memory).
  std::uint64_t MostQueued() const;

private:
  friend class EventLoop;
  friend class HttpConnection;
  struct Newest {
    std::shared_ptr<const FeedPart> part;  // null: nothing newer than asked
    std::uint64_t sequence = 0;
    bool closed = false;
  };
  // From the follower's loop.
  void Follow(const std::shared_ptr<FeedWaker>& loop);
  void Unfollow();
  Newest After(std::uint64_t sequence) const;
  void NoteQueued(std::uint64_t bytes);

  mutable std::mutex mutex_;
  std::shared_ptr<const FeedPart> newest_;
  std::uint64_t sequence_ = 0;
  bool closed_ = false;
  std::vector<std::weak_ptr<FeedWaker>> loops_;
  int followers_ = 0;
  std::uint64_t mostQueued_ = 0;
};

}  // namespace orbiscope
