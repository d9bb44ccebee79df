#include "httpd/EventLoop.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "httpd/MyHttpServer.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/httpd/FixedResponseClient.h"
#include "tests/httpd/LoopbackSupport.h"

namespace orbiscope {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::ConnectLoopback;
using testing::ConnectLoopbackFrom;
using testing::ReadResponses;
using testing::SendAll;

const std::string kKeepAlive = "GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";
const std::string kClose = "GET /b HTTP/1.0\r\n\r\n";

// What the workers saw: requests taken, how many of them were incomplete, and the longest
// time a worker spent on one.
struct Seen {
  testing::Counter requests;
  std::atomic<int> incomplete {0};
  std::atomic<long long> longestRunUs {0};
};

// Answers "/big" with `big`, everything else with 100 bytes.
class WatchedClient : public testing::FixedResponseClient {
public:
  WatchedClient(Seen& seen, const std::string& big) : seen_(seen), big_(big) {}

  bool Run(CThreadPoolRequest& request) override {
    const auto begin = Clock::now();
    const bool result = FixedResponseClient::Run(request);
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
    long long longest = seen_.longestRunUs.load();
    while (us > longest && !seen_.longestRunUs.compare_exchange_weak(longest, us)) {
    }
    return result;
  }

protected:
  bool OnRequest(HttpConnection& connection) override {
    if (connection.Input().State() != FrameState::Complete) ++seen_.incomplete;
    seen_.requests.Add();
    return true;
  }
  const std::string& Body(std::string_view requestLine) const override {
    return requestLine.starts_with("GET /big ") ? big_ : FixedResponseClient::Body(requestLine);
  }

private:
  Seen& seen_;
  const std::string& big_;
};

class EventLoopTest : public ::testing::Test {
protected:
  EventLoopTest() {
    log_.SetExecutablePath(dir_.File("orbiscope"));
    log_.Open();
    settings_.m_nPort = 0;
    settings_.m_bBind = true;
    settings_.m_sBindAddress = "127.0.0.1";
    settings_.m_nThreadPoolSize = 2;
    settings_.m_dwIdleClientTimeout = 5000;
    settings_.m_ClientFactory = [this] { return std::make_unique<WatchedClient>(seen_, big_); };
  }

  void Start() {
    server_ = std::make_unique<CMyHttpServer>(log_, resources_, MessageSink {});
    ASSERT_TRUE(server_->Start(&settings_));
    port_ = server_->GetListeningPort();
  }

  std::string LogText() {
    server_->Stop();
    log_.Close();
    return testing::ReadFile(log_.FilePath());
  }

