#include "httpd/WSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace orbiscope {

namespace {

// strerror_r in its GNU form; the XSI form is chosen by neither this build nor glibc's C++.
std::string SystemText(int code) {
  if (code == 0) return {};
  char buffer[256];
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string();
}

int PollRetry(pollfd* fds, nfds_t count, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int left = timeoutMs;
    if (timeoutMs > 0) {
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      left = static_cast<int>(std::max<long long>(0, rest.count()));
    }
    const int n = ::poll(fds, count, left);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

CWSocketException::CWSocketException(int code) : code_(code), text_(SystemText(code)) {}

bool CWSocketException::GetErrorMessage(char* buffer, std::size_t size) const {
  if (buffer == nullptr || size == 0) return false;
  buffer[0] = '\0';
  if (text_.empty()) return false;
  const std::size_t n = std::min(size - 1, text_.size());
  std::memcpy(buffer, text_.data(), n);
  buffer[n] = '\0';
  return true;
}

void ThrowWSocketException(int code) { throw CWSocketException(code != 0 ? code : errno); }

CWSocket::~CWSocket() { Close(); }

void CWSocket::Create() {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) ThrowWSocketException();
}

void CWSocket::Bind(std::uint16_t port, std::string_view address) {
  sockaddr_in local {};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty()) {
    const std::string text(address);
    if (::inet_pton(AF_INET, text.c_str(), &local.sin_addr) != 1) {
      addrinfo hints {};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        ThrowWSocketException(EINVAL);
      local.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
      ::freeaddrinfo(found);
    }
  }
  // Without this, a restart right after serving clients fails for a minute while the old
  // connections linger in TIME_WAIT; a port another socket listens on is still refused.
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    ThrowWSocketException();
}

void CWSocket::Listen(int backlog) {
  if (::listen(fd_, backlog) != 0) ThrowWSocketException();
}

std::uint16_t CWSocket::LocalPort() const {
  sockaddr_in local {};
  socklen_t len = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) ThrowWSocketException();
  return ntohs(local.sin_port);
}

void CWSocket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void CWSocket::Attach(int fd) {
  Close();
  fd_ = fd;
}

int CWSocket::Detach() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void CHttpSocket::WaitWritable(unsigned timeoutMs) {
  const int wait = timeoutMs > static_cast<unsigned>(INT32_MAX) ? -1 : static_cast<int>(timeoutMs);
  pollfd fd {Handle(), POLLOUT, 0};
  const int n = PollRetry(&fd, 1, wait);
  if (n < 0) ThrowWSocketException();
  // A hang-up or error counts as writable: the next send reports it.
  if (n == 0) ThrowWSocketException(EAGAIN);
}

void CHttpSocket::SendWithRetry(const void* buffer, std::size_t len, unsigned timeoutMs) {
  const char* data = static_cast<const char*>(buffer);
  while (len > 0) {
    const ssize_t n = ::send(Handle(), data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      data += n;
      len -= static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitWritable(timeoutMs);
    } else if (errno != EINTR) {
      ThrowWSocketException();
    }
  }
}

}  // namespace orbiscope
