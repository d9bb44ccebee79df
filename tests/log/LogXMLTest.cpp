#include "log/LogXML.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "config/Codepage.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::ReadFile;
using testing::TempDir;

// Date and time lines vary; the test replaces their digits with fixed ones.
std::string MaskTimes(const std::string& text) {
  static const std::regex date("<Date>\\d{4}-\\d{2}-\\d{2}</Date>");
  static const std::regex time("<Time>\\d{2}:\\d{2}:\\d{2}\\.\\d{3}</Time>");
  static const std::regex stamp("<Timestamp>\\d+\\.\\d{3}</Timestamp>");
  std::string out = std::regex_replace(text, date, "<Date>YYYY-MM-DD</Date>");
  out = std::regex_replace(out, time, "<Time>HH:MM:SS.mmm</Time>");
  return std::regex_replace(out, stamp, "<Timestamp>T</Timestamp>");
}

bool ParsesAsXml(const std::string& path) {
  xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  const bool ok = doc != nullptr;
  xmlFreeDoc(doc);
  return ok;
}

class LogXMLTest : public ::testing::Test {
protected:
  LogXMLTest() { log_.SetExecutablePath(dir_.File("orbiscope")); }
  TempDir dir_;
  LogXML log_;
};

TEST_F(LogXMLTest, ShortRunHasTheExactBytes) {
  ASSERT_EQ(log_.FilePath(), dir_.File("orbiscope.LOG.xml"));
  ASSERT_TRUE(log_.Open());
  EXPECT_TRUE(log_.WriteEntry("Arrancando Orbiscope", "OrbiscopeDlg", "COrbiscopeDlg::OnInitDialog"));
  EXPECT_TRUE(log_.WriteEntry("Imposible generar password"));
  EXPECT_TRUE(log_.WriteEntry("GET /x?a=1&b=<2> HTTP/1.0 N\xC2\xBA", "MyHttpClient"));
  log_.Close();
  const std::string bytes = ReadFile(log_.FilePath());
  EXPECT_EQ(MaskTimes(bytes), ReadFile(std::string(ORBISCOPE_TEST_DATA) + "/log/short-run.LOG.xml"));
  EXPECT_NE(bytes.find("N\xBA</Entry>"), std::string::npos) << "the degree sign is byte 0xBA";
  EXPECT_TRUE(ParsesAsXml(log_.FilePath()));
  EXPECT_FALSE(log_.WriteEntry("after close"));
}

TEST_F(LogXMLTest, TimeHasZeroPaddedMilliseconds) {
  ASSERT_TRUE(log_.Open());
  for (int i = 0; i < 20; ++i) log_.WriteEntry("tick");
  log_.Close();
  const std::string bytes = ReadFile(log_.FilePath());
  const std::regex time("<Time>(\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3})</Time>");
  int count = 0;
  for (std::sregex_iterator it(bytes.begin(), bytes.end(), time), end; it != end; ++it) ++count;
  EXPECT_EQ(count, 22);  // head, twenty entries and the closing item
}

// Items within one second share their date and time to the second, but not across a
// change of zone: an entry after TZ changed (and the zone was read again) tells the new
// zone's time at once.
TEST_F(LogXMLTest, TimeFollowsAZoneChangeWithinTheSecond) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  ASSERT_TRUE(log_.Open());
  log_.WriteEntry("utc");
  ::setenv("TZ", "FIVE-5", 1);  // five hours east
  ::tzset();
  log_.WriteEntry("five");
  log_.Close();
  if (old != nullptr) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
  const std::string bytes = ReadFile(log_.FilePath());
  const auto hourBefore = [&bytes](const char* entry) {
    const std::size_t at = bytes.rfind("<Time>", bytes.find(entry));
    return at == std::string::npos ? -100 : std::stoi(bytes.substr(at + 6, 2));
  };
  const int difference = (hourBefore("<Entry>five<") - hourBefore("<Entry>utc<") + 24) % 24;
  EXPECT_TRUE(difference == 5 || difference == 6) << difference;  // 6 if an hour ended between
}

