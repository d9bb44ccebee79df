#pragma once
// Finds where one request ends in the bytes a connection delivers, within fixed bounds.
//
// The socket loops receive straight into ReceiveSpace() and call Commit(); tests and
// fuzzers call Feed(). A request is complete at its CR LF CR LF plus its Content-Length,
// or, for a version-less (HTTP/0.9) request, at the end of its only line. Bytes after the
// end are kept as the start of the next request, so a pipelined request is not lost.
// A head whose body length is in doubt (a Transfer-Encoding, Content-Length fields that
// disagree or are not plain digits) is refused: a proxy in front may have framed it
// differently, and taking its body for the next request would let one client smuggle a
// request past the proxy.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace orbiscope {

// The receive buffer starts at, and grows by, this many bytes.
inline constexpr std::size_t kReadStep = 4096;
// A receive buffer grown past this (or past the step) for one request is given up after it.
inline constexpr std::size_t kKeptReceiveBytes = 8 * 1024;
// The head (through its CR LF CR LF) may not be longer than this.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// A whole request, head and body, may not be longer than this.
inline constexpr std::size_t kMaxRequestBytes = 1024 * 1024;

// Splits a header line, "name: value", at the first colon, trimming white space around
// both: the framing reads its fields so, and so does the request parser. False for an
// empty line or one without a colon (name and value are then emptied).
bool SplitField(std::string_view line, std::string& name, std::string& value);

enum class FrameState {
  Incomplete,  // more bytes are needed
  Complete,    // TakeRequest() hands over one request
  TooLarge,    // over a bound, or a Content-Length in doubt: answer 400 and close
  Unsupported, // a Transfer-Encoding, which is not decoded: answer 501 and close
};

class RequestAssembler {
public:
  explicit RequestAssembler(std::size_t step = kReadStep);

  // Where the next receive writes; empty when nothing more may be received.
  std::span<char> ReceiveSpace();
  // Notes `count` bytes written into ReceiveSpace() and answers the new state.
  FrameState Commit(std::size_t count);
  // Copies bytes in as if received in one piece (tests, fuzzers).
  FrameState Feed(std::string_view bytes);
  FrameState State() const { return state_; }

  // The bytes of the complete request; the bytes after it stay for the next request and
  // are checked at once, so State() may already be Complete again.
  std::string TakeRequest();
  // The bytes held, for a request that could not be completed (kept NUL-terminated).
  std::string TakeAll();
  // Bytes held that belong to no handed-over request.
  std::size_t Size() const { return length_; }
  // Memory the receive buffer holds, used or not.
  std::size_t Capacity() const { return buffer_.capacity(); }

private:
  void Scan();
  bool FindVersionlessEnd();
  void FindBodyEnd(std::size_t separator);
  bool Oversized() const;
  std::size_t FreshSize() const;

  std::string buffer_;      // capacity-sized; the first length_ bytes are data
  std::size_t length_ = 0;
  std::size_t step_;
  std::size_t scanned_ = 0;  // the CR LF CR LF search has covered bytes before this
  std::size_t end_;          // end of the current request once known
  FrameState state_ = FrameState::Incomplete;
};

}  // namespace orbiscope
