#pragma once
// Helpers of the loopback tests: a blocking client socket, whole-response reads, descriptor
// counts and the texts of a log's entries.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace orbiscope::testing {

// A connected loopback client; -1 when the connection failed.
inline int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads until `count` responses with their Content-Length bodies arrived, the peer closed,
// or timeoutMs passed without data. Answers everything read.
inline std::string ReadResponses(int fd, int count, int timeoutMs = 5000) {
  std::string in;
  char chunk[8192];
  for (;;) {
    // Count complete responses so far.
    int complete = 0;
    std::size_t at = 0;
    for (;;) {
      const std::size_t end = in.find("\r\n\r\n", at);
      if (end == std::string::npos) break;
      const std::string head = in.substr(at, end - at);
      std::size_t length = 0;
      constexpr std::string_view kLength = "Content-Length: ";
      const std::size_t field = head.find(kLength);
      if (field != std::string::npos) length = std::stoul(head.substr(field + kLength.size()));
      if (in.size() < end + 4 + length) break;
      at = end + 4 + length;
      ++complete;
    }
    if (complete >= count) return in;
    pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return in;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return in;
    in.append(chunk, static_cast<std::size_t>(n));
  }
}

// Whether the peer closed the connection (EOF or reset) within timeoutMs.
inline bool PeerClosed(int fd, int timeoutMs = 5000) {
  pollfd p {fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Whether the peer closed the connection within timeoutMs, reading and dropping whatever
// it still sent before.
inline bool DrainUntilClosed(int fd, int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char chunk[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p {fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    if (::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) <= 0) return true;
  }
}

// A loopback client whose end has the address `source` (any of 127/8), so that a test can
// play several client addresses; -1 when the connection failed.
inline int ConnectLoopbackFrom(std::uint16_t port, const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from {};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

// The text between open and close after each occurrence of open, from position `from`.
inline std::string Between(const std::string& bytes, std::size_t from, const std::string& open,
                           const std::string& close, std::size_t* next) {
  const std::size_t begin = bytes.find(open, from);
  if (begin == std::string::npos) {
    *next = std::string::npos;
    return {};
  }
  const std::size_t end = bytes.find(close, begin + open.size());
  *next = end == std::string::npos ? std::string::npos : end + close.size();
  return bytes.substr(begin + open.size(), end - begin - open.size());
}

// The texts of every <Entry> of an XML log, in order.
inline std::vector<std::string> LogEntries(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<std::string> out;
  for (std::size_t at = 0; at != std::string::npos;) {
    std::string entry = Between(bytes, at, "<Entry>", "</Entry>", &at);
    if (at != std::string::npos) out.push_back(std::move(entry));
  }
  return out;
}

// The texts of the entries of the items written with the given function name, in order.
inline std::vector<std::string> LogEntriesOf(const std::string& path, const std::string& function) {
  const std::string bytes = ReadFile(path);
  std::vector<std::string> out;
  for (std::size_t at = 0; at != std::string::npos;) {
    std::string item = Between(bytes, at, "<LogItem>", "</LogItem>", &at);
    if (at == std::string::npos) break;
    if (item.find("<Function>" + function + "</Function>") == std::string::npos) continue;
    std::size_t unused;
    out.push_back(Between(item, 0, "<Entry>", "</Entry>", &unused));
  }
  return out;
}

// A count that tests wait on without sleeping; the wait gives up after a bound so that a
// fault fails the test instead of hanging it.
class Counter {
public:
  void Add() {
    {
      std::lock_guard lock(mutex_);
      ++value_;
    }
    changed_.notify_all();
  }
  int Value() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  bool WaitFor(int atLeast, int timeoutMs = 10000) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return value_ >= atLeast; });
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int value_ = 0;
};

// A gate that holds threads until it is opened (or a bound passes).
class Gate {
public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  bool Wait(int timeoutMs = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return open_; });
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace orbiscope::testing
