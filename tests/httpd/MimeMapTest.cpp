#include "httpd/MimeMap.h"

#include <gtest/gtest.h>

#include "config/ConfigStore.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::string Settings(const std::string& general, const std::string& mime) {
  return "<?xml version=\"1.0\" encoding=\"windows-1252\" ?><WebServerConfigSettings><GENERAL>" +
         general + "</GENERAL><MIME>" + mime + "</MIME></WebServerConfigSettings>";
}

std::string Entry(int i, const std::string& key, const std::string& value) {
  const std::string n = "MIME" + std::to_string(i);
  return "<" + n + "><KEY>" + key + "</KEY><VALUE>" + value + "</VALUE></" + n + ">";
}

class MimeMapTest : public ::testing::Test {
protected:
  int Load(const std::string& xml) {
    WriteFile(dir_.File("WebServer.config.xml"), xml);
    store_.SetFileName(dir_.File("WebServer.config.xml"));
    return map_.Load(store_, "MIME");
  }
  TempDir dir_;
  ConfigStore store_;
  CMimeMap map_;
};

TEST_F(MimeMapTest, LooksUpUpperCaseExtensionsOfTheFileNameOnly) {
  ASSERT_EQ(Load(Settings("<MimeRegistred>2</MimeRegistred>",
                          Entry(0, "GIF", "never/read") + Entry(1, "JPG", "image/jpeg") +
                              Entry(2, "HTM", "text/html"))),
            2);
  EXPECT_EQ(map_.GetMimeType("/srv/root/a.jpg"), "image/jpeg");
  EXPECT_EQ(map_.GetMimeType("/srv/root/A.JPG"), "image/jpeg");
  EXPECT_EQ(map_.GetMimeType("b.htm"), "text/html");
  EXPECT_EQ(map_.GetMimeType("c.gif"), "application/octet-stream");  // MIME0 is never read
  EXPECT_EQ(map_.GetMimeType("/srv/root/README"), "application/octet-stream");
  EXPECT_EQ(map_.GetMimeType("/srv/x.jpg/README"), "application/octet-stream");
  EXPECT_EQ(map_.GetMimeType("C:\\x.jpg\\README"), "application/octet-stream");
  EXPECT_EQ(map_.GetMimeType("archive.tar.htm"), "text/html");
}

TEST_F(MimeMapTest, KeysAreStoredAsWrittenSoDottedOrLowerKeysAreNeverFound) {
  ASSERT_EQ(Load(Settings("<MimeRegistred>3</MimeRegistred>",
                          Entry(1, ".jpg", "image/jpeg") + Entry(2, "jpg", "image/jpeg") +
                              Entry(3, "PNG", "image/png"))),
            3);
  EXPECT_EQ(map_.GetMimeType("a.jpg"), "application/octet-stream");
  EXPECT_EQ(map_.GetMimeType("a.JPG"), "application/octet-stream");
  EXPECT_EQ(map_.GetMimeType("a.png"), "image/png");
}

TEST_F(MimeMapTest, LaterEntriesReplaceEarlierOnesAndEmptyMapsLoadNothing) {
  EXPECT_EQ(Load(Settings("<MimeRegistred>2</MimeRegistred>",
                          Entry(1, "TXT", "text/x-old") + Entry(2, "TXT", "text/plain"))),
            1);
  EXPECT_EQ(map_.GetMimeType("a.txt"), "text/plain");
  CMimeMap empty;
  WriteFile(dir_.File("none.xml"), Settings("", Entry(1, "TXT", "text/plain")));
  store_.SetFileName(dir_.File("none.xml"));
  EXPECT_EQ(empty.Load(store_), 0);
  EXPECT_EQ(empty.GetMimeType("a.txt"), "application/octet-stream");
}

TEST_F(MimeMapTest, TheInstalledDefaultMapCoversThePhoneAndDesktopTypes) {
  store_.SetFileName(std::string(ORBISCOPE_BIN_DIR) + "/WebServer.config.xml");
  ASSERT_GT(map_.Load(store_), 0);
  for (const char* name : {"a.htm", "a.html", "a.jpg", "a.jpeg", "a.gif", "a.png", "a.wbmp",
                           "a.wml", "a.wmls", "a.xhtml", "a.chtml", "a.css", "a.js", "a.txt",
                           "a.xml", "a.xsl", "a.ico", "a.svg"})
    EXPECT_NE(map_.GetMimeType(name), "application/octet-stream") << name;
  EXPECT_EQ(map_.GetMimeType("image.wbmp"), "image/vnd.wap.wbmp");
  EXPECT_EQ(map_.GetMimeType("image.jpg"), "image/jpeg");
  EXPECT_EQ(store_.GetInt("GENERAL", "Directories", 0), 1);
  EXPECT_EQ(store_.GetValue("DIR0", "Alias", ""), "/");
  EXPECT_EQ(store_.GetValue("DIR0", "DefaultFile", ""), "index.html");
}

}  // namespace
}  // namespace orbiscope