// Plain text is copied as it stands and the rest is escaped: at the edge between the two,
// every entry reads as the escaping alone would write it.
TEST_F(LogXMLTest, EntriesAtThePlainTextEdgeAreWrittenAsEscapingWritesThem) {
  const std::string texts[] = {
      "GET /image ?user=admin HTTP/1.1\t200\r\n", std::string("a\x7F" "b"), std::string("a\0b", 3),
      "a\x1F" "b", "a>b", "a]]>b", "a&b", "a<b", "caf\xC3\xA9", "bad \xFF byte",
      "&<>]]>]]]>]>]&]>&&<<", "]]>", ">>]]", "GET /?a=1&b=2 HTTP/1.1", "x]]&>"};
  ASSERT_TRUE(log_.Open());
  for (const std::string& text : texts) ASSERT_TRUE(log_.WriteEntry(text, "Mod", "F"));
  log_.Close();
  const std::string bytes = ReadFile(log_.FilePath());
  std::size_t at = 0;
  for (const std::string& text : texts) {
    const std::string entry = "<Entry>" + XmlTextCp1252(text) + "</Entry>";
    at = bytes.find(entry, at);
    EXPECT_NE(at, std::string::npos) << text;
  }
}

TEST_F(LogXMLTest, AnyBytesKeepTheDocumentWellFormed) {
  ASSERT_TRUE(log_.Open());
  std::string hostile = "GET /";
  for (int b = 0; b < 256; ++b) hostile += static_cast<char>(b);
  hostile += "]]> \xE2\x86\x92 \xF0\x9F\x98\x80 <![CDATA[ &amp; </Entry>";
  log_.WriteEntry(hostile, "Mod<ule>&", "F]]>");
  log_.Close();
  EXPECT_TRUE(ParsesAsXml(log_.FilePath()));
}

TEST_F(LogXMLTest, RotatesStrictlyAboveFiveMebibytes) {
  ASSERT_TRUE(log_.Open());
  log_.WriteEntry("first");
  const std::string path = log_.FilePath();
  // Pad the file from outside to an exact size; the log asks the file for its size.
  auto padTo = [&](long long size) {
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
  };
  padTo(LogXML::kMaxSize);
  EXPECT_TRUE(log_.WriteEntry("at the limit"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_GT(st.st_size, LogXML::kMaxSize) << "exactly 5 MiB does not rotate";

  padTo(LogXML::kMaxSize + 1);
  EXPECT_TRUE(log_.WriteEntry("trigger", "Test", "Test::Rotate"));
  log_.Close();
  const std::string masked = MaskTimes(ReadFile(path));
  EXPECT_EQ(masked,
            ReadFile(std::string(ORBISCOPE_TEST_DATA) + "/log/rotated.LOG.xml"));
  // The file it replaced is kept whole, closed as a document.
  const std::string kept = ReadFile(path + ".1");
  EXPECT_EQ(kept.rfind("<?xml", 0), 0u);
  EXPECT_EQ(kept.substr(LogXML::kMaxSize + 1), "\n</LogFile>");
}

// A log whose file cannot be made and whose clock the test moves.
class FlakyLog : public LogXML {
public:
  bool failOpens = false;
  int opens = 0;
  std::chrono::steady_clock::time_point now {};

protected:
  int OpenFile(const std::string& path) override {
    ++opens;
    if (failOpens) {
      errno = EMFILE;
      return -1;
    }
    return LogXML::OpenFile(path);
  }
  std::chrono::steady_clock::time_point Now() const override { return now; }
};

// A rotation that cannot make the new file loses entries until a later one, a second on,
// makes it; that entry comes after one telling how many were lost. Tries are bounded.
TEST(LogXMLReopen, ALostFileComesBackAtMostOnceASecond) {
  TempDir dir;
  FlakyLog log;
  log.SetExecutablePath(dir.File("orbiscope"));
  ASSERT_TRUE(log.Open());
  ASSERT_EQ(::truncate(log.FilePath().c_str(), LogXML::kMaxSize + 1), 0);
  log.failOpens = true;
  EXPECT_FALSE(log.WriteEntry("lost at the rotation"));
  EXPECT_FALSE(log.IsOpen());
  const int opens = log.opens;
  log.now += LogXML::kReopenInterval / 2;
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(log.WriteEntry("lost meanwhile"));
  EXPECT_EQ(log.opens, opens) << "no try before the interval is over";
  log.now += LogXML::kReopenInterval;
  EXPECT_FALSE(log.WriteEntry("lost: the disk is still broken"));
  EXPECT_EQ(log.opens, opens + 1);
  log.failOpens = false;
  log.now += LogXML::kReopenInterval / 2;
  EXPECT_FALSE(log.WriteEntry("lost: tried too recently"));
  log.now += LogXML::kReopenInterval;
  EXPECT_TRUE(log.WriteEntry("back", "Test", "Test::Reopen"));
  log.Close();
  const std::vector<std::string> entries = [&] {
    std::vector<std::string> out;
    const std::string bytes = ReadFile(log.FilePath());
    for (std::size_t at = bytes.find("<Entry>"); at != std::string::npos;
         at = bytes.find("<Entry>", at + 1))
      out.push_back(bytes.substr(at + 7, bytes.find("</Entry>", at) - at - 7));
    return out;
  }();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], "Fichero de LOG reabierto: no se pudo crear al sobrepasar los 5MB; "
                        "entradas perdidas: 103");
  EXPECT_EQ(entries[1], "back");
  EXPECT_TRUE(ParsesAsXml(log.FilePath()));
  EXPECT_EQ(ReadFile(log.FilePath() + ".1").substr(LogXML::kMaxSize + 1), "\n</LogFile>");
}

