#include "httpd/client/RequestReader.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "httpd/EventFd.h"
#include "httpd/ThreadPoolClient.h"
#include "httpd/WSocket.h"

namespace orbiscope {
namespace {

// A connected pair: `server` is read by the loops, `peer` plays the client.
class RequestReaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_.Attach(fds[0]);
    peer_ = fds[1];
  }
  void TearDown() override {
    if (peer_ >= 0) ::close(peer_);
  }
  void Send(std::string_view bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  ReadOutcome Read(std::string& raw, unsigned idleMs = 5000) {
    return ReadRequest(server_, assembler_, raw, idleMs, timer_, stop_.Fd());
  }

  CHttpSocket server_;
  int peer_ = -1;
  RequestAssembler assembler_{16};  // small steps, so the buffer grows while reading
  IdleTimer timer_;
  EventFd stop_{EventFd::Mode::ManualReset};
};

TEST_F(RequestReaderTest, TimerVariantReadsPipelinedRequestsInTurn) {
  ASSERT_TRUE(timer_.IsValid());
  timer_.Arm(5000);
  Send("GET /a HTTP/1.0\r\nHost: x\r\n\r\nPOST /b HTTP/1.0\r\nContent-Length: 3\r\n\r\nab");
  std::string raw;
  ASSERT_EQ(Read(raw), ReadOutcome::Complete);
  EXPECT_EQ(raw, "GET /a HTTP/1.0\r\nHost: x\r\n\r\n");
  Send("c");
  ASSERT_EQ(Read(raw), ReadOutcome::Complete);
  EXPECT_EQ(raw, "POST /b HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
  // Held bytes that already make a request are handed over without waiting.
  Send("GET /c HTTP/1.0\r\n\r\nGET /d HTTP/1.0\r\n\r\n");
  ASSERT_EQ(Read(raw), ReadOutcome::Complete);
  ::shutdown(peer_, SHUT_WR);
  ASSERT_EQ(Read(raw), ReadOutcome::Complete);
  EXPECT_EQ(raw, "GET /d HTTP/1.0\r\n\r\n");
  // Then the peer's close ends the read.
  EXPECT_EQ(Read(raw), ReadOutcome::Failed);
}

TEST_F(RequestReaderTest, TimerVariantEndsOnIdleTimeoutAndStop) {
  timer_.Arm(50);
  Send("GET / HTTP/1.0\r\n");  // the head never ends
  std::string raw;
  EXPECT_EQ(Read(raw, 50), ReadOutcome::Failed);
  EXPECT_EQ(raw, "GET / HTTP/1.0\r\n");

  timer_.Arm(5000);
  stop_.Set();
  EXPECT_EQ(Read(raw), ReadOutcome::Failed);
}

TEST_F(RequestReaderTest, TimerVariantRefusesOversizedHeads) {
  timer_.Arm(5000);
  // Fits the socket pair's buffer, so it is all sent before reading starts.
  Send("GET / HTTP/1.0\r\nX: " + std::string(kMaxHeadBytes, 'a'));
  std::string raw;
  EXPECT_EQ(Read(raw), ReadOutcome::TooLarge);
}

TEST_F(RequestReaderTest, PollingVariant) {
  CThreadPoolClient client;
  Send("GET /a HTTP/1.0\r\n\r\n");
  std::string raw;
  EXPECT_EQ(ReadRequest(server_, assembler_, raw, 5000, client), ReadOutcome::Complete);
  EXPECT_EQ(raw, "GET /a HTTP/1.0\r\n\r\n");
  // Idle: gives up after the time-out (checked between 250 ms waits).
  Send("GET /b");
  EXPECT_EQ(ReadRequest(server_, assembler_, raw, 10, client), ReadOutcome::Failed);
  EXPECT_EQ(raw, "GET /b");
  client.SetRequestToStop();
  EXPECT_EQ(ReadRequest(server_, assembler_, raw, 5000, client), ReadOutcome::Failed);
}

}  // namespace
}  // namespace orbiscope
