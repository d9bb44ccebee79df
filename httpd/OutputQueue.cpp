#include "httpd/OutputQueue.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace orbiscope {
namespace {

// Memory parts gathered into one sendmsg(2).
constexpr std::size_t kGather = 16;
// sendfile(2) moves at most this much per call.
constexpr std::uint64_t kFileChunk = 1u << 30;

// sendfile(2) has no MSG_NOSIGNAL: a peer that went away would raise SIGPIPE and end the
// process. The signal is held back on this thread for the call and a pending one is taken.
class SigpipeGuard {
public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero {0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
  sigset_t pipe_;
  sigset_t old_;
};

}  // namespace

OutputQueue::~OutputQueue() { Clear(); }

void OutputQueue::Borrow(std::string_view bytes) {
  if (bytes.empty()) return;
  Part part;
  part.data = bytes.data();
  part.size = bytes.size();
  parts_.push_back(std::move(part));
}

void OutputQueue::Share(std::shared_ptr<const void> owner, std::string_view bytes) {
  if (bytes.empty()) return;
  Part part;
  part.owner = std::move(owner);
  part.data = bytes.data();
  part.size = bytes.size();
  parts_.push_back(std::move(part));
}

void OutputQueue::BorrowFile(int fd, std::uint64_t offset, std::uint64_t size) {
  if (size == 0) return;
  Part part;
  part.file = fd;
  part.offset = offset;
  part.fileLeft = size;
  parts_.push_back(std::move(part));
}

bool OutputQueue::Keep() {
  for (std::size_t i = next_; i < parts_.size(); ++i) {
    Part& part = parts_[i];
    if (part.file >= 0) {
      if (part.ownsFile) continue;
      // The copy shares the file's offset, which sendfile(2) with an offset never moves.
      const int copy = ::fcntl(part.file, F_DUPFD_CLOEXEC, 0);
      if (copy < 0) {
        const int error = errno;
        Clear();
        errno = error;
        return false;
      }
      part.file = copy;
      part.ownsFile = true;
    } else if (!part.owner) {
      auto copy = std::make_shared<const std::string>(part.data, part.size);
      part.data = copy->data();
      part.owner = std::move(copy);
    }
  }
  return true;
}

void OutputQueue::Release(Part& part) {
  if (part.ownsFile && part.file >= 0) ::close(part.file);
  part = Part {};
}

int OutputQueue::SendNow(int socket, std::string_view failureText) {
  int error = 0;
  switch (FlushTo(socket, error)) {
    case Flush::Done:
      return 0;
    case Flush::Blocked:
      failureText_ = failureText;
      if (Keep()) return 0;
      return errno;
    case Flush::Failed:
      Clear();
      return error;
  }
  return 0;
}

void OutputQueue::Clear() {
  for (std::size_t i = next_; i < parts_.size(); ++i) Release(parts_[i]);
  parts_.clear();
  next_ = 0;
}

std::uint64_t OutputQueue::Queued() const {
  std::uint64_t total = 0;
  for (std::size_t i = next_; i < parts_.size(); ++i)
    total += parts_[i].file >= 0 ? parts_[i].fileLeft : parts_[i].size;
  return total;
}

void OutputQueue::Advance(std::size_t n) {
  sent_ += n;
  while (n > 0 && next_ < parts_.size()) {
    Part& part = parts_[next_];
    const std::size_t step = std::min(n, part.size);
    part.data += step;
    part.size -= step;
    n -= step;
    if (part.size == 0) Release(parts_[next_++]);
  }
}

OutputQueue::Flush OutputQueue::SendMemory(int socket, int& error) {
  iovec iov[kGather];
  std::size_t count = 0;
  std::size_t i = next_;
  for (; i < parts_.size() && count < kGather && parts_[i].file < 0; ++i)
    iov[count++] = iovec {const_cast<char*>(parts_[i].data), parts_[i].size};
  // A head followed by a file shares its packet with the file's first bytes.
  const bool fileFollows = i < parts_.size() && parts_[i].file >= 0;
  msghdr message {};
  message.msg_iov = iov;
  message.msg_iovlen = count;
  for (;;) {
    const ssize_t n =
        ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT | (fileFollows ? MSG_MORE : 0));
    if (n >= 0) {
      Advance(static_cast<std::size_t>(n));
      return Flush::Done;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Flush::Blocked;
    error = errno;
    return Flush::Failed;
  }
}

OutputQueue::Flush OutputQueue::SendFile(int socket, int& error) {
  Part& part = parts_[next_];
  SigpipeGuard guard;
  while (part.fileLeft > 0) {
    off_t offset = static_cast<off_t>(part.offset);
    const ssize_t n = ::sendfile(socket, part.file, &offset,
                                 static_cast<std::size_t>(std::min(part.fileLeft, kFileChunk)));
    if (n > 0) {
      part.offset += static_cast<std::uint64_t>(n);
      part.fileLeft -= static_cast<std::uint64_t>(n);
      sent_ += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) {
      error = EIO;  // the file is shorter than announced
      return Flush::Failed;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Flush::Blocked;
    error = errno;
    return Flush::Failed;
  }
  Release(parts_[next_++]);
  return Flush::Done;
}

OutputQueue::Flush OutputQueue::FlushTo(int socket, int& error) {
  while (!Empty()) {
    const Flush step =
        parts_[next_].file >= 0 ? SendFile(socket, error) : SendMemory(socket, error);
    if (step != Flush::Done) return step;
  }
  parts_.clear();
  next_ = 0;
  return Flush::Done;
}

}  // namespace orbiscope
