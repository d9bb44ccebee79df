#include "httpd/HttpConnection.h"

#include "httpd/EventLoop.h"

namespace orbiscope {

HttpConnection::HttpConnection(EventLoop* loop, int fd, const sockaddr_in& peer)
    : peer_(peer), loop_(loop) {
  socket_.Attach(fd);
}

HttpConnection::~HttpConnection() {
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

void ReturnToLoop(std::unique_ptr<HttpConnection> connection, HttpConnection::After after) {
  if (!connection) return;
  EventLoop* loop = connection->loop_;
  if (loop != nullptr) loop->Return(std::move(connection), after);
}

}  // namespace orbiscope
