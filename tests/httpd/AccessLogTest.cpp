#include "httpd/AccessLog.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

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
