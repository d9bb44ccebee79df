#include "httpd/RequestFraming.h"

#include <algorithm>
#include <string>

namespace orbiscope {
namespace {

constexpr std::size_t kUnknown = std::string::npos;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view name, std::string_view lower) {
  if (name.size() != lower.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Reads a Content-Length value that is plain decimal digits and no more than `limit`; a
// sign, a blank inside, a list or an empty value leaves the length in doubt.
bool ReadLength(std::string_view value, std::size_t limit, std::size_t& out) {
  if (value.empty()) return false;
  out = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<std::size_t>(c - '0');
    if (out > limit) return false;
  }
  return true;
}

}  // namespace

bool SplitField(std::string_view line, std::string& name, std::string& value) {
  name.clear();
  value.clear();
  std::size_t colon = line.find(':');
  if (line.empty() || colon == std::string_view::npos) return false;
  name = std::string(Trim(line.substr(0, colon)));
  value = std::string(Trim(line.substr(colon + 1)));
  return true;
}

RequestAssembler::RequestAssembler(std::size_t step)
    : buffer_(std::max<std::size_t>(step, 2), '\0'), step_(std::max<std::size_t>(step, 1)),
      end_(kUnknown) {}

std::span<char> RequestAssembler::ReceiveSpace() {
  if (state_ != FrameState::Incomplete) return {};
  // One byte always stays free for the terminating NUL.
  std::size_t room = buffer_.size() - length_ - 1;
  return {buffer_.data() + length_, room};
}

FrameState RequestAssembler::Commit(std::size_t count) {
  std::size_t room = buffer_.size() - length_ - 1;
  count = std::min(count, room);
  length_ += count;
  buffer_[length_] = '\0';
  if (count == room && buffer_.size() <= kMaxRequestBytes) {
    // Filled exactly: there may be more waiting, so offer a larger space next time.
    buffer_.resize(std::min(buffer_.size() + step_, kMaxRequestBytes + 1), '\0');
  }
  Scan();
  return state_;
}

FrameState RequestAssembler::Feed(std::string_view bytes) {
  while (!bytes.empty() && state_ == FrameState::Incomplete) {
    std::span<char> space = ReceiveSpace();
    if (space.empty()) break;
    std::size_t n = std::min(space.size(), bytes.size());
    std::copy_n(bytes.data(), n, space.data());
    bytes.remove_prefix(n);
    Commit(n);
  }
  // Bytes the request did not need wait for the next one.
  if (!bytes.empty() && state_ == FrameState::Complete) {
    if (buffer_.size() < length_ + bytes.size() + 1) buffer_.resize(length_ + bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), buffer_.begin() + static_cast<long>(length_));
    length_ += bytes.size();
    buffer_[length_] = '\0';
  }
  return state_;
}

void RequestAssembler::Scan() {
  if (state_ == FrameState::TooLarge || state_ == FrameState::Unsupported) return;
  if (end_ == kUnknown && !FindVersionlessEnd()) {
    std::string_view data(buffer_.data(), length_);
    // Empty lines before the request line are no end of a head.
    std::size_t lead = data.find_first_not_of("\r\n");
    if (lead == std::string_view::npos) lead = length_;
    std::size_t from = std::max(lead, scanned_ >= 3 ? scanned_ - 3 : 0);
    std::size_t separator = data.find("\r\n\r\n", from);
    scanned_ = length_;
    if (separator == std::string_view::npos) {
      state_ = length_ >= kMaxHeadBytes ? FrameState::TooLarge : FrameState::Incomplete;
      return;
    }
    FindBodyEnd(separator);
    if (state_ != FrameState::Incomplete) return;
  }
  state_ = length_ >= end_ ? FrameState::Complete : FrameState::Incomplete;
}

// A request line without a version ends the request by itself: such a client sends no
// header block, and waiting for one would only end in the idle timeout.
bool RequestAssembler::FindVersionlessEnd() {
  std::string_view data(buffer_.data(), length_);
  std::size_t start = data.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return false;
  std::size_t lf = data.find('\n', start);
  if (lf == std::string_view::npos || lf + 1 > kMaxHeadBytes) return false;
  std::string_view line = data.substr(start, lf - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  int tokens = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != ' ' && (i == 0 || line[i - 1] == ' ')) ++tokens;
  }
  if (tokens >= 3) return false;
  end_ = lf + 1;
  return true;
}

void RequestAssembler::FindBodyEnd(std::size_t separator) {
  std::size_t headEnd = separator + 4;
  if (headEnd > kMaxHeadBytes) {
    state_ = FrameState::TooLarge;
    return;
  }
  std::string_view head(buffer_.data(), separator + 2);
  bool hasLength = false;
  std::size_t length = 0;
  std::string name, value;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t lf = head.find('\n', start);
    std::size_t stop = lf == std::string_view::npos ? head.size() : lf;
    std::string_view line = head.substr(start, stop - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = stop + 1;
    if (!SplitField(line, name, value)) continue;
    if (EqualsNoCase(name, "transfer-encoding")) {
      state_ = FrameState::Unsupported;
      return;
    }
    if (!EqualsNoCase(name, "content-length")) continue;
    std::size_t next = 0;
    // A repeated field must say the same; two different lengths leave the body in doubt.
    if (!ReadLength(value, kMaxRequestBytes - headEnd, next) || (hasLength && next != length)) {
      state_ = FrameState::TooLarge;
      return;
    }
    hasLength = true;
    length = next;
  }
  end_ = headEnd + (hasLength ? length : 0);
}

std::string RequestAssembler::TakeRequest() {
  if (state_ != FrameState::Complete) return {};
  const std::size_t rest = length_ - end_;
  std::string request;
  if (Oversized() && rest < step_) {
    // A buffer grown for a large request goes with it, uncopied, and the connection keeps a
    // small one: a parked connection would otherwise hold the largest request it ever sent.
    std::string fresh(FreshSize(), '\0');
    std::copy_n(buffer_.begin() + static_cast<long>(end_), rest, fresh.begin());
    request = std::move(buffer_);
    request.resize(end_);
    buffer_ = std::move(fresh);
  } else {
    request.assign(buffer_.data(), end_);
    std::copy_n(buffer_.begin() + static_cast<long>(end_), rest, buffer_.begin());
  }
  length_ = rest;
  buffer_[length_] = '\0';
  end_ = kUnknown;
  scanned_ = 0;
  state_ = FrameState::Incomplete;
  if (length_ > 0) Scan();
  return request;
}

std::string RequestAssembler::TakeAll() {
  std::string all(buffer_.data(), length_);
  if (Oversized()) std::string(FreshSize(), '\0').swap(buffer_);
  length_ = 0;
  buffer_[0] = '\0';
  end_ = kUnknown;
  scanned_ = 0;
  state_ = FrameState::Incomplete;
  return all;
}

bool RequestAssembler::Oversized() const {
  return buffer_.capacity() > std::max(step_, kKeptReceiveBytes);
}

std::size_t RequestAssembler::FreshSize() const { return std::max<std::size_t>(step_, 2); }

}  // namespace orbiscope
