#pragma once
// One client connection. It travels as an owned object between the event loop, which reads
// its requests and finishes its sends, and the worker that answers one whole request: the
// loop posts it to the pool with a complete request in Input(), the worker queues the
// response in Output(), sends what the client takes at once (OutputQueue::SendNow) and
// hands it back with ReturnToLoop. Its code is the loop's (EventLoop.cpp), which holds it
// between requests.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include "httpd/Feed.h"
#include "httpd/OutputQueue.h"
#include "httpd/RequestFraming.h"
#include "httpd/WSocket.h"

namespace orbiscope {

class EventLoop;

class HttpConnection {
public:
  // What becomes of the connection once its response has gone out.
  enum class After {
    Close,      // it closes
    KeepAlive,  // its next request is read (or served at once, when it is already there)
    Linger,     // the client is told nothing more comes, what it still sends is dropped for a
                // moment, then it closes (so a refused client can read its answer)
    Feed,       // it follows the channel given to Follow until either end stops
  };

  // Takes the connected, non-blocking socket `fd`. `loop` (null in tests) counts it.
  HttpConnection(EventLoop* loop, int fd, const sockaddr_in& peer);
  // Closes the socket; the loop counts the connection gone.
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  int Fd() const { return socket_.Handle(); }
  const sockaddr_in& Peer() const { return peer_; }
  // The bytes received and not yet handed over as a request.
  RequestAssembler& Input() { return input_; }
  // The bytes still to send.
  OutputQueue& Output() { return output_; }

  // Reads what the client has already sent, never waiting, unless other whole requests
  // wait for a worker: a worker that finds its connection's next request already whole
  // answers it at once, sparing it the trip through the loop and a worker's wake-up. True
  // when Input() now holds a whole request (or one to refuse).
  bool ReadAhead();
  // Makes the connection follow `channel` once it is handed back with After::Feed: it then
  // sends the channel's parts (see Feed.h) and reads nothing more. `onEnd` is called once,
  // when the connection ends however it ends, with the bytes sent from this call on.
  void Follow(std::shared_ptr<FeedChannel> channel, FeedEnd onEnd);

  // The session's notes, kept across the connection's requests.
  bool started = false;  // the session ran its per-connection set-up
  std::string hostName;  // the client's reverse-lookup name, when looked up

private:
  friend class EventLoop;
  friend void ReturnToLoop(std::unique_ptr<HttpConnection>, After);
  enum class State { Reading, Writing, Lingering, Feeding };
  struct Following {
    std::shared_ptr<FeedChannel> channel;
    FeedEnd onEnd;
    std::uint64_t sentBefore = 0;  // Output().Sent() when it began
    std::uint64_t sequence = 0;    // of the last part it took
    bool counted = false;          // among the channel's followers
    bool closing = false;          // the channel's last part is queued: close once it is out
  };

  CHttpSocket socket_;
  sockaddr_in peer_;
  RequestAssembler input_;
  OutputQueue output_;

  // The loop's bookkeeping, touched by whoever holds the connection.
  EventLoop* loop_;
  State state_ = State::Reading;
  After after_ = After::Close;
  bool registered_ = false;  // known to the loop's epoll set
  bool withWorker_ = false;  // posted to the pool and not returned yet
  std::chrono::steady_clock::time_point deadline_ {};
  std::uint64_t lingerLeft_ = 0;
  std::size_t slot_ = 0;  // its place in the loop's list while the loop holds it
  std::unique_ptr<Following> feed_;
};

// Hands `connection` back to the loop it came from once its response is queued; without a
// loop it just closes.
void ReturnToLoop(std::unique_ptr<HttpConnection> connection, HttpConnection::After after);

}  // namespace orbiscope
