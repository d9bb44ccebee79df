#include "httpd/RequestFraming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "httpd/client/RequestParser.h"

namespace orbiscope {
namespace {

// Everything a parsed request carries, as one comparable text.
std::string Summary(const std::string& raw, bool& ok) {
  ClientRequest r;
  r.raw = raw;
  ok = ParseHead(r, ParsePolicy{});
  std::ostringstream s;
  s << ok << '|' << r.requestLine << '|' << static_cast<int>(r.verb) << '|' << r.url << '|'
    << r.query << '|' << r.version << '|' << static_cast<int>(r.authScheme) << '|'
    << r.userName << '|' << r.password << '|' << r.contentLength << '|' << r.contentType << '|'
    << r.keepAliveRequested << '|' << r.Body() << '|' << r.headers.size();
  return s.str();
}

// Feeds `wire` in the given pieces and collects every request handed over.
std::vector<std::string> Deliver(const std::vector<std::string_view>& pieces,
                                 FrameState& last, std::size_t step = kReadStep) {
  RequestAssembler assembler(step);
  std::vector<std::string> out;
  last = FrameState::Incomplete;
  for (std::string_view piece : pieces) {
    last = assembler.Feed(piece);
    while (last == FrameState::Complete) {
      out.push_back(assembler.TakeRequest());
      last = assembler.State();
    }
    if (last != FrameState::Incomplete) break;
  }
  return out;
}

const char* const kSamples[] = {
    "GET /index.htm HTTP/1.0\r\n\r\n",
    "\r\n\r\nGET /cam/a%20b?x=1 HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: h\r\n\r\n",
    "POST /form HTTP/1.0\r\nContent-Type: text/plain\r\ncontent-length: 11\r\n\r\nhello world",
    "GET u:p@/image%20?user=U%20pass=D HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n",
    "GET /\r\n",
    "HEAD / HTTP/1.0\r\nContent-Length: 0\r\nX: \r\n\r\n",
};

// Split each sample at every offset (and a third time byte by byte, with a tiny buffer
// step so that the buffer grows on the way): the same request must come out each time.
TEST(RequestFraming, GrindEverySplit) {
  for (const char* sample : kSamples) {
    std::string wire = sample;
    bool ok = false;
    const std::string expected = Summary(wire, ok);
    FrameState state;
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
      std::vector<std::string> got = Deliver(
          {std::string_view(wire).substr(0, cut), std::string_view(wire).substr(cut)}, state);
      ASSERT_EQ(got.size(), 1u) << "cut " << cut << " of " << wire;
      EXPECT_EQ(got[0], wire);
      EXPECT_EQ(Summary(got[0], ok), expected);
    }
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < wire.size(); ++i) bytes.push_back(std::string_view(wire).substr(i, 1));
    std::vector<std::string> got = Deliver(bytes, state, 3);
    ASSERT_EQ(got.size(), 1u) << wire;
    EXPECT_EQ(got[0], wire);
  }
}

// Several requests sent back to back, cut anywhere: each is answered in turn, none lost.
TEST(RequestFraming, PipelinedRequestsSurviveEverySplit) {
  std::string wire = std::string(kSamples[2]) + kSamples[1] + kSamples[4];
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    FrameState state;
    std::vector<std::string> got = Deliver(
        {std::string_view(wire).substr(0, cut), std::string_view(wire).substr(cut)}, state);
    ASSERT_EQ(got.size(), 3u) << "cut " << cut;
    EXPECT_EQ(got[0], kSamples[2]);
    EXPECT_EQ(got[1], kSamples[1]);
    EXPECT_EQ(got[2], kSamples[4]);
  }
}

TEST(RequestFraming, WaitsForTheWholeBody) {
  RequestAssembler assembler;
  EXPECT_EQ(assembler.Feed("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\n12345"),
            FrameState::Incomplete);
  EXPECT_EQ(assembler.Feed("6789"), FrameState::Incomplete);
  EXPECT_EQ(assembler.Feed("0GET"), FrameState::Complete);
  EXPECT_EQ(assembler.TakeRequest(), "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\n1234567890");
  EXPECT_EQ(assembler.State(), FrameState::Incomplete);
  EXPECT_EQ(assembler.TakeAll(), "GET");
}

TEST(RequestFraming, BoundsRefuseOversizedRequests) {
  FrameState state;
  // A head that never ends within its bound.
  std::string head = "GET / HTTP/1.0\r\nX: " + std::string(kMaxHeadBytes, 'a');
  EXPECT_TRUE(Deliver({head}, state).empty());
  EXPECT_EQ(state, FrameState::TooLarge);
  // Lengths that are negative, unreadable as a size, or beyond the request bound.
  for (const char* length : {"-1", "-2147483648", "99999999999999999999", "1048576"}) {
    std::string wire = std::string("POST / HTTP/1.0\r\nContent-Length: ") + length + "\r\n\r\n";
    EXPECT_TRUE(Deliver({wire}, state).empty()) << length;
    EXPECT_EQ(state, FrameState::TooLarge) << length;
  }
  // The largest body that still fits is accepted.
  std::string wire = "POST / HTTP/1.0\r\nContent-Length: ";
  std::size_t headSize = wire.size() + 7 + 4;
  wire += std::to_string(kMaxRequestBytes - headSize) + "\r\n\r\n";
  ASSERT_EQ(wire.size(), headSize);
  wire += std::string(kMaxRequestBytes - headSize, 'b');
  std::vector<std::string> got = Deliver({wire}, state);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), kMaxRequestBytes);
}

