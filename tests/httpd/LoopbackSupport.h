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
#include <regex>
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
      std::smatch m;
      const std::string head = in.substr(at, end - at);
      std::size_t length = 0;
      static const std::regex kLength("Content-Length: (\\d+)");
      if (std::regex_search(head, m, kLength)) length = std::stoul(m[1]);
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

inline int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

// The texts of every <Entry> of an XML log, in order.
inline std::vector<std::string> LogEntries(const std::string& path) {
  const std::string bytes = ReadFile(path);
  std::vector<std::string> out;
  static const std::regex kEntry("<Entry>([^<]*)</Entry>");
  for (std::sregex_iterator it(bytes.begin(), bytes.end(), kEntry), end; it != end; ++it)
    out.push_back((*it)[1]);
  return out;
}

// The texts of the entries written with the given function name, in order.
inline std::vector<std::string> LogEntriesOf(const std::string& path, const std::string& function) {
  const std::string bytes = ReadFile(path);
  std::vector<std::string> out;
  const std::regex entry("<Function>" + function + "</Function>\\s*<Entry>([^<]*)</Entry>");
  for (std::sregex_iterator it(bytes.begin(), bytes.end(), entry), end; it != end; ++it)
    out.push_back((*it)[1]);
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
