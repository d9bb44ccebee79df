#pragma once
// An independent reader of the live stream, for the tests that watch one.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "tests/httpd/client/LoopbackServer.h"

namespace orbiscope::testing {

// An independent reader of the stream: the head, then parts framed by the boundary the
// head announces, each checked for its fields and its closing line end.
class StreamReader {
public:
  explicit StreamReader(std::uint16_t port, int receiveBuffer = 0) {
    bool connected = false;
    fd_ = ConnectLoopback(port, connected, receiveBuffer);
    EXPECT_TRUE(connected);
  }
  ~StreamReader() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Sends the request and reads the head; "" when none came.
  std::string Open(const std::string& target, const char* verb = "GET") {
    const std::string request = std::string(verb) + " " + target + " HTTP/1.0\r\n\r\n";
    ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!Fill()) return {};
    std::string head = buffer_.substr(0, end + 4);
    buffer_.erase(0, end + 4);
    const std::string type = Field(head, "Content-Type");
    const std::size_t at = type.find("boundary=");
    if (at != std::string::npos) boundary_ = type.substr(at + 9);
    return head;
  }

  // The next part's JPEG; none at the end of the stream (`closed` tells whether it ended
  // with the closing boundary) or on a framing fault (reported).
  std::optional<std::string> NextPart() {
    std::string line;
    if (!ReadLine(line)) return std::nullopt;
    if (line == "--" + boundary_ + "--") {
      closed_ = true;
      return std::nullopt;
    }
    EXPECT_EQ(line, "--" + boundary_);
    std::string type, length;
    while (ReadLine(line) && !line.empty()) {
      if (line.rfind("Content-Type: ", 0) == 0) type = line.substr(14);
      if (line.rfind("Content-Length: ", 0) == 0) length = line.substr(16);
      if (line.rfind("X-Timestamp: ", 0) == 0) timestamp_ = line.substr(13);
    }
    EXPECT_EQ(type, "image/jpeg");
    if (length.empty()) return std::nullopt;
    const std::size_t size = std::stoul(length);
    while (buffer_.size() < size + 2)
      if (!Fill()) return std::nullopt;
    std::string jpeg = buffer_.substr(0, size);
    EXPECT_EQ(buffer_.substr(size, 2), "\r\n");
    buffer_.erase(0, size + 2);
    received_ += size;
    return jpeg;
  }
  // True when the server closed the connection once everything was read.
  bool Ended() {
    char c;
    return buffer_.empty() && ::recv(fd_, &c, 1, 0) == 0;
  }
  bool closed() const { return closed_; }
  std::uint64_t received() const { return received_; }
  // The X-Timestamp of the last part read.
  const std::string& timestamp() const { return timestamp_; }

private:
  bool Fill() {
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  bool ReadLine(std::string& line) {
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos)
      if (!Fill()) return false;
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
  }

  int fd_ = -1;
  std::string buffer_;
  std::string boundary_;
  bool closed_ = false;
  std::uint64_t received_ = 0;
  std::string timestamp_;
};

}  // namespace orbiscope::testing