// A log that could not be made at the start stays closed: no tries for ever.
TEST(LogXMLReopen, AFailedStartIsNotRetried) {
  TempDir dir;
  FlakyLog log;
  log.SetExecutablePath(dir.File("orbiscope"));
  log.failOpens = true;
  EXPECT_FALSE(log.Open());
  log.failOpens = false;
  log.now += 10 * LogXML::kReopenInterval;
  EXPECT_FALSE(log.WriteEntry("never"));
  EXPECT_EQ(log.opens, 1);
}

TEST_F(LogXMLTest, AWriteThatFailsHalfWayLeavesOnlyWholeItems) {
  ASSERT_TRUE(log_.Open());
  ASSERT_TRUE(log_.WriteEntry("before"));
  struct stat st {};
  ASSERT_EQ(::stat(log_.FilePath().c_str(), &st), 0);
  // A full disk, as the file-size limit makes it: write(2) takes the first bytes of the
  // item, then fails with EFBIG.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(st.st_size) + 40;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const bool written = log_.WriteEntry("this item does not fit in forty bytes", "Module", "F");
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_FALSE(written);
  struct stat after {};
  ASSERT_EQ(::stat(log_.FilePath().c_str(), &after), 0);
  EXPECT_EQ(after.st_size, st.st_size) << "no part of the refused item stays";
  EXPECT_TRUE(log_.WriteEntry("after"));
  log_.Close();
  EXPECT_TRUE(ParsesAsXml(log_.FilePath()));
}

TEST_F(LogXMLTest, EightThreadsLeaveAParsableDocument) {
  ASSERT_TRUE(log_.Open());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 500; ++i)
        log_.WriteEntry("entry " + std::to_string(i) + " & more", "Thread" + std::to_string(t),
                        "Writer::Run");
    });
  }
  for (auto& th : threads) th.join();
  log_.Close();
  const std::string bytes = ReadFile(log_.FilePath());
  EXPECT_TRUE(ParsesAsXml(log_.FilePath()));
  std::size_t items = 0;
  for (std::size_t pos = 0; (pos = bytes.find("<LogItem>", pos)) != std::string::npos; ++pos) ++items;
  EXPECT_EQ(items, 8u * 500u + 1u);
}

TEST_F(LogXMLTest, UncreatableFileLeavesTheLogClosed) {
  LogXML log;
  log.SetExecutablePath(dir_.File("missing-folder/orbiscope"));
  EXPECT_FALSE(log.Open());
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(log.WriteEntry("nothing"));
  log.Close();  // harmless
  LogXML unnamed;
  EXPECT_FALSE(unnamed.Open());
}

TEST_F(LogXMLTest, ReopeningKeepsThePreviousFileAndDestructionCloses) {
  {
    LogXML log;
    log.SetExecutablePath(dir_.File("app"));
    ASSERT_TRUE(log.Open());
    log.WriteEntry(std::string(10000, 'x'));
  }
  {
    LogXML log;
    log.SetExecutablePath(dir_.File("app"));
    ASSERT_TRUE(log.Open());
  }
  const std::string bytes = ReadFile(dir_.File("app.LOG.xml"));
  EXPECT_LT(bytes.size(), 1000u);
  EXPECT_NE(bytes.find("<Entry>Log File closed</Entry>\n  </LogItem>\n</LogFile>"), std::string::npos);
  const std::string previous = ReadFile(dir_.File("app.LOG.xml.1"));
  EXPECT_NE(previous.find(std::string(10000, 'x')), std::string::npos);
  EXPECT_TRUE(ParsesAsXml(dir_.File("app.LOG.xml.1")));
}

}  // namespace
}  // namespace orbiscope
