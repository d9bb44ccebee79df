#include "httpd/HttpConnection.h"

#include <sys/socket.h>

#include <cerrno>

#include "httpd/EventLoop.h"

namespace orbiscope {

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

int HttpConnection::SendNow(std::string_view failureText) {
  int error = 0;
  switch (output_.FlushTo(Fd(), error)) {
    case OutputQueue::Flush::Done:
      return 0;
    case OutputQueue::Flush::Blocked:
      failureText_ = failureText;
      if (output_.Keep()) return 0;
      return errno;
    case OutputQueue::Flush::Failed:
      output_.Clear();
      return error;
  }
  return 0;
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

}  // namespace orbiscope
