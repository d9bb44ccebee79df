#include "config/ConfigStore.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"

namespace orbiscope {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kDecl = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>";

class ConfigStoreTest : public ::testing::Test {
protected:
  ConfigStoreTest() : store_([this](std::string_view caption, std::string_view text) {
                        messages_.emplace_back(std::string(caption) + "|" + std::string(text));
                      }) {
    store_.SetFileName(file_);
  }

  std::size_t FileCount() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_.path()),
                                                  std::filesystem::directory_iterator()));
  }

  TempDir dir_;
  std::string file_ = dir_.File("orbiscope.CONFIG.XML");
  std::vector<std::string> messages_;
  ConfigStore store_;
};

TEST(ConfigStoreSplitPath, BlanksTrailingBackslashesAndNesting) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ConfigStore::SplitPath("SERVER", "PORT"), (V{"SERVER", "PORT"}));
  EXPECT_EQ(ConfigStore::SplitPath("VIDEO\\OVERLAYTEXT\\FONT", "NAME"),
            (V{"VIDEO", "OVERLAYTEXT", "FONT", "NAME"}));
  EXPECT_EQ(ConfigStore::SplitPath("MY SECTION", "A KEY"), (V{"MY_SECTION", "A_KEY"}));
  EXPECT_EQ(ConfigStore::SplitPath("SERVER\\", "PORT"), (V{"SERVER", "", "PORT"}));
  // A key ending in backslashes loses them all; an empty key names the section itself.
  EXPECT_EQ(ConfigStore::SplitPath("SERVER", "PORT\\\\"), (V{"SERVER", "PORT"}));
  EXPECT_EQ(ConfigStore::SplitPath("SERVER", ""), (V{"SERVER"}));
}

TEST_F(ConfigStoreTest, ReadingAMissingFileGivesDefaultsAndCreatesNothing) {
  EXPECT_EQ(store_.GetValue("SERVER", "PORT", "80"), "80");
  EXPECT_EQ(store_.GetInt("GENERAL", "MAINWNDPOSX", -5), -5);
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ConfigStoreTest, FirstWriteCreatesTheEmptyDocumentWithExactlyThatPath) {
  ASSERT_EQ(store_.SetValue("VIDEO\\SIZE", "WIDHT", "640"), ConfigStore::kOk);
  EXPECT_EQ(ReadFile(file_), std::string(kDecl) +
                                 "\n<ORBISCOPEConfigSettings><VIDEO><SIZE><WIDHT>640</WIDHT></SIZE>"
                                 "</VIDEO></ORBISCOPEConfigSettings>\n");
  EXPECT_EQ(store_.GetInt("VIDEO\\SIZE", "WIDHT", 0), 640);
  // Sections that share a prefix share their elements.
  ASSERT_EQ(store_.SetInt("VIDEO\\SIZE", "HEIGTH", 480), ConfigStore::kOk);
  ASSERT_EQ(store_.SetValue("VIDEO", "FPS", "15"), ConfigStore::kOk);
  EXPECT_NE(ReadFile(file_).find("<VIDEO><SIZE><WIDHT>640</WIDHT><HEIGTH>480</HEIGTH></SIZE>"
                                 "<FPS>15</FPS></VIDEO>"),
            std::string::npos);
}

TEST_F(ConfigStoreTest, BlanksAndTrailingBackslashesAddressTheSameElements) {
  ASSERT_EQ(store_.SetValue("MY SECTION", "KEY", "one"), ConfigStore::kOk);
  EXPECT_NE(ReadFile(file_).find("<MY_SECTION><KEY>one</KEY></MY_SECTION>"), std::string::npos);
  EXPECT_EQ(store_.GetValue("MY_SECTION", "KEY", "x"), "one");
  ASSERT_EQ(store_.SetValue("S", "K\\", "two"), ConfigStore::kOk);
  EXPECT_EQ(store_.GetValue("S", "K", "x"), "two");
}

TEST_F(ConfigStoreTest, EmptyValueIsNotTheDefault) {
  WriteFile(file_, "<?xml version=\"1.0\" encoding=\"windows-1252\"?><R><SERVER><USER/><PASS></PASS>"
                   "</SERVER></R>");
  EXPECT_EQ(store_.GetValue("SERVER", "USER", "dflt"), "");
  EXPECT_EQ(store_.GetValue("SERVER", "PASS", "dflt"), "");
  EXPECT_EQ(store_.GetValue("SERVER", "IP", "dflt"), "dflt");
  // The value is the text of the element and its descendants.
  WriteFile(file_, "<R><A>x<B>y</B>z</A></R>");
  EXPECT_EQ(store_.GetValue("", "A", "d"), "d");  // "" names an element that is not there
  EXPECT_EQ(store_.GetValue("A", "", "d"), "xyz");
}