// Heads whose body length is in doubt are refused at every split, and nothing after them
// (here a second request hidden in a chunked body) is ever handed over.
TEST(RequestFraming, RefusesBodiesOfDoubtfulLength) {
  const std::pair<std::string, FrameState> kCases[] = {
      {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET /x HTTP/1.0\r\n\r\n",
       FrameState::Unsupported},
      {"POST / HTTP/1.0\r\nContent-Length: 3\r\ntransfer-encoding : identity\r\n\r\nabc",
       FrameState::Unsupported},
      {"POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
       FrameState::TooLarge},
  };
  for (const auto& [wire, expected] : kCases) {
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
      FrameState state;
      std::vector<std::string> got = Deliver(
          {std::string_view(wire).substr(0, cut), std::string_view(wire).substr(cut)}, state);
      EXPECT_TRUE(got.empty()) << "cut " << cut << " of " << wire;
      EXPECT_EQ(state, expected) << "cut " << cut << " of " << wire;
    }
  }
  // A length must be plain decimal digits.
  for (const char* length : {"+5", "-0", "5 5", "5,5", "0x5", "5a", "", "\xd9\xa5"}) {
    FrameState state;
    std::string wire = std::string("POST / HTTP/1.0\r\nContent-Length: ") + length + "\r\n\r\nabcde";
    EXPECT_TRUE(Deliver({wire}, state).empty()) << length;
    EXPECT_EQ(state, FrameState::TooLarge) << length;
  }
  // Repeating the same length is no doubt.
  FrameState state;
  std::vector<std::string> got =
      Deliver({"POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 003\r\n\r\nabcGET"}, state);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].substr(got[0].size() - 3), "abc");
}

// Receives `bytes` as a socket would hand them over, at most `chunk` at a time.
void Receive(RequestAssembler& assembler, std::string_view bytes, std::size_t chunk = 65536) {
  while (!bytes.empty() && assembler.State() == FrameState::Incomplete) {
    std::span<char> space = assembler.ReceiveSpace();
    const std::size_t n = std::min({space.size(), bytes.size(), chunk});
    std::copy_n(bytes.data(), n, space.data());
    bytes.remove_prefix(n);
    assembler.Commit(n);
  }
}

// A kept-alive connection holds its buffer while it waits: after a large request, whether
// handed over whole or refused, only a small one may remain, and what followed the large
// request in the same receive is still there.
TEST(RequestFraming, ABufferGrownForALargeRequestIsGivenUpAfterIt) {
  const std::string body(kMaxRequestBytes - 100, 'p');
  const std::string post =
      "POST /u HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  const std::string next = "GET /n HTTP/1.0\r\n\r\n";
  for (const bool pipelined : {false, true}) {
    RequestAssembler assembler;
    Receive(assembler, pipelined ? post + next : post);
    ASSERT_EQ(assembler.State(), FrameState::Complete);
    EXPECT_GT(assembler.Capacity(), kMaxRequestBytes / 2);
    EXPECT_EQ(assembler.TakeRequest(), post);
    EXPECT_LE(assembler.Capacity(), 16u * 1024) << pipelined;
    if (pipelined) {
      ASSERT_EQ(assembler.State(), FrameState::Complete);
      EXPECT_EQ(assembler.TakeRequest(), next);
    }
    // The small buffer still grows for the next large request.
    Receive(assembler, post);
    EXPECT_EQ(assembler.TakeRequest(), post);
  }
  RequestAssembler refused;
  Receive(refused, "GET / HTTP/1.0\r\nX: " + std::string(kMaxHeadBytes, 'a'));
  ASSERT_EQ(refused.State(), FrameState::TooLarge);
  refused.TakeAll();
  EXPECT_LE(refused.Capacity(), 16u * 1024);
}

TEST(RequestFraming, ReceiveSpaceKeepsRoomForTheTerminator) {
  RequestAssembler assembler(8);
  std::span<char> space = assembler.ReceiveSpace();
  ASSERT_EQ(space.size(), 7u);
  std::string_view part = "GET / H";
  std::copy(part.begin(), part.end(), space.begin());
  EXPECT_EQ(assembler.Commit(7), FrameState::Incomplete);
  // Filled exactly: the buffer grew by one step.
  EXPECT_EQ(assembler.ReceiveSpace().size(), 8u);
  EXPECT_EQ(assembler.Size(), 7u);
}

}  // namespace
}  // namespace orbiscope
