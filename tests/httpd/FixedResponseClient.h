#pragma once
// A stand-in for the HTTP session: answers every request with one fixed body, keeps the
// connection while the client asks for Keep-Alive, and writes the access-log line of each
// request. The benchmark serves through it, the loopback tests derive from it.

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

  bool Run(CThreadPoolRequest& request) override;

protected:
  // Called for every request a worker takes, before it is answered; false closes the
  // connection unanswered (a test holds a worker here).
  virtual bool OnRequest(HttpConnection& connection) { (void)connection; return true; }
  // The body answered to the request with this request line.
  virtual const std::string& Body(std::string_view requestLine) const {
    (void)requestLine;
    return body_;
  }

private:
  std::string body_;
  Tally* tally_;
};

}  // namespace orbiscope::testing