TEST_F(ConfigStoreTest, RewriteKeepsPositionOrderAndEverythingElse) {
  const std::string before =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n"
      "<!-- kept -->\n<CustomRoot attr=\"1\">\n  <A>1</A>\n  <B>2</B>\n  <C>3</C>\n"
      "  <?pi kept?>\n</CustomRoot>\n";
  WriteFile(file_, before);
  ASSERT_EQ(store_.SetValue("", "B", "x"), ConfigStore::kCannotReach);  // empty element name
  EXPECT_EQ(ReadFile(file_), before);
  ASSERT_EQ(store_.SetValue("B", "", "changed"), ConfigStore::kOk);
  EXPECT_EQ(ReadFile(file_),
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n"
            "<!-- kept -->\n<CustomRoot attr=\"1\">\n  <A>1</A>\n  <B>changed</B>\n  <C>3</C>\n"
            "  <?pi kept?>\n</CustomRoot>\n");
}

TEST_F(ConfigStoreTest, GetIntReadsLikeAtol) {
  WriteFile(file_, "<R><S><A>12abc</A><B>abc</B><C>  -7</C><D>+5</D><E></E><F>99999999999999999999</F>"
                   "</S></R>");
  EXPECT_EQ(store_.GetInt("S", "A", 1), 12);
  EXPECT_EQ(store_.GetInt("S", "B", 1), 0);  // no digits is 0, not the default
  EXPECT_EQ(store_.GetInt("S", "C", 1), -7);
  EXPECT_EQ(store_.GetInt("S", "D", 1), 5);
  EXPECT_EQ(store_.GetInt("S", "E", 1), 0);
  EXPECT_EQ(store_.GetInt("S", "F", 1), LONG_MAX);
  EXPECT_EQ(store_.GetInt("S", "MISSING", -100), -100);
}

TEST_F(ConfigStoreTest, MalformedFileReportsEveryCallAndIsLeftAlone) {
  const std::string broken = "<?xml version=\"1.0\"?><R><A>1</A>";
  WriteFile(file_, broken);
  EXPECT_EQ(store_.GetValue("R", "A", "d"), "d");
  EXPECT_EQ(store_.GetInt("R", "A", 3), 3);
  EXPECT_EQ(store_.SetValue("R", "A", "2"), ConfigStore::kCannotLoad);
  ASSERT_EQ(messages_.size(), 3u);
  for (const auto& m : messages_) {
    EXPECT_EQ(m.rfind("LoadXML Malformed XML Error|", 0), 0u) << m;
    EXPECT_GT(m.size(), std::string("LoadXML Malformed XML Error|").size());
  }
  EXPECT_EQ(ReadFile(file_), broken);
}

TEST_F(ConfigStoreTest, MalformedNamesTheLineWithoutAMessage) {
  EXPECT_FALSE(store_.Malformed()) << "a missing file is the first run, not a broken one";
  WriteFile(file_, "<?xml version=\"1.0\"?>\n<R>\n<A>1</A>\n<B>2</C>\n</R>");
  auto problem = store_.Malformed();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->line, 4);
  EXPECT_FALSE(problem->reason.empty());
  WriteFile(file_, "");  // a save cut short
  problem = store_.Malformed();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->line, 1);
  WriteFile(file_, "<R><A>1</A></R>");
  EXPECT_FALSE(store_.Malformed());
  EXPECT_TRUE(messages_.empty());
}

TEST_F(ConfigStoreTest, WindowsCodePageOnDiskUtf8Inside) {
  ASSERT_EQ(store_.SetValue("SERVER", "TEXT", "N\xC2\xBA 5 & <b> \xE2\x82\xAC \xE2\x86\x92"), 0);
  const std::string bytes = ReadFile(file_);
  // "º" is byte 0xBA, "€" is 0x80; "→" has no windows-1252 byte and is kept as a reference.
  EXPECT_NE(bytes.find("N\xBA 5 &amp; &lt;b&gt; \x80 &#8594;"), std::string::npos) << bytes;
  EXPECT_EQ(store_.GetValue("SERVER", "TEXT", ""), "N\xC2\xBA 5 & <b> \xE2\x82\xAC \xE2\x86\x92");
  // A file written by hand in windows-1252 reads as UTF-8.
  WriteFile(file_, "<?xml version=\"1.0\" encoding=\"windows-1252\"?><R><A>Espa\xF1" "a</A></R>");
  EXPECT_EQ(store_.GetValue("A", "", ""), "Espa\xC3\xB1" "a");
  // Bytes that no XML document may hold are replaced rather than corrupting the file.
  ASSERT_EQ(store_.SetValue("A", "", std::string("a\x01\xFF" "b\0c", 6)), 0);
  EXPECT_EQ(store_.GetValue("A", "", ""), std::string("a??b?c"));
}

