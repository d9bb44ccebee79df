#include "httpd/DirectedThreadPoolQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

#include "httpd/IOCPThreadPoolQueue.h"
#include "tests/httpd/LoopbackSupport.h"

namespace orbiscope {
namespace {

// The queues never look at the type: tests number their requests with it.
PoolRequestKind Id(unsigned id) { return static_cast<PoolRequestKind>(id); }

CThreadPoolRequest Undirected(PoolRequestKind id) {
  CThreadPoolRequest r;
  r.m_dwID = id;
  return r;
}
CThreadPoolRequest Undirected(unsigned id) { return Undirected(Id(id)); }

CThreadPoolRequest Directed(int index, PoolRequestKind id = PoolRequestKind::Stop) {
  CThreadPoolRequest r;
  r.m_bDirectedRequest = true;
  r.m_nDirectedRequestIndex = index;
  r.m_dwID = id;
  return r;
}

TEST(DirectedQueueTest, SizeZeroIsRefusedLikeASemaphoreWithoutRoom) {
  CDirectedThreadPoolQueue queue;
  errno = 0;
  EXPECT_FALSE(queue.Create(0));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(queue.IsCreated());
  EXPECT_FALSE(queue.PostRequest(Undirected(1), 0));
}

TEST(DirectedQueueTest, HoldsAtMostSizeUndirectedRequests) {
  CDirectedThreadPoolQueue queue;
  ASSERT_TRUE(queue.Create(2));
  EXPECT_TRUE(queue.PostRequest(Undirected(1), 0));
  EXPECT_TRUE(queue.PostRequest(Undirected(1), 0));
  EXPECT_FALSE(queue.PostRequest(Undirected(1), 20));  // full: waits, then gives up
  // A directed request has its worker's own room.
  EXPECT_TRUE(queue.PostRequest(Directed(1), 0));
  CThreadPoolRequest got;
  ASSERT_TRUE(queue.GetRequest(got, 0, 0));
  EXPECT_TRUE(queue.PostRequest(Undirected(1), 0));  // taking one made room for one
  // Posting without the limit check still stops at the maximum and keeps nothing then.
  EXPECT_FALSE(queue.PostRequestWithoutLimitCheck(Undirected(7)));
  // Out-of-range workers are refused, not written past the counters.
  EXPECT_FALSE(queue.PostRequest(Directed(2), 0));
  EXPECT_FALSE(queue.PostRequest(Directed(-1), 0));
  EXPECT_FALSE(queue.GetRequest(got, 5, 0));
}

TEST(DirectedQueueTest, DirectedRequestsGoFirstAndOnlyToTheirWorker) {
  CDirectedThreadPoolQueue queue;
  ASSERT_TRUE(queue.Create(3));
  ASSERT_TRUE(queue.PostRequest(Undirected(10), 0));
  ASSERT_TRUE(queue.PostRequest(Undirected(11), 0));
  ASSERT_TRUE(queue.PostRequest(Directed(2), 0));
  CThreadPoolRequest got;
  ASSERT_TRUE(queue.GetRequest(got, 2, 0));
  EXPECT_TRUE(got.m_bDirectedRequest);
  EXPECT_EQ(got.m_dwID, PoolRequestKind::Stop);
  ASSERT_TRUE(queue.GetRequest(got, 2, 0));
  EXPECT_EQ(got.m_dwID, Id(10));  // then the undirected ones, oldest first
  ASSERT_TRUE(queue.PostRequest(Directed(0), 0));
  ASSERT_TRUE(queue.GetRequest(got, 1, 0));
  EXPECT_EQ(got.m_dwID, Id(11));  // worker 1 never sees worker 0's request
  EXPECT_FALSE(queue.GetRequest(got, 1, 10));
  ASSERT_TRUE(queue.GetRequest(got, 0, 0));
  EXPECT_TRUE(got.m_bDirectedRequest);
}

TEST(DirectedQueueTest, CloseWakesWaitingPostersAndTakers) {
  CDirectedThreadPoolQueue full;
  ASSERT_TRUE(full.Create(1));
  ASSERT_TRUE(full.PostRequest(Undirected(1), 0));
  bool posted = true;
  std::thread poster([&] { posted = full.PostRequest(Undirected(1), kInfinite); });
  CDirectedThreadPoolQueue empty;
  ASSERT_TRUE(empty.Create(1));
  bool got = true;
  std::thread taker([&] {
    CThreadPoolRequest r;
    got = empty.GetRequest(r, 0, kInfinite);
  });
  full.Close();
  empty.Close();
  poster.join();
  taker.join();
  EXPECT_FALSE(posted);
  EXPECT_FALSE(got);
}

TEST(IOCPQueueTest, IsUnboundedFirstInFirstOutAndRefusesDirectedRequests) {
  CIOCPThreadPoolQueue queue;
  EXPECT_FALSE(queue.PostRequest(Undirected(1), 0));  // not made yet
  ASSERT_TRUE(queue.Create(1));
  EXPECT_FALSE(queue.SupportsDirectedRequests());
  EXPECT_FALSE(queue.PostRequest(Directed(0), 0));
  for (unsigned id = 0; id < 1000; ++id) ASSERT_TRUE(queue.PostRequest(Undirected(id), 0));
  for (unsigned id = 0; id < 1000; ++id) {
    CThreadPoolRequest got;
    ASSERT_TRUE(queue.GetRequest(got, 7, 0));
    EXPECT_EQ(got.m_dwID, Id(id));
    EXPECT_FALSE(got.m_bDirectedRequest);
    EXPECT_EQ(got.m_nDirectedRequestIndex, -1);
  }
  CThreadPoolRequest got;
  EXPECT_FALSE(queue.GetRequest(got, 0, 10));
}

// A connection still queued when the server stops is closed (its client sees the end) and
// freed (AddressSanitizer reports a leak otherwise), whichever queue kind held it.
template <typename Queue>
void PendingConnectionsAreClosedWithTheQueue() {
  const int before = testing::OpenDescriptorCount();
  int peers[3];
  {
    Queue queue;
    ASSERT_TRUE(queue.Create(3));
    for (int& peer : peers) {
      int pair[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
      CThreadPoolRequest request = Undirected(PoolRequestKind::Serve);
      request.m_pConnection = std::make_unique<HttpConnection>(nullptr, pair[0], sockaddr_in {});
      peer = pair[1];
      ASSERT_TRUE(queue.PostRequest(std::move(request), 0));
    }
  }
  for (int peer : peers) {
    EXPECT_TRUE(testing::PeerClosed(peer, 1000));
    ::close(peer);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

TEST(QueueTest, DirectedQueueFreesPendingConnections) {
  PendingConnectionsAreClosedWithTheQueue<CDirectedThreadPoolQueue>();
}

TEST(QueueTest, UnboundedQueueFreesPendingConnections) {
  PendingConnectionsAreClosedWithTheQueue<CIOCPThreadPoolQueue>();
}

}  // namespace
}  // namespace orbiscope
