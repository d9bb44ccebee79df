#include "httpd/ThreadPoolServer.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>

namespace orbiscope {

CThreadPoolServer::CThreadPoolServer() = default;

CThreadPoolServer::~CThreadPoolServer() { Stop(); }

bool CThreadPoolServer::StartWorker(CThreadPoolClient& client, bool suspended) {
  client.initialised_.Reset();
  return client.thread_.Start([&client] { client.WorkerProcedure(); }, suspended);
}

bool CThreadPoolServer::Create(const PoolOptions& options) {
  Stop();
  std::unique_ptr<CThreadPoolQueue> queue = options.queue ? options.queue() : nullptr;
  if (!queue) return false;
  std::lock_guard lock(lock_);
  if (!queue->Create(options.queueSize < 0 ? 0u : static_cast<unsigned>(options.queueSize)))
    return false;
  queue_ = std::move(queue);
  clients_.reserve(options.poolSize > 0 ? static_cast<std::size_t>(options.poolSize) : 0);
  for (int i = 0; i < options.poolSize; ++i) {
    std::unique_ptr<CThreadPoolClient> client;
    try {
      // A client holds descriptors of its own: a large pool can exhaust them, and that must
      // fail this call, not end the process from the listener thread.
      if (options.clients) client = options.clients();
    } catch (const std::exception&) {
      client.reset();
    }
    bool made = client != nullptr;
    if (made) {
      client->pool_ = this;
      client->threadPriority_ = options.threadPriority;
      client->stackSize_ = options.stackSize;
      client->threadIndex_ = i;
      made = StartWorker(*client, true);
    }
    if (!made) {
      const int error = errno;
      StopLocked();
      errno = error;
      return false;
    }
    clients_.push_back(std::move(client));
  }
  if (!options.startSuspended)
    for (auto& client : clients_) client->Resume();
  return true;
}

void CThreadPoolServer::Stop() {
  // The monitor goes first and outside the pool lock: it takes that lock to recycle, so
  // waiting for it while holding the lock could wait forever.
  StopLifetimeMonitor();
  std::lock_guard lock(lock_);
  StopLocked();
}

void CThreadPoolServer::StopLocked() {
  if (!clients_.empty() && queue_) {
    for (auto& client : clients_) client->SetRequestToStop();
    const bool directed = queue_->SupportsDirectedRequests();
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      CThreadPoolRequest stop;
      stop.m_dwID = PoolRequestKind::Stop;
      if (directed) {
        stop.m_bDirectedRequest = true;
        stop.m_nDirectedRequestIndex = static_cast<int>(i);
      }
      queue_->PostRequest(std::move(stop), kInfinite);
    }
  }
  // Joining also releases threads still held suspended, which then take their stop.
  for (auto& client : clients_) client->thread_.Join();
  clients_.clear();
  queue_.reset();  // frees the connections still waiting
  lifetimeEnabled_ = false;
  lifetime_ = std::chrono::milliseconds(0);
  recycleIndex_ = 0;
}

CThreadPoolClient* CThreadPoolServer::GetAtClient(int index) {
  std::lock_guard lock(lock_);
  if (index < 0 || static_cast<std::size_t>(index) >= clients_.size()) return nullptr;
  return clients_[static_cast<std::size_t>(index)].get();
}

int CThreadPoolServer::GetPoolSize() const {
  std::lock_guard lock(lock_);
  return static_cast<int>(clients_.size());
}

unsigned CThreadPoolServer::GetRecycleCount() const {
  std::lock_guard lock(lock_);
  return recycleCount_;
}

bool CThreadPoolServer::WaitForThreadsInitInstance() {
  std::vector<CThreadPoolClient*> clients;
  {
    std::lock_guard lock(lock_);
    for (auto& client : clients_) clients.push_back(client.get());
  }
  if (clients.empty()) return false;
  bool allOk = true;
  for (CThreadPoolClient* client : clients) {
    client->initialised_.Wait(-1);
    allOk = client->initialisedOk_.load() && allOk;
  }
  return allOk;
}

