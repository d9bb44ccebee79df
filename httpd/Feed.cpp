#include "httpd/Feed.h"

#include <algorithm>

#include "httpd/EventLoop.h"

namespace orbiscope {

void FeedWaker::Wake() {
  std::lock_guard lock(mutex_);
  if (loop_ != nullptr) loop_->FeedOffered();
}

void FeedWaker::Detach() {
  std::lock_guard lock(mutex_);
  loop_ = nullptr;
}

void FeedChannel::Offer(std::uint64_t sequence, std::shared_ptr<const FeedPart> part) {
  std::vector<std::shared_ptr<FeedWaker>> wake;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || sequence <= sequence_ || !part) return;
    newest_ = std::move(part);
    sequence_ = sequence;
    for (const auto& loop : loops_)
      if (auto alive = loop.lock()) wake.push_back(std::move(alive));
  }
  // Outside the lock: a loop that looks at the channel meanwhile finds the part already.
  for (const auto& loop : wake) loop->Wake();
}

void FeedChannel::Close(std::shared_ptr<const FeedPart> last) {
  std::vector<std::shared_ptr<FeedWaker>> wake;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    newest_ = std::move(last);
    for (const auto& loop : loops_)
      if (auto alive = loop.lock()) wake.push_back(std::move(alive));
  }
  for (const auto& loop : wake) loop->Wake();
}

int FeedChannel::Followers() const {
  std::lock_guard lock(mutex_);
  return followers_;
}

std::uint64_t FeedChannel::MostQueued() const {
  std::lock_guard lock(mutex_);
  return mostQueued_;
}

void FeedChannel::Follow(const std::shared_ptr<FeedWaker>& loop) {
  std::lock_guard lock(mutex_);
  ++followers_;
  // Loops of servers that have stopped are forgotten here.
  std::erase_if(loops_, [](const std::weak_ptr<FeedWaker>& w) { return w.expired(); });
  const bool known = std::any_of(loops_.begin(), loops_.end(), [&loop](const auto& w) {
    return w.lock() == loop;
  });
  if (!known) loops_.push_back(loop);
}

void FeedChannel::Unfollow() {
  std::lock_guard lock(mutex_);
  --followers_;
}

FeedChannel::Newest FeedChannel::After(std::uint64_t sequence) const {
  std::lock_guard lock(mutex_);
  Newest newest;
  newest.closed = closed_;
  if (closed_ || sequence_ > sequence) {
    newest.part = newest_;
    newest.sequence = sequence_;
  }
  return newest;
}

void FeedChannel::NoteQueued(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  mostQueued_ = std::max(mostQueued_, bytes);
}

}  // namespace orbiscope
