#include "httpd/WSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "httpd/OutputQueue.h"
#include "tests/httpd/LoopbackSupport.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

// A listening socket on a free loopback port and one accepted connection of it.
class ConnectedPair {
public:
  ConnectedPair() {
    listener_.Create();
    listener_.Bind(0, "127.0.0.1");
    listener_.Listen(4);
    client_ = testing::ConnectLoopback(listener_.LocalPort());
    server_.Attach(::accept4(listener_.Handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  }
  ~ConnectedPair() {
    if (client_ >= 0) ::close(client_);
  }
  CHttpSocket& Server() { return server_; }
  int Client() const { return client_; }
  void CloseClient() {
    ::close(client_);
    client_ = -1;
  }

  // Reads everything until the server side closes.
  std::string DrainClient() {
    std::string in;
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(client_, chunk, sizeof chunk, 0);
      if (n <= 0) return in;
      in.append(chunk, static_cast<std::size_t>(n));
    }
  }

private:
  CHttpSocket listener_;
  CHttpSocket server_;
  int client_ = -1;
};

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

TEST(WSocketTest, AnExceptionCarriesTheSystemTextOrNone) {
  const CWSocketException none(0);
  EXPECT_EQ(none.GetErrorCode(), 0);
  char text[16] = "x";
  EXPECT_FALSE(none.GetErrorMessage(text, sizeof text));
  EXPECT_STREQ(text, "");
  const CWSocketException refused(ECONNREFUSED);
  char small[8];
  EXPECT_TRUE(refused.GetErrorMessage(small, sizeof small));
  EXPECT_EQ(std::string(small), refused.GetErrorMessage().substr(0, 7));
}

TEST(WSocketTest, AttachAndDetachHandOverTheDescriptor) {
  CWSocket a;
  a.Create();
  const int fd = a.Handle();
  CWSocket b;
  b.Attach(a.Detach());
  EXPECT_FALSE(a.IsValid());
  EXPECT_EQ(b.Handle(), fd);
  b.Close();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed
}

// Sends the queue whole the way the event loop does: a flush, then a wait for room.
OutputQueue::Flush FlushAll(OutputQueue& queue, int socket, int& error) {
  for (;;) {
    const OutputQueue::Flush result = queue.FlushTo(socket, error);
    if (result != OutputQueue::Flush::Blocked) return result;
    pollfd p {socket, POLLOUT, 0};
    if (::poll(&p, 1, 5000) <= 0) return result;
  }
}

// Memory and file parts larger than the socket buffers go out whole and in order, also
// once the queue was made to own them and the writer's own copies are gone.
TEST(OutputQueueTest, PartsGoOutWholeInOrderAfterTheWriterLetGo) {
  const std::string body = Pattern(3 * 1024 * 1024 + 17);
  testing::TempDir dir;
  testing::WriteFile(dir.File("f"), body);
  ConnectedPair pair;
  // Buffers fixed small, and the reader started only after the first flush: with both
  // grown by the kernel and a reader draining alongside, the first flush could send all
  // and the parts would never have to outlive the writer's copies.
  const int small = 64 * 1024;
  ASSERT_EQ(::setsockopt(pair.Server().Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(::setsockopt(pair.Client(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  std::string received;
  std::thread reader;
  OutputQueue queue;
  // Shared memory is held by reference only while it is queued.
  auto shared = std::make_shared<const std::string>("shared");
  {
    std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    std::string memory = body;
    const int file = ::open(dir.File("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    queue.Borrow(head);
    queue.Borrow(memory);
    queue.BorrowFile(file, 5, body.size() - 5);
    queue.Borrow("tail");
    queue.Share(shared, *shared);
    int error = 0;
    EXPECT_EQ(queue.FlushTo(pair.Server().Handle(), error), OutputQueue::Flush::Blocked);
    EXPECT_TRUE(queue.Keep());
    reader = std::thread([&] { received = pair.DrainClient(); });
    head.assign(head.size(), '?');
    memory.assign(memory.size(), '?');
    ::close(file);
  }
  int error = 0;
  EXPECT_EQ(FlushAll(queue, pair.Server().Handle(), error), OutputQueue::Flush::Done);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(queue.Sent(), 19 + 2 * body.size() - 5 + 4 + 6);
  EXPECT_EQ(shared.use_count(), 1);
  pair.Server().Close();
  reader.join();
  EXPECT_TRUE(received == "HTTP/1.0 200 OK\r\n\r\n" + body + body.substr(5) + "tail" + *shared);
}

// A writer's send: the rest the socket did not take outlives the writer's memory, with the
// report its failure would give; a failed send leaves nothing queued.
TEST(OutputQueueTest, SendNowKeepsTheRestWithItsReportOrDropsAllOnFailure) {
  ConnectedPair pair;
  const int small = 64 * 1024;
  ASSERT_EQ(::setsockopt(pair.Server().Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(::setsockopt(pair.Client(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const std::string body = Pattern(2 * 1024 * 1024);
  OutputQueue queue;
  {
    std::string memory = body;
    queue.Borrow(memory);
    EXPECT_EQ(queue.SendNow(pair.Server().Handle(), "report:"), 0);
    memory.assign(memory.size(), '?');
  }
  EXPECT_FALSE(queue.Empty());
  EXPECT_EQ(queue.FailureText(), "report:");
  std::string received;
  std::thread reader([&] { received = pair.DrainClient(); });
  int error = 0;
  EXPECT_EQ(FlushAll(queue, pair.Server().Handle(), error), OutputQueue::Flush::Done);
  pair.Server().Close();
  reader.join();
  EXPECT_TRUE(received == body);

  ConnectedPair shut;
  ASSERT_EQ(::shutdown(shut.Server().Handle(), SHUT_WR), 0);
  OutputQueue failing;
  failing.Borrow("lost");
  EXPECT_EQ(failing.SendNow(shut.Server().Handle(), "report:"), EPIPE);
  EXPECT_TRUE(failing.Empty());
  EXPECT_TRUE(failing.FailureText().empty());
}

TEST(OutputQueueTest, AFileShorterThanAnnouncedFailsInsteadOfHanging) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("f"), "12345");
  const int file = ::open(dir.File("f").c_str(), O_RDONLY | O_CLOEXEC);
  ConnectedPair pair;
  OutputQueue queue;
  queue.Borrow("H");
  queue.BorrowFile(file, 0, 10);
  int error = 0;
  EXPECT_EQ(queue.FlushTo(pair.Server().Handle(), error), OutputQueue::Flush::Failed);
  EXPECT_EQ(error, EIO);
  ::close(file);
}

// Sending to a peer that is gone raises no SIGPIPE (which would end the process) but fails.
TEST(WSocketTest, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("f"), Pattern(1 << 20));
  const int file = ::open(dir.File("f").c_str(), O_RDONLY | O_CLOEXEC);
  ConnectedPair pair;
  pair.CloseClient();
  const std::string data = Pattern(1 << 20);
  int failures = 0;
  for (int i = 0; i < 3; ++i) {
    int error = 0;
    OutputQueue queue;
    queue.Borrow("H");
    if (i < 2) queue.Borrow(data);
    if (i == 2) queue.BorrowFile(file, 0, 1 << 20);
    if (FlushAll(queue, pair.Server().Handle(), error) == OutputQueue::Flush::Done) error = 0;
    if (error != 0) {
      EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
      ++failures;
    }
  }
  ::close(file);
  EXPECT_GE(failures, 2);  // the first send may still fit before the reset arrives
}

}  // namespace
}  // namespace orbiscope
