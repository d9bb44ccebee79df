#include "httpd/client/Md5Hex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace orbiscope {
namespace {

// The test suite of RFC 1321, appendix A.5, in the upper-case form the password uses.
TEST(Md5Hex, Rfc1321Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& [text, digest] : vectors) {
    std::string out = "stale";
    EXPECT_TRUE(Md5Hex(text, out));
    EXPECT_EQ(out, digest) << "text: \"" << text << "\"";
  }
}

TEST(Md5Hex, HashesEveryByteIncludingNul) {
  std::string withNul("a\0b", 3), plain;
  std::string a, b;
  ASSERT_TRUE(Md5Hex(withNul, a));
  ASSERT_TRUE(Md5Hex("a", b));
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), 32u);
}

// Every worker digests at once (the access log does so for each request): threads share
// the algorithm and each reuses its own context, and no digest takes bytes from another.
TEST(Md5Hex, ThreadsDigestingAtOnceEachGetTheirOwn) {
  const std::pair<const char*, const char*> texts[] = {
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
  };
  constexpr int kThreads = 8;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string out;
      for (int i = 0; i < 2000; ++i) {
        const auto& [text, digest] = texts[(t + i) % 4];
        if (!Md5Hex(text, out) || out != digest) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace orbiscope
