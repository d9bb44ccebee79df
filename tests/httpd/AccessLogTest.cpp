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
