#pragma once
// The server's socket wrapper over POSIX IPv4 stream sockets. Every failure throws
// CWSocketException carrying errno; callers catch it where a failure has a meaning.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace orbiscope {

// A socket failure: the errno value and strerror's text for it.
class CWSocketException : public std::exception {
public:
  explicit CWSocketException(int code);
  // The errno value.
  int GetErrorCode() const { return code_; }
  // Copies the text into buffer (truncated to size - 1 bytes, terminated); false and an empty
  // text when the system has no message for the code.
  bool GetErrorMessage(char* buffer, std::size_t size) const;
  std::string GetErrorMessage() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

private:
  int code_;
  std::string text_;
};

// Throws CWSocketException with the code, or with errno when the code is 0.
[[noreturn]] void ThrowWSocketException(int code = 0);

// One socket descriptor, closed by the destructor. Connections are accepted, read and
// written by the event loop on non-blocking descriptors; this wraps the listener's set-up
// and the descriptor's ownership.
class CWSocket {
public:
  CWSocket() = default;
  ~CWSocket();
  CWSocket(const CWSocket&) = delete;
  CWSocket& operator=(const CWSocket&) = delete;

  // A new IPv4 stream socket (close-on-exec).
  void Create();
  // Binds to the port on the address: a dotted number, else the first IPv4 address the name
  // resolves to (EINVAL when it resolves to none); an empty address binds to any. The
  // address may be reused at once after a previous listener's connections (SO_REUSEADDR),
  // which still refuses a port another socket listens on.
  void Bind(std::uint16_t port, std::string_view address = {});
  void Listen(int backlog);
  // The port the socket is bound to (useful after binding port 0).
  std::uint16_t LocalPort() const;

  void Close();
  // Takes the descriptor, closing the one held before.
  void Attach(int fd);
  // Gives the descriptor away.
  int Detach();
  int Handle() const { return fd_; }
  bool IsValid() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// The listening and the connection sockets of the server; connections write through their
// output queue on the descriptor, so nothing is added here.
class CHttpSocket : public CWSocket {};

}  // namespace orbiscope