  testing::TempDir dir_;
  LogXML log_;
  ResourceLibrary resources_;
  CHttpServerSettings settings_;
  Seen seen_;
  std::string big_ = std::string(32 << 20, 'x');
  std::unique_ptr<CMyHttpServer> server_;
  std::uint16_t port_ = 0;
};

// Sends `bytes` one at a time, `gap` apart: a client on a very slow line.
void Trickle(int fd, const std::string& bytes, milliseconds gap) {
  for (char c : bytes) {
    if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
    std::this_thread::sleep_for(gap);  // the client's pace, not a wait for the server
  }
}

TEST_F(EventLoopTest, AHeadSentByteByByteOverTwoSecondsReachesAWorkerWhole) {
  Start();
  const int fd = ConnectLoopback(port_);
  const std::string request = "GET /slow HTTP/1.0\r\nHost: x\r\n\r\n";
  const auto begin = Clock::now();
  Trickle(fd, request, milliseconds(2000 / static_cast<int>(request.size())));
  EXPECT_EQ(ReadResponses(fd, 1).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  EXPECT_GE(Clock::now() - begin, milliseconds(1900));
  ::close(fd);
  EXPECT_EQ(seen_.requests.Value(), 1);
  EXPECT_EQ(seen_.incomplete.load(), 0);
  // The worker's time is the answer's alone, not the two seconds of the head.
  EXPECT_LT(seen_.longestRunUs.load(), 250000);
}

// A trickle of bytes does not extend the time a request has to arrive whole.
TEST_F(EventLoopTest, TheRequestDeadlineClosesASlowHeadAtTheIdleTimeOut) {
  settings_.m_dwIdleClientTimeout = 400;
  Start();
  const int fd = ConnectLoopback(port_);
  const auto begin = Clock::now();
  std::thread slowloris(
      [fd] { Trickle(fd, "GET / HTTP/1.0\r\nX-A: " + std::string(100, 'a'), milliseconds(50)); });
  EXPECT_TRUE(testing::PeerClosed(fd, 3000));
  const auto lasted = Clock::now() - begin;
  ::shutdown(fd, SHUT_RDWR);
  slowloris.join();
  ::close(fd);
  EXPECT_GE(lasted, milliseconds(380));
  EXPECT_LT(lasted, milliseconds(1500));
  EXPECT_EQ(seen_.requests.Value(), 0);
}

// The old engine gave each kept-alive connection a worker for its whole life: with two
// workers, the third connection was never served. Now idle connections wait in the loop.
TEST_F(EventLoopTest, IdleKeptAliveConnectionsBeyondThePoolAreServedInTurn) {
  settings_.m_dwIdleClientTimeout = 30000;
  Start();
  std::vector<int> fds;
  for (int i = 0; i < 12; ++i) {
    fds.push_back(ConnectLoopback(port_));
    ASSERT_TRUE(SendAll(fds.back(), kKeepAlive));
    EXPECT_EQ(ReadResponses(fds.back(), 1, 3000).rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << i;
  }
  // All twelve now idle; each asks again, the last first.
  for (auto it = fds.rbegin(); it != fds.rend(); ++it) {
    ASSERT_TRUE(SendAll(*it, kClose));
    EXPECT_EQ(ReadResponses(*it, 1, 3000).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_TRUE(testing::PeerClosed(*it, 3000));
  }
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(seen_.requests.Value(), 24);
}

// Bursts of whole requests, more than the pool takes at once, while workers hand their
// connections back: every hand-back that finds the loop asleep must wake it, however the
// wake-ups of the workers and the loop interleave, or requests wait for good.
TEST_F(EventLoopTest, BurstsBeyondThePoolAreAllAnswered) {
  settings_.m_nThreadPoolSize = 3;
  Start();
  for (int round = 0; round < 80; ++round) {
    std::vector<int> fds;
    for (int i = 0; i < 24; ++i) fds.push_back(ConnectLoopback(port_));
    for (int fd : fds) ASSERT_TRUE(SendAll(fd, kKeepAlive));
    for (int fd : fds) {
      // Well within the idle time-out (5 s), whose deadline check would wake a stalled loop.
      ASSERT_EQ(ReadResponses(fd, 1, 2000).rfind("HTTP/1.0 200 OK\r\n", 0), 0u)
          << "round " << round;
    }
    for (int fd : fds) ::close(fd);
  }
}

TEST_F(EventLoopTest, ConnectionsOverEitherLimitGetA503AndAreClosed) {
  settings_.m_nMaxConnections = 4;
  settings_.m_nMaxConnectionsPerClient = 2;
  Start();
  const auto refused = [this](const char* from) {
    const int fd = ConnectLoopbackFrom(port_, from);
    if (fd < 0) return std::string("no connection");
    SendAll(fd, kClose);
    std::string answer = ReadResponses(fd, 1, 3000);
    const bool closed = testing::PeerClosed(fd, 3000);
    ::close(fd);
    return closed ? answer : "left open: " + answer;
  };
  std::vector<int> held;
  for (const char* from : {"127.0.0.2", "127.0.0.2", "127.0.0.3"})
    held.push_back(ConnectLoopbackFrom(port_, from));
  // The third from one address is over the per-client limit, whatever the total.
  const std::string perClient = refused("127.0.0.2");
  EXPECT_EQ(perClient.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << perClient;
  EXPECT_NE(perClient.find("Content-Length: " + std::to_string(resources_.Html(1005).size())),
            std::string::npos);
  held.push_back(ConnectLoopbackFrom(port_, "127.0.0.3"));
  // Four open: any fifth is over the total.
  EXPECT_EQ(refused("127.0.0.4").rfind("HTTP/1.0 503 ", 0), 0u);
  // A connection that goes makes room again, once the loop has seen it go.
  ::close(held.front());
  held.erase(held.begin());
  std::string answer;
  for (int attempt = 0; attempt < 50; ++attempt) {
    answer = refused("127.0.0.4");
    if (answer.rfind("HTTP/1.0 200 OK\r\n", 0) == 0) break;
  }
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  for (int fd : held) ::close(fd);
  EXPECT_NE(LogText().find("Connection limit reached, refused 1 connection(s) with 503"),
            std::string::npos);
}

// Behind a reverse proxy every viewer comes from the proxy's address: a trusted address is
// exempt from the per-client limit, but not from the total, and no other address is.
TEST_F(EventLoopTest, TrustedProxiesPassThePerClientLimitButNotTheTotal) {
  settings_.m_nMaxConnections = 6;
  settings_.m_nMaxConnectionsPerClient = 2;
  std::vector<std::string> rejected;
  settings_.m_TrustedProxies = ParseTrustedProxies("127.0.0.9, 127.0.0.2", rejected);
  Start();
  // A connection whose first request was answered, kept open.
  std::vector<int> held;
  const auto hold = [&](const char* from) {
    const int fd = ConnectLoopbackFrom(port_, from);
    held.push_back(fd);
    if (fd < 0 || !SendAll(fd, kKeepAlive)) return std::string("no connection");
    return ReadResponses(fd, 1, 3000);
  };
  const std::string ok = "HTTP/1.0 200 OK\r\n";
  const std::string refused = "HTTP/1.0 503 ";
  EXPECT_EQ(hold("127.0.0.3").rfind(ok, 0), 0u);
  EXPECT_EQ(hold("127.0.0.3").rfind(ok, 0), 0u);
  EXPECT_EQ(hold("127.0.0.3").rfind(refused, 0), 0u);  // three open: the total is not reached
  for (int i = 0; i < 4; ++i) EXPECT_EQ(hold("127.0.0.2").rfind(ok, 0), 0u) << i;
  EXPECT_EQ(hold("127.0.0.2").rfind(refused, 0), 0u);  // six open
  for (int fd : held) ::close(fd);
}

bool LogShows(const LogXML& log, const std::string& text, int timeoutMs = 5000) {
  return testing::FileShows(log.FilePath(), text, timeoutMs);
}

// A client that does not read its answer keeps only its connection: the loop finishes the
// send, the one worker is free for others at once, and the stalled send ends after the
// write time-out without progress, reported as a timed-out send.
TEST_F(EventLoopTest, ASlowReaderHoldsNoWorkerAndIsCutOffAfterTheWriteTimeOut) {
  settings_.m_nThreadPoolSize = 1;
  settings_.m_dwWritableTimeout = 4000;
  Start();
  const int stalled = ConnectLoopback(port_);
  ASSERT_TRUE(SendAll(stalled, "GET /big HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
  ASSERT_TRUE(seen_.requests.WaitFor(1));
  const auto begin = Clock::now();
  const int other = ConnectLoopback(port_);
  ASSERT_TRUE(SendAll(other, kClose));
  EXPECT_EQ(ReadResponses(other, 1, 5000).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  EXPECT_LT(Clock::now() - begin, milliseconds(2500));  // long before the write time-out
  ::close(other);
  EXPECT_TRUE(LogShows(log_, "FixedResponseClient, Failed to send, Error:11", 10000));
  // Closed: what the client reads now is what was already on its way, and then the end.
  std::size_t received = 0;
  char chunk[65536];
  ssize_t n;
  while ((n = ::recv(stalled, chunk, sizeof chunk, 0)) > 0) received += static_cast<std::size_t>(n);
  EXPECT_LT(received, big_.size());
  ::close(stalled);
}

// Follows a channel that offers nothing, as a stream viewer does while capture is paused,
// and notes the server side's descriptor.
class FollowingClient : public CThreadPoolClient {
public:
  FollowingClient(std::shared_ptr<FeedChannel> channel, std::atomic<int>& fd)
      : channel_(std::move(channel)), fd_(fd) {}

  bool Run(CThreadPoolRequest& request) override {
    std::unique_ptr<HttpConnection> connection = std::move(request.m_pConnection);
    if (!connection) return true;
    connection->Input().TakeRequest();
    connection->Follow(channel_, nullptr);
    fd_.store(connection->Fd());
    ReturnToLoop(std::move(connection), HttpConnection::After::Feed);
    return true;
  }

private:
  std::shared_ptr<FeedChannel> channel_;
  std::atomic<int>& fd_;
};

int SocketOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

// Nothing is sent to a waiting follower, so no write time-out can find one whose client
// vanished without a close; keep-alive probes do, within a couple of minutes. (A vanished
// peer cannot be made on loopback: the test checks the probes are asked for.)
TEST_F(EventLoopTest, AWaitingFollowerIsProbedSoAVanishedClientIsReaped) {
  auto channel = std::make_shared<FeedChannel>();
  std::atomic<int> fd {-1};
  settings_.m_ClientFactory = [&] { return std::make_unique<FollowingClient>(channel, fd); };
  Start();
  const int viewer = ConnectLoopback(port_);
  ASSERT_TRUE(SendAll(viewer, kClose));
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (channel->Followers() == 0 && Clock::now() < until)
    std::this_thread::sleep_for(milliseconds(2));
  ASSERT_EQ(channel->Followers(), 1);
  const int served = fd.load();
  EXPECT_EQ(SocketOption(served, SOL_SOCKET, SO_KEEPALIVE), 1);
  const int idle = SocketOption(served, IPPROTO_TCP, TCP_KEEPIDLE);
  const int interval = SocketOption(served, IPPROTO_TCP, TCP_KEEPINTVL);
  const int probes = SocketOption(served, IPPROTO_TCP, TCP_KEEPCNT);
  EXPECT_GT(idle, 0);
  EXPECT_GT(interval, 0);
  EXPECT_GT(probes, 0);
  EXPECT_LE(idle + interval * probes, 120);  // not the system's default of over two hours
  ::close(viewer);
  channel->Close(nullptr);
}

}  // namespace
}  // namespace orbiscope
