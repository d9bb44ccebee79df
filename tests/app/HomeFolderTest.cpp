#include "app/HomeFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

const std::string kStarter = ReadFile(std::string(ORBISCOPE_BIN_DIR) + "/starter.CONFIG.XML");

// An installed defaults folder: the real starter settings beside small stand-ins.
void MakeDefaults(const fs::path& dir, const std::string& starter = kStarter) {
  fs::create_directories(dir / "root" / "phones");
  WriteFile((dir / "WebServer.config.xml").string(), "<WebServerConfigSettings/>");
  WriteFile((dir / "Log.xsl").string(), "<xsl/>");
  WriteFile((dir / "root" / "index.html").string(), "desktop");
  WriteFile((dir / "root" / "phones" / "index.wml").string(), "wap");
  if (!starter.empty()) WriteFile((dir / kStarterSettingsName).string(), starter);
}

int ModeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

TEST(HomeFolder, FirstStartFillsTheHomeFromTheDefaults) {
  ASSERT_NE(kStarter.find("<VIRTDIR/>"), std::string::npos);
  testing::TempDir tmp;
  MakeDefaults(tmp.path() / "share");
  const fs::path home = tmp.path() / "var" / "lib" / "cam";

  const HomeReport report = PrepareHome(home.string(), (tmp.path() / "share").string(), "cam.CONFIG.XML");
  ASSERT_TRUE(report.ok) << report.error;
  EXPECT_EQ(report.created,
            (std::vector<std::string>{"WebServer.config.xml", "Log.xsl", "root", "cam.CONFIG.XML"}));
  EXPECT_EQ(ReadFile((home / "WebServer.config.xml").string()), "<WebServerConfigSettings/>");
  EXPECT_EQ(ReadFile((home / "root" / "phones" / "index.wml").string()), "wap");

  // The starter's layout and comments survive; only the content folder and the caption
  // (the machine's name, which this test machine's is short enough to be) are filled in.
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string expected = kStarter;
  expected.replace(expected.find("<VIRTDIR/>"), 10,
                   "<VIRTDIR>" + (home / "root").string() + "</VIRTDIR>");
  const std::string caption = "<TEXT>Orbiscope</TEXT>";
  ASSERT_NE(expected.find(caption), std::string::npos);
  expected.replace(expected.find(caption), caption.size(), "<TEXT>" + std::string(host) + "</TEXT>");
  EXPECT_EQ(ReadFile((home / "cam.CONFIG.XML").string()), expected);

  // The settings hold the password digest, which the picture routes take as the password.
  EXPECT_EQ(ModeOf(home / "cam.CONFIG.XML"), 0600);
  EXPECT_EQ(ModeOf(home), 0700);
  EXPECT_EQ(std::distance(fs::directory_iterator(home), fs::directory_iterator()), 4)
      << "no staging copies are left behind";
}

TEST(HomeFolder, WhatTheHomeHasIsKept) {
  testing::TempDir tmp;
  MakeDefaults(tmp.path() / "share");
  const fs::path home = tmp.path() / "home";
  fs::create_directories(home / "root");
  WriteFile((home / "root" / "own.html").string(), "mine");
  WriteFile((home / "orbiscope.CONFIG.XML").string(), "<edited/>");
  ::chmod(home.c_str(), 0755);

  const HomeReport report = PrepareHome(home.string(), (tmp.path() / "share").string(), "orbiscope.CONFIG.XML");
  ASSERT_TRUE(report.ok) << report.error;
  EXPECT_EQ(report.created, (std::vector<std::string>{"WebServer.config.xml", "Log.xsl"}));
  EXPECT_EQ(ReadFile((home / "orbiscope.CONFIG.XML").string()), "<edited/>");
  EXPECT_FALSE(fs::exists(home / "root" / "index.html")) << "a content folder is not merged into";
  EXPECT_EQ(ModeOf(home), 0755) << "an existing home keeps its permissions";
}

TEST(HomeFolder, NoSettingsWithoutTheStarter) {
  struct Case {
    const char* what;
    std::string starter;       // empty: none installed
    bool homeIsAFile;
    const char* errorMentions;
  };
  const Case cases[] = {
      {"starter missing", "", false, "starter.CONFIG.XML is missing"},
      {"starter malformed", "<ORBISCOPEConfigSettings>", false, "starter settings"},
      {"home is a file", kStarter, true, "cannot create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir tmp;
    MakeDefaults(tmp.path() / "share", c.starter);
    const fs::path home = tmp.path() / "home";
    if (c.homeIsAFile) WriteFile(home.string(), "");

    const HomeReport report = PrepareHome(home.string(), (tmp.path() / "share").string(), "orbiscope.CONFIG.XML");
    EXPECT_FALSE(report.ok);
    EXPECT_NE(report.error.find(c.errorMentions), std::string::npos) << report.error;
    if (!c.homeIsAFile) {
      EXPECT_EQ(std::distance(fs::directory_iterator(home), fs::directory_iterator()), 3)
          << "the other defaults are there, and neither settings nor their staging copy";
    }
  }
}

TEST(HomeFolder, ChosenHomeAndDefaultsFolder) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ChosenHome("cam/./here/", nullptr), std::string(cwd) + "/cam/here");
  EXPECT_EQ(ChosenHome("", "/srv/cam/"), "/srv/cam");
  EXPECT_EQ(ChosenHome("/opt/a", "/srv/b"), "/opt/a") << "the option wins over the variable";
  EXPECT_EQ(ChosenHome("", ""), "");
  EXPECT_EQ(ChosenHome("", nullptr), "");

  testing::TempDir tmp;
  EXPECT_EQ(DefaultsFolder((tmp.path() / "usr/lib/orbiscope").string()),
            (tmp.path() / "usr/share/orbiscope").string());
  WriteFile(tmp.File("WebServer.config.xml"), "");
  EXPECT_EQ(DefaultsFolder(tmp.path().string()), tmp.path().string()) << "a self-contained folder";
}

}  // namespace
}  // namespace orbiscope
