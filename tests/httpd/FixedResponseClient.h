#pragma once
// A stand-in for the HTTP session: answers every request of a connection with one fixed
// body, keeps the connection while the client asks for Keep-Alive, and writes the access-log
// line of each request. The benchmark serves through it, the loopback tests derive from it.

#include <atomic>
#include <string>
#include <string_view>

#include "httpd/ThreadPoolClient.h"

namespace orbiscope::testing {

class FixedResponseClient : public CThreadPoolClient {
public:
  // What all clients of one server answered and logged, when the caller wants to know.
  struct Tally {
    std::atomic<long> answered {0};
    std::atomic<long> logged {0};
  };

  explicit FixedResponseClient(std::string body = std::string(100, 'x'), Tally* tally = nullptr);

  bool Run(const CThreadPoolRequest& request) override;

protected:
  // Called once per connection before its first read, on the worker thread; false drops
  // the connection (a test holds a worker here).
  virtual bool OnConnection(CHttpSocket& socket) { (void)socket; return true; }

private:
  void Serve(CHttpSocket& socket, const sockaddr_in& peer);

  std::string body_;
  Tally* tally_;
};

}  // namespace orbiscope::testing