TEST_F(ConfigStoreTest, FailedSaveAnswersMinusFourAndKeepsTheOldFile) {
  ASSERT_EQ(store_.SetValue("SERVER", "PORT", "8080"), 0);
  const std::string good = ReadFile(file_);
  // A write that the file system refuses half-way: the file-size limit makes write(2)
  // fail with EFBIG once the temporary file reaches it.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit tiny = old;
  tiny.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
  const int result = store_.SetValue("SERVER", "VIRTDIR", std::string(500, 'x'));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  EXPECT_EQ(result, ConfigStore::kCannotSave);
  EXPECT_EQ(ReadFile(file_), good);
  EXPECT_EQ(FileCount(), 1u) << "the temporary file must not be left behind";

  ConfigStore elsewhere;
  elsewhere.SetFileName(dir_.File("no/such/folder/x.xml"));
  EXPECT_EQ(elsewhere.SetValue("A", "B", "C"), ConfigStore::kCannotSave);
  ConfigStore unnamed;
  EXPECT_EQ(unnamed.SetValue("A", "B", "C"), ConfigStore::kCannotSave);
}

TEST_F(ConfigStoreTest, SaveKeepsThePermissionsAndFollowsALink) {
  ASSERT_EQ(store_.SetValue("A", "B", "1"), 0);
  std::filesystem::permissions(file_, std::filesystem::perms(0640));
  ASSERT_EQ(store_.SetValue("A", "B", "2"), 0);
  EXPECT_EQ(std::filesystem::status(file_).permissions(), std::filesystem::perms(0640));

  const std::string link = dir_.File("link.xml");
  std::filesystem::create_symlink(file_, link);
  ConfigStore viaLink;
  viaLink.SetFileName(link);
  ASSERT_EQ(viaLink.SetValue("A", "B", "3"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(store_.GetValue("A", "B", ""), "3");
}

// A file the program may read but not write is read (not taken for the open defaults), and
// only writing it fails; one it cannot read at all is reported like a malformed one.
TEST(ConfigStoreAsUser, ReadOnlyFileIsReadAndUnreadableFileIsReported) {
  if (!testing::RunHereUnprivileged()) return;
  TempDir dir;
  std::vector<std::string> shown;
  ConfigStore store([&](std::string_view c, std::string_view t) { shown.push_back(std::string(c) + "|" + std::string(t)); });
  store.SetFileName(dir.File("orbiscope.CONFIG.XML"));
  ASSERT_EQ(store.SetValue("A", "B", "1"), 0);
  const std::string before = ReadFile(store.FileName());
  std::filesystem::permissions(store.FileName(), std::filesystem::perms(0444));
  EXPECT_EQ(store.GetValue("A", "B", "d"), "1");
  EXPECT_FALSE(store.Malformed());
  EXPECT_EQ(store.SetValue("A", "B", "2"), ConfigStore::kCannotSave);
  EXPECT_EQ(ReadFile(store.FileName()), before);
  std::filesystem::permissions(store.FileName(), std::filesystem::perms(0644));
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0555));
  EXPECT_EQ(store.SetValue("A", "B", "3"), ConfigStore::kCannotSave);
  EXPECT_EQ(ReadFile(store.FileName()), before);
  EXPECT_TRUE(shown.empty());

  std::filesystem::permissions(store.FileName(), std::filesystem::perms(0));
  const auto problem = store.Malformed();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->line, 0);
  EXPECT_EQ(problem->reason, std::strerror(EACCES));
  EXPECT_EQ(store.GetValue("A", "B", "d"), "d");
  EXPECT_EQ(store.SetValue("A", "B", "4"), ConfigStore::kCannotLoad);
  EXPECT_EQ(shown, std::vector<std::string>(2, "LoadXML Malformed XML Error|" + std::string(std::strerror(EACCES))));
  std::filesystem::permissions(store.FileName(), std::filesystem::perms(0644));
  EXPECT_EQ(ReadFile(store.FileName()), before);
}

// Root reads every file, but a folder in the file's place cannot be read as one either.
TEST_F(ConfigStoreTest, AFolderInPlaceOfTheFileIsNoEmptyDocument) {
  std::filesystem::create_directory(file_);
  const auto problem = store_.Malformed();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->reason, "not a regular file");
  EXPECT_EQ(store_.SetValue("A", "B", "1"), ConfigStore::kCannotLoad);
  EXPECT_TRUE(std::filesystem::is_empty(file_));
}

TEST(AtoL, Cases) {
  EXPECT_EQ(AtoL(""), 0);
  EXPECT_EQ(AtoL("80abc"), 80);
  EXPECT_EQ(AtoL(" \t\n42"), 42);
  EXPECT_EQ(AtoL("-"), 0);
  EXPECT_EQ(AtoL("--1"), 0);
  EXPECT_EQ(AtoL("-2147483649"), -2147483649L);
  EXPECT_EQ(AtoL("-99999999999999999999"), LONG_MIN);
}

}  // namespace
}  // namespace orbiscope
