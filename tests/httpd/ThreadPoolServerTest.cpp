#include "httpd/ThreadPoolServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <system_error>

#include "httpd/DirectedThreadPoolQueue.h"
#include "httpd/IOCPThreadPoolQueue.h"
#include "tests/httpd/LoopbackSupport.h"

namespace orbiscope {
namespace {

using testing::Counter;
using testing::Gate;

// Shared by the clients of one pool: what they saw.
struct Observations {
  Counter initialised;
  Counter served;
  Counter running;                  // inside Run right now (only ever grows here)
  Gate release;                     // Run waits for it when holding is set
  bool holding = false;
  std::atomic<int> stopSeenInRun {0};
  bool failInit = false;
};

class ProbeClient : public CThreadPoolClient {
public:
  explicit ProbeClient(Observations& seen) : seen_(seen) {}
  bool InitInstance() override {
    seen_.initialised.Add();
    return !seen_.failInit;
  }
  bool Run(CThreadPoolRequest&) override {
    if (RequestToStop()) ++seen_.stopSeenInRun;
    seen_.running.Add();
    if (seen_.holding) seen_.release.Wait();
    seen_.served.Add();
    return true;
  }

private:
  Observations& seen_;
};

ClientFactory Probes(Observations& seen) {
  return [&seen] { return std::make_unique<ProbeClient>(seen); };
}
QueueFactory Directed() { return [] { return std::make_unique<CDirectedThreadPoolQueue>(); }; }
QueueFactory Unbounded() { return [] { return std::make_unique<CIOCPThreadPoolQueue>(); }; }

PoolOptions Pool(ClientFactory clients, QueueFactory queue, int size, bool suspended = false) {
  PoolOptions options;
  options.clients = std::move(clients);
  options.queue = std::move(queue);
  options.poolSize = size;
  options.queueSize = size;
  options.startSuspended = suspended;
  return options;
}

CThreadPoolRequest Work() {
  CThreadPoolRequest r;
  r.m_dwID = PoolRequestKind::Serve;
  return r;
}

TEST(ThreadPoolServerTest, NWorkersServeNRequestsAtOnce) {
  Observations seen;
  seen.holding = true;
  CThreadPoolServer pool;
  ASSERT_TRUE(pool.Create(Pool(Probes(seen), Directed(), 4)));
  ASSERT_TRUE(pool.WaitForThreadsInitInstance());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.GetQueue()->PostRequest(Work(), kInfinite));
  // All four are inside Run together, each held there: four threads serve at once.
  EXPECT_TRUE(seen.running.WaitFor(4));
  EXPECT_EQ(seen.served.Value(), 0);
  seen.release.Open();
  EXPECT_TRUE(seen.served.WaitFor(4));
  pool.Stop();
  EXPECT_EQ(pool.GetPoolSize(), 0);
  EXPECT_EQ(pool.GetQueue(), nullptr);
}

TEST(ThreadPoolServerTest, InitialisationIsTheAndOfEveryWorker) {
  Observations ok;
  CThreadPoolServer pool;
  ASSERT_TRUE(pool.Create(Pool(Probes(ok), Unbounded(), 3)));
  EXPECT_TRUE(pool.WaitForThreadsInitInstance());
  EXPECT_TRUE(pool.WaitForThreadsInitInstance());  // asking twice does not wait forever
  Observations failing;
  failing.failInit = true;
  ASSERT_TRUE(pool.Create(Pool(Probes(failing), Unbounded(), 2)));
  EXPECT_FALSE(pool.WaitForThreadsInitInstance());
  ASSERT_TRUE(pool.Create(Pool(Probes(ok), Unbounded(), 0)));  // an unbounded queue takes 0
  EXPECT_FALSE(pool.WaitForThreadsInitInstance());        // but no worker is no success
  EXPECT_FALSE(pool.Create(Pool(Probes(ok), Directed(), 0)));
}

// Threads made suspended and never resumed must not keep a failed Create (or Stop) waiting.
TEST(ThreadPoolServerTest, FailedCreateReleasesSuspendedThreads) {
  Observations seen;
  int made = 0;
  const ClientFactory thirdFails = [&]() -> std::unique_ptr<CThreadPoolClient> {
    if (++made == 3) return nullptr;
    return std::make_unique<ProbeClient>(seen);
  };
  CThreadPoolServer pool;
  EXPECT_FALSE(pool.Create(Pool(thirdFails, Directed(), 5, /*suspended=*/true)));
  EXPECT_EQ(pool.GetPoolSize(), 0);
  // A client that cannot be made because the process ran out of something fails the same way.
  const ClientFactory throwing = []() -> std::unique_ptr<CThreadPoolClient> {
    throw std::system_error(EMFILE, std::generic_category());
  };
  EXPECT_FALSE(pool.Create(Pool(throwing, Directed(), 2)));
  // A pool created suspended and stopped without a resume ends as well.
  ASSERT_TRUE(pool.Create(Pool(Probes(seen), Directed(), 3, /*suspended=*/true)));
  pool.Stop();
}

TEST(ThreadPoolServerTest, RecyclingNeedsADirectedQueue) {
  Observations seen;
  CThreadPoolServer pool;
  ASSERT_TRUE(pool.Create(Pool(Probes(seen), Unbounded(), 2)));
  EXPECT_FALSE(pool.SetMaxThreadClientLifetime(true, 1u));
  EXPECT_TRUE(pool.SetMaxThreadClientLifetime(false, 1u));
}

// Two workers, a lifetime of 60 ms: one worker is replaced every 30 ms, in turn. A replaced
// worker must serve normally: the stop meant for its predecessor may not linger.
TEST(ThreadPoolServerTest, RecyclesWorkersInTurnAndTheNewOnesServe) {
  Observations seen;
  CThreadPoolServer pool;
  ASSERT_TRUE(pool.Create(Pool(Probes(seen), Directed(), 2)));
  ASSERT_TRUE(pool.WaitForThreadsInitInstance());
  ASSERT_TRUE(pool.SetMaxThreadClientLifetime(true, std::chrono::milliseconds(60)));
  ASSERT_TRUE(seen.initialised.WaitFor(2 + 4));  // four replacements
  EXPECT_GE(pool.GetRecycleCount(), 4u);
  ASSERT_TRUE(pool.SetMaxThreadClientLifetime(false, 0u));
  const unsigned recycled = pool.GetRecycleCount();
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool.GetQueue()->PostRequest(Work(), kInfinite));
  EXPECT_TRUE(seen.served.WaitFor(6));
  EXPECT_EQ(seen.stopSeenInRun.load(), 0);
  EXPECT_EQ(pool.GetRecycleCount(), recycled);  // turned off means off
  pool.Stop();
}

