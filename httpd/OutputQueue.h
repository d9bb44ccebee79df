#pragma once
// What a connection still owes its client, in order: pieces of memory and ranges of files.
//
// A writer queues its response borrowing the memory and the file it already holds, and
// flushes at once; a client that takes everything costs no copy. What the socket did not
// take stays queued, and Keep() makes it owned (memory copied, descriptor duplicated), so
// the writer may return and the event loop finishes the send when the socket is writable.
// Memory shared by many connections (one picture for many viewers) is queued by reference.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orbiscope {

class OutputQueue {
public:
  enum class Flush {
    Done,     // everything queued went out
    Blocked,  // the socket takes no more now; the rest stays queued
    Failed,   // the connection failed (the error code says why) or a file ran short (EIO)
  };

  OutputQueue() = default;
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // Memory valid until the next Keep() or Clear(), or until it was sent.
  void Borrow(std::string_view bytes);
  // Memory kept alive by `owner` for as long as the queue needs it.
  void Share(std::shared_ptr<const void> owner, std::string_view bytes);
  // `size` bytes of the open file `fd` from `offset`; the descriptor is borrowed as memory is.
  void BorrowFile(int fd, std::uint64_t offset, std::uint64_t size);
  // Makes every queued part own what it refers to. False when a descriptor could not be
  // duplicated (errno says why); the queue is then cleared.
  bool Keep();

  // Sends what the socket takes now, without waiting; `error` gets the errno of a failure.
  Flush FlushTo(int socket, int& error);
  // A writer's send: FlushTo, then what the socket did not take is made owned (Keep) for
  // the event loop to finish, which reports `failureText` followed by the error code when
  // that rest cannot be delivered. Answers 0, or the errno of a failure (the queue is then
  // emptied and the writer reports it).
  int SendNow(int socket, std::string_view failureText);
  // The report SendNow left for the rest it kept.
  const std::string& FailureText() const { return failureText_; }
  bool Empty() const { return next_ == parts_.size(); }
  // Drops everything queued.
  void Clear();
  // Bytes sent since the queue was made.
  std::uint64_t Sent() const { return sent_; }
  // Bytes queued and not sent yet.
  std::uint64_t Queued() const;

private:
  struct Part {
    std::shared_ptr<const void> owner;  // null while borrowed
    const char* data = nullptr;         // memory part
    std::size_t size = 0;
    int file = -1;                      // file part when >= 0
    bool ownsFile = false;
    std::uint64_t offset = 0;
    std::uint64_t fileLeft = 0;
  };
  Flush SendMemory(int socket, int& error);
  Flush SendFile(int socket, int& error);
  void Advance(std::size_t n);
  void Release(Part& part);

  std::vector<Part> parts_;
  std::size_t next_ = 0;  // parts before it went out
  std::uint64_t sent_ = 0;
  std::string failureText_;
};

}  // namespace orbiscope