bool CThreadPoolServer::SetMaxThreadClientLifetime(bool enable, unsigned minutes) {
  return SetMaxThreadClientLifetime(enable, std::chrono::minutes(minutes));
}

bool CThreadPoolServer::SetMaxThreadClientLifetime(bool enable, std::chrono::milliseconds lifetime) {
  StopLifetimeMonitor();
  std::lock_guard lock(lock_);
  lifetimeEnabled_ = enable;
  lifetime_ = lifetime;
  if (!enable) return true;
  if (!queue_ || !queue_->SupportsDirectedRequests()) return false;
  // The interval divides by the worker count; without workers there is nothing to recycle.
  if (clients_.empty()) return true;
  auto monitor = std::make_unique<WorkerThread>();
  if (!monitor->Start([this] { LifetimeMonitor(); }, false, WorkerThread::Priority::Idle)) {
    lifetimeEnabled_ = false;
    lifetime_ = std::chrono::milliseconds(0);
    return false;
  }
  monitor_ = std::move(monitor);
  return true;
}

void CThreadPoolServer::StopLifetimeMonitor() {
  std::unique_ptr<WorkerThread> monitor;
  {
    std::lock_guard lock(lock_);
    monitor = std::move(monitor_);
  }
  if (!monitor) return;
  lifetimeStop_.Set();
  monitor->Join();
  lifetimeStop_.Reset();
}

void CThreadPoolServer::LifetimeMonitor() {
  std::chrono::milliseconds interval;
  {
    std::lock_guard lock(lock_);
    if (clients_.empty()) return;
    // 64-bit milliseconds: minutes x 60000 overflows 32 bits past about 71 582 minutes.
    interval = std::max<std::chrono::milliseconds>(
        std::chrono::milliseconds(1), lifetime_ / static_cast<long long>(clients_.size()));
  }
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer >= 0) {
    itimerspec period {};
    period.it_value.tv_sec = static_cast<time_t>(interval.count() / 1000);
    period.it_value.tv_nsec = static_cast<long>(interval.count() % 1000) * 1000000L;
    period.it_interval = period.it_value;
    if (::timerfd_settime(timer, 0, &period, nullptr) == 0) {
      for (;;) {
        pollfd fds[2] = {{lifetimeStop_.Fd(), POLLIN, 0}, {timer, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[0].revents != 0) break;
        std::uint64_t expirations = 0;
        if (::read(timer, &expirations, sizeof expirations) == sizeof expirations) RecycleThread();
      }
      ::close(timer);
      return;
    }
    ::close(timer);
  }
  // Without a timer: look once a second whether the interval has passed.
  auto last = std::chrono::steady_clock::now();
  while (!lifetimeStop_.Wait(1000)) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last > interval) {
      RecycleThread();
      last = now;
    }
  }
}

bool CThreadPoolServer::RecycleThread() {
  std::lock_guard lock(lock_);
  if (clients_.empty() || !queue_) return false;
  if (recycleIndex_ >= static_cast<int>(clients_.size())) recycleIndex_ = 0;
  CThreadPoolClient& client = *clients_[static_cast<std::size_t>(recycleIndex_)];
  client.SetRequestToStop();
  if (!client.thread_.HasEnded()) {
    CThreadPoolRequest stop;
    stop.m_dwID = PoolRequestKind::Stop;
    stop.m_bDirectedRequest = true;
    stop.m_nDirectedRequestIndex = recycleIndex_;
    queue_->PostRequest(std::move(stop), kInfinite);
  }
  client.thread_.Join();
  // The stop was meant for the old thread; left raised, the new one would drop every
  // connection it is handed.
  client.ClearRequestToStop();
  const bool started = StartWorker(client, false);
  recycleIndex_ = (recycleIndex_ + 1) % static_cast<int>(clients_.size());
  ++recycleCount_;
  return started;
}

}  // namespace orbiscope