// The monitor takes the pool lock to recycle; stopping the pool while it fires quickly must
// not wait on each other.
TEST(ThreadPoolServerTest, StopWhileRecyclingFastDoesNotDeadlock) {
  Observations seen;
  CThreadPoolServer pool;
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(pool.Create(Pool(Probes(seen), Directed(), 2)));
    ASSERT_TRUE(pool.SetMaxThreadClientLifetime(true, std::chrono::milliseconds(2)));
    const int target = seen.initialised.Value() + 3;
    ASSERT_TRUE(seen.initialised.WaitFor(target));
    pool.Stop();
  }
}

// A client that lets an allocation failure out of Run loses that request only: its worker
// goes on with the next ones.
TEST(ThreadPoolServerTest, AnAllocationFailureInRunEndsNoWorker) {
  Observations seen;
  class Failing : public ProbeClient {
  public:
    using ProbeClient::ProbeClient;
    bool Run(CThreadPoolRequest& request) override {
      if (failures_++ < 2) throw std::bad_alloc();
      return ProbeClient::Run(request);
    }

  private:
    int failures_ = 0;
  };
  CThreadPoolServer pool;
  const ClientFactory failing = [&seen] { return std::make_unique<Failing>(seen); };
  ASSERT_TRUE(pool.Create(Pool(failing, Directed(), 1)));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.GetQueue()->PostRequest(Work(), kInfinite));
  EXPECT_TRUE(seen.served.WaitFor(1));
}

}  // namespace
}  // namespace orbiscope
