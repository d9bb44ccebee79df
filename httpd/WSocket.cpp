#include "httpd/WSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace orbiscope
