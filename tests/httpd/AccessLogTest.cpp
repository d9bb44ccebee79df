#include "httpd/AccessLog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "log/LogXML.h"
#include "tests/httpd/LoopbackSupport.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

sockaddr_in Address(const char* dotted) {
  sockaddr_in a {};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

std::tm March2004() {
  std::tm t {};
  t.tm_year = 104;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 3;
  t.tm_sec = 9;
  return t;
}

TEST(AccessLogTest, LineHasTheCommonLayout) {
  EXPECT_EQ(FormatAccessLogLine(Address("192.168.0.7"), "", March2004(), -60,
                                "GET /index.htm HTTP/1.0", 200, 1234),
            "192.168.0.7 - - [05/Mar/2004:14:03:09 -060] \"GET /index.htm HTTP/1.0\" 200 1234\n");
  EXPECT_EQ(FormatAccessLogLine(Address("10.0.0.1"), "alice", March2004(), 300, "HEAD / HTTP/1.0",
                                304, 0),
            "10.0.0.1 - alice [05/Mar/2004:14:03:09 0300] \"HEAD / HTTP/1.0\" 304 0\n");
}

// The numbers of a line are spelled as the C library's "%0Nd" would, at every edge of
// their ranges: readers of the file parse them in these widths.
TEST(AccessLogTest, NumbersArePaddedAsPrintfPadsThem) {
  struct Case {
    const char* address;
    int mday, mon, year, hour, min, sec;
    long bias;
    int code;
    long long bytes;
  };
  const Case kCases[] = {
      {"0.0.0.0", 1, 0, 0, 0, 0, 0, 0, 0, 0},
      {"255.255.255.255", 31, 11, 8099, 23, 59, 60, -720, 599, 9223372036854775807LL},
      {"10.20.3.4", 9, 5, -1900, 7, 5, 3, -5, -1, -1},
      {"127.0.0.1", 10, 12, -3900, 10, 10, 10, 330, 2147483647, -9223372036854775807LL - 1},
      {"1.2.3.4", -3, -1, 12000, -1, 100, 9, -12345, -2147483647 - 1, 12},
  };
  for (const Case& c : kCases) {
    std::tm t {};
    t.tm_mday = c.mday;
    t.tm_mon = c.mon;
    t.tm_year = c.year;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    static const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "%s - u [%02d/%s/%04d:%02d:%02d:%02d %04ld] \"GET /\" %d %lld\n", c.address,
                  c.mday, c.mon >= 0 && c.mon < 12 ? kMonths[c.mon] : "", c.year + 1900, c.hour,
                  c.min, c.sec, c.bias, c.code, c.bytes);
    EXPECT_EQ(FormatAccessLogLine(Address(c.address), "u", t, c.bias, "GET /", c.code, c.bytes),
              expected);
  }
}

TEST(AccessLogTest, LongRequestLinesAreCut) {
  const auto logged = [](const std::string& requestLine) {
    const std::string line = FormatAccessLogLine(Address("10.0.0.1"), "", March2004(), 0,
                                                 requestLine, 400, 1);
    const std::size_t open = line.find('"');
    return line.substr(open + 1, line.rfind('"') - open - 1);
  };
  const std::string fits = "GET /" + std::string(kMaxLoggedRequestLine - 5, 'a');
  EXPECT_EQ(logged(fits), fits);
  const std::string over = fits + "b" + std::string(60000, 'c');
  EXPECT_EQ(logged(over), fits.substr(0, kMaxLoggedRequestLine - 3) + "...");
}

// A user name or request line a client chose cannot make an entry large, counted as the file
// holds it: "&" and "<" take several bytes there, and a cut never splits a character.
TEST(AccessLogTest, EveryFieldIsCappedInTheFile) {
  testing::TempDir dir;
  LogXML log;
  log.SetExecutablePath(dir.File("orbiscope"));
  ASSERT_TRUE(log.Open());
  const std::string ampersands(60000, '&');
  const std::pair<std::string, std::string> kFields[] = {
      {ampersands, "GET / HTTP/1.0"},
      {"u", "GET /" + std::string(60000, '<') + " HTTP/1.0"},
      {ampersands, "GET /?" + ampersands},
      {"\xC3\xA9" + std::string(60000, 'x'), "GET /" + std::string(60000, '\xE9')},
  };
  for (const auto& [user, requestLine] : kFields)
    ASSERT_TRUE(PostAccessLog(log, "MyHttpClient", Address("10.0.0.1"), user, requestLine, 400, 1));
  log.Close();
  const std::string bytes = testing::ReadFile(log.FilePath());
  std::size_t items = 0;
  for (std::size_t at = bytes.find("<LogItem>"); at != std::string::npos; ++items) {
    const std::size_t next = bytes.find("<LogItem>", at + 1);
    EXPECT_LE((next == std::string::npos ? bytes.size() : next) - at, 2560u) << items;
    at = next;
  }
  EXPECT_EQ(items, std::size(kFields) + 1);  // and "Log File closed"
  // A cut that would fall inside a character falls before it.
  const std::string before(kMaxLoggedRequestLine - 4, 'a');
  const std::string cut = FormatAccessLogLine(Address("10.0.0.1"), "u", March2004(), 0,
                                              before + "\xC3\xA9tail", 200, 1);
  EXPECT_NE(cut.find("\"" + before + "...\""), std::string::npos) << cut;
}

TEST(AccessLogTest, BiasIsTheStandardOffsetOfTheZoneInForce) {
  const char* old = ::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  EXPECT_EQ(TimeZoneBiasMinutes(), -60);  // daylight saving is not added
  ::setenv("TZ", "EST5EDT", 1);
  EXPECT_EQ(TimeZoneBiasMinutes(), 300);
  if (old != nullptr)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// Several workers log at once; every line must reach the file whole and in its own item.
TEST(AccessLogTest, ConcurrentLinesArriveWholeWithTheirModuleAndFunction) {
  testing::TempDir dir;
  LogXML log;
  log.SetExecutablePath(dir.File("orbiscope"));
  ASSERT_TRUE(log.Open());
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&log, w] {
      for (int i = 0; i < 50; ++i)
        PostAccessLog(log, "MyHttpClient", Address("127.0.0.1"), "",
                      "GET /w" + std::to_string(w) + "/" + std::to_string(i) + " HTTP/1.0", 200, i);
    });
  for (auto& t : workers) t.join();
  log.Close();
  int whole = 0;
  for (const std::string& entry : testing::LogEntriesOf(log.FilePath(), "CHttpClient::PostLog")) {
    // "127.0.0.1 - - [dd/Mon/yyyy:hh:mm:ss bias] "GET /wW/I HTTP/1.0" 200 I\n"
    const std::size_t request = entry.find("] \"GET /w");
    if (entry.rfind("127.0.0.1 - - [", 0) == 0 && request != std::string::npos &&
        entry.find(" HTTP/1.0\" 200 ", request) != std::string::npos && entry.back() == '\n' &&
        entry.find('\n') == entry.size() - 1)
      ++whole;
  }
  EXPECT_EQ(whole, 200);
  const std::string bytes = testing::ReadFile(log.FilePath());
  EXPECT_EQ(bytes.find("<Filename>MyHttpClient</Filename>"), bytes.find("<Filename>"));
}

}  // namespace
}  // namespace orbiscope
