#include "dialogs/ServerPage.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "httpd/client/Md5Hex.h"
#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"

namespace orbiscope {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct FakeHost : ServerPageHost {
  ServerPhase ServerState() const override { return state; }
  void RestartServer() override { ++restarts; }
  ServerPhase state = ServerPhase::kStopped;
  int restarts = 0;
};

class ServerPageTest : public ::testing::Test {
protected:
  ServerPageTest() {
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    config_.SetFileName(dir_.File("orbiscope.CONFIG.XML"));
    log_.SetExecutablePath(dir_.File("orbiscope"));
    log_.Open();
  }

  std::unique_ptr<CDlgOpcionServer> MakePage() {
    auto page = std::make_unique<CDlgOpcionServer>(
        config_, log_, resources_,
        [this](std::string_view caption, std::string_view text) {
          boxes_.push_back(std::string(caption) + "|" + std::string(text));
        },
        host_, dir_.path().string(), [] { return std::vector<std::string>{"192.168.1.5", "127.0.0.1"}; });
    EXPECT_TRUE(page->OnInitDialog());
    page->FillControls();
    return page;
  }

  TempDir dir_;
  ConfigStore config_;
  LogXML log_;
  ResourceLibrary resources_;
  FakeHost host_;
  std::vector<std::string> boxes_;
};

TEST_F(ServerPageTest, DefaultsWithoutASettingsFile) {
  auto page = MakePage();
  EXPECT_EQ(page->SelectedAddress(), "192.168.1.5");
  EXPECT_EQ(page->PortText(), "80");
  EXPECT_EQ(page->VirtualDirectory(), dir_.File("root"));
  EXPECT_EQ(page->VirtualDirectoryText(), dir_.File("root"));
  EXPECT_EQ(page->UserText(), "");
  EXPECT_EQ(page->PasswordText(), "");
  EXPECT_FALSE(page->PhonePages());
  EXPECT_FALSE(page->PasswordEdited());
  EXPECT_EQ(page->StatePicture(), CDlgOpcionServer::kStatePictureStopped);
}

TEST_F(ServerPageTest, StoredAddressMustStillBeOneOfTheMachines) {
  config_.SetValue("SERVER", "IP", "127.0.0.1");
  EXPECT_EQ(MakePage()->SelectedAddress(), "127.0.0.1");
  config_.SetValue("SERVER", "IP", "10.9.9.9");
  EXPECT_EQ(MakePage()->SelectedAddress(), "192.168.1.5");
}

TEST_F(ServerPageTest, OnlyFalseSwitchesThePhonePagesOff) {
  for (const auto& [value, on] : std::vector<std::pair<std::string, bool>>{
           {"TRUE", true}, {"yes", true}, {"", true}, {"false", true}, {"FALSE", false}}) {
    config_.SetValue("SERVER", "ENABLEWAP", value);
    auto page = MakePage();
    EXPECT_EQ(page->PhonePages(), on) << "ENABLEWAP=\"" << value << "\"";
    EXPECT_EQ(page->PhonePagesText(), resources_.String(on ? 158 : 159));
  }
}

TEST_F(ServerPageTest, MenusChangeTheValueAndRestartEvenWhenStopped) {
  auto page = MakePage();
  page->OnCommand(ServerCommand::kAddress, 1);
  EXPECT_EQ(page->SelectedAddress(), "127.0.0.1");
  page->OnCommand(ServerCommand::kPhonePagesOn);
  EXPECT_TRUE(page->PhonePages());
  EXPECT_EQ(host_.restarts, 2);
  page->OnCommand(ServerCommand::kAddress, 2);  // no such address
  EXPECT_EQ(host_.restarts, 2);
}

TEST_F(ServerPageTest, PortRulesOnEnter) {
  auto page = MakePage();
  host_.state = ServerPhase::kRunning;
  for (const char* refused : {"0", "65536", "", "-1", "abc"}) {
    boxes_.clear();
    page->SetPortText(refused);
    page->OnEnter();
    ASSERT_EQ(boxes_.size(), 1u) << refused;
    EXPECT_EQ(boxes_[0], resources_.String(131) + "|" + resources_.String(161));
  }
  EXPECT_EQ(host_.restarts, 0);
  for (const char* accepted : {"1", "65535", "80abc"}) {
    page->SetPortText(accepted);
    page->OnEnter();
  }
  EXPECT_EQ(host_.restarts, 3);
  host_.state = ServerPhase::kStopped;
  page->OnEnter();
  EXPECT_EQ(host_.restarts, 3) << "Enter restarts only a running server";
  // The port reaches the file only at close.
  EXPECT_EQ(config_.GetValue("SERVER", "PORT", "none"), "none");
  EXPECT_TRUE(page->SaveSettings());
  EXPECT_EQ(config_.GetValue("SERVER", "PORT", "none"), "80abc");
}

TEST_F(ServerPageTest, PasswordRules) {
  auto page = MakePage();
  std::string digest;
  ASSERT_TRUE(Md5Hex("12345678", digest));

  page->SetPasswordText("1234567");
  page->OnEnter();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], resources_.String(131) + "|" + resources_.String(160));
  EXPECT_TRUE(page->PasswordEdited());
  EXPECT_EQ(config_.GetValue("SERVER", "PASS", "none"), "none");
  EXPECT_EQ(page->Settings().passwordDigest, "");

  page->SetPasswordText("12345678");
  page->OnEnter();
  EXPECT_EQ(page->PasswordText(), digest);
  EXPECT_EQ(page->Settings().passwordDigest, digest);
  EXPECT_FALSE(page->PasswordEdited());
  EXPECT_EQ(config_.GetValue("SERVER", "PASS", ""), digest);
  // Closing now does not hash the digest again.
  EXPECT_TRUE(page->SaveSettings());
  EXPECT_EQ(config_.GetValue("SERVER", "PASS", ""), digest);
  // A stored digest is shown and counts as no edit.
  EXPECT_EQ(MakePage()->PasswordText(), digest);
  EXPECT_FALSE(MakePage()->PasswordEdited());
}

// Only an accepted Enter stores a password: a close never hashes what the field holds,
// and the server is never given the typed text.
TEST_F(ServerPageTest, ATypedPasswordIsNeverStoredByAClose) {
  config_.SetValue("SERVER", "PASS", "AB");
  for (const char* typed : {"abc", "contrase\xC3\xB1" "a-long-enough", ""}) {
    auto page = MakePage();
    page->SetPasswordText(typed);
    EXPECT_EQ(page->Settings().passwordDigest, "AB") << typed;
    ASSERT_TRUE(page->SaveSettings());
    EXPECT_EQ(config_.GetValue("SERVER", "PASS", ""), "AB") << typed;
  }
  // The digest is of the windows-1252 bytes of the password.
  auto page = MakePage();
  page->SetPasswordText("contrase\xC3\xB1" "a");
  page->OnEnter();
  std::string digest;
  Md5Hex("contrase\xF1" "a", digest);
  EXPECT_EQ(config_.GetValue("SERVER", "PASS", ""), digest);
  EXPECT_EQ(page->Settings().passwordDigest, digest);
}

// Filling the page (start-up or a reload) is no edit: a close after it writes nothing, and
// a reload does not turn the stored digest into a password to hash.
TEST_F(ServerPageTest, AReloadedPageWritesNothingAtClose) {
  const std::string file =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<R><SERVER><IP></IP><PORT>8080</PORT>"
      "<USER>cam</USER><PASS>6EAECEAB</PASS><ENABLEWAP>yes</ENABLEWAP></SERVER></R>\n";
  WriteFile(config_.FileName(), file);
  auto page = MakePage();
  page->FillControls();
  page->FillControls();
  EXPECT_FALSE(page->PasswordEdited());
  ASSERT_TRUE(page->SaveSettings());
  page->OnEnter();  // nothing typed: nothing stored
  EXPECT_EQ(ReadFile(config_.FileName()), file);
  EXPECT_EQ(page->Settings().passwordDigest, "6EAECEAB");
}

// A close writes the keys the user changed here, in their order, and leaves every other
// key as the file holds it now, hand edits included.
TEST_F(ServerPageTest, SaveWritesOnlyChangedKeysAndNothingBeforeLoading) {
  CDlgOpcionServer unloaded(config_, log_, resources_, {}, host_, dir_.path().string(),
                            [] { return std::vector<std::string>{"127.0.0.1"}; });
  ASSERT_TRUE(unloaded.OnInitDialog());
  EXPECT_TRUE(unloaded.SaveSettings());
  EXPECT_FALSE(fs::exists(config_.FileName())) << "a page that never loaded writes nothing";

  auto page = MakePage();
  page->SetUserText("cam");
  page->SetPortText("81");
  config_.SetValue("SERVER", "PORT", "90");  // a hand edit of a key the page also changed
  config_.SetValue("SERVER", "VIRTDIR", "/srv/hand");  // and of one it did not
  ASSERT_TRUE(page->SaveSettings());
  const std::string file = ReadFile(config_.FileName());
  EXPECT_NE(file.find("<SERVER><PORT>81</PORT><VIRTDIR>/srv/hand</VIRTDIR><USER>cam</USER></SERVER>"),
            std::string::npos)
      << file;

  page = MakePage();
  page->OnCommand(ServerCommand::kAddress, 0);  // the address shown, chosen: stored
  page->OnCommand(ServerCommand::kPhonePagesOn);
  ASSERT_TRUE(page->SaveSettings());
  EXPECT_EQ(config_.GetValue("SERVER", "IP", ""), "192.168.1.5");
  EXPECT_EQ(config_.GetValue("SERVER", "ENABLEWAP", ""), "TRUE");
}

// A settings file the program may read but not write: Enter says so, and the server keeps
// the stored digest and user, since the new ones would be gone at the next start.
TEST_F(ServerPageTest, AnEnterThatCannotBeStoredChangesNothing) {
  if (!testing::RunHereUnprivileged()) return;
  config_.SetValue("SERVER", "USER", "cam");
  config_.SetValue("SERVER", "PASS", "AB");
  const std::string before = ReadFile(config_.FileName());
  fs::permissions(config_.FileName(), fs::perms(0444));
  auto page = MakePage();
  page->SetUserText("other");
  page->SetPasswordText("12345678");
  page->OnEnter();
  EXPECT_EQ(page->Settings().user, "cam");
  EXPECT_EQ(page->Settings().passwordDigest, "AB");
  EXPECT_TRUE(page->PasswordEdited()) << "the typed password waits for another Enter";
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0], resources_.String(131) + "|" + resources_.String(231, config_.FileName()));
  EXPECT_EQ(ReadFile(config_.FileName()), before);
  log_.Close();
  EXPECT_NE(ReadFile(log_.FilePath()).find("No se han podido guardar los ajustes en " + config_.FileName()),
            std::string::npos);
}

TEST_F(ServerPageTest, MovingTheContentFolder) {
  const fs::path old = dir_.path() / "root";
  fs::create_directories(old / "sub");
  WriteFile((old / "index.html").string(), "hello");
  WriteFile((old / "sub" / "a.txt").string(), "a");
  auto page = MakePage();
  const std::string target = dir_.File("new-root");
  page->OnFolderChosen(target);
  EXPECT_EQ(host_.restarts, 1);
  EXPECT_EQ(page->VirtualDirectory(), target);
  EXPECT_EQ(config_.GetValue("SERVER", "VIRTDIR", ""), target) << "saved with the move, not at close";
  EXPECT_EQ(page->VirtualDirectoryText(), target);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(ReadFile(target + "/index.html"), "hello");
  EXPECT_EQ(ReadFile(target + "/sub/a.txt"), "a");

  // Typing a folder and pressing Enter moves too.
  page->SetVirtualDirectoryText(dir_.File("third"));
  page->OnEnter();
  EXPECT_EQ(page->VirtualDirectory(), dir_.File("third"));
  EXPECT_EQ(ReadFile(dir_.File("third/index.html")), "hello");
}

TEST_F(ServerPageTest, MovingIntoItselfOrOntoItsParentIsRefused) {
  const fs::path old = dir_.path() / "root";
  fs::create_directories(old);
  WriteFile((old / "index.html").string(), "keep");
  auto page = MakePage();
  for (const std::string& bad : {dir_.File("root/inner"), dir_.path().string(), dir_.File("root/")}) {
    page->OnFolderChosen(bad);
    EXPECT_EQ(page->VirtualDirectory(), old.string()) << bad;
    EXPECT_EQ(ReadFile((old / "index.html").string()), "keep") << bad;
  }
  EXPECT_FALSE(fs::exists(dir_.File("root/inner")));
  // Enter with a refused folder puts the current one back into the edit.
  page->SetVirtualDirectoryText(dir_.File("root/deeper"));
  page->OnEnter();
  EXPECT_EQ(page->VirtualDirectoryText(), old.string());
  EXPECT_TRUE(fs::exists(old / "index.html"));
}

TEST_F(ServerPageTest, AFolderThatHoldsAnythingIsNeverMovedInto) {
  const fs::path old = dir_.path() / "root";
  fs::create_directories(old);
  WriteFile((old / "index.html").string(), "mine");
  const std::string target = dir_.File("theirs");
  fs::create_directories(target);
  WriteFile(target + "/index.html", "theirs");
  auto page = MakePage();
  page->OnFolderChosen(target);
  EXPECT_EQ(page->VirtualDirectory(), old.string());
  EXPECT_EQ(ReadFile(target + "/index.html"), "theirs");
  EXPECT_EQ(ReadFile((old / "index.html").string()), "mine");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].find(target + " is not empty"), std::string::npos) << boxes_[0];
  EXPECT_EQ(config_.GetValue("SERVER", "VIRTDIR", "none"), "none");

  // An empty folder is taken.
  fs::remove(target + "/index.html");
  page->OnFolderChosen(target);
  EXPECT_EQ(page->VirtualDirectory(), target);
  EXPECT_EQ(ReadFile(target + "/index.html"), "mine");
}

// The settings must name the new folder before the old one goes: when they cannot be
// saved, the old folder stays whole and in use, on one file system and across two.
TEST(MoveContentFolder, TheNewFolderIsSavedBeforeTheOldOneGoes) {
  TempDir here;
  std::vector<fs::path> elsewhere = {here.path()};
  struct stat tmp {}, shm {};
  if (::stat("/dev/shm", &shm) == 0 && ::stat(here.path().c_str(), &tmp) == 0 && shm.st_dev != tmp.st_dev)
    elsewhere.push_back("/dev/shm");  // a copy instead of a rename
  for (const fs::path& base : elsewhere) {
    const fs::path from = here.path() / "root";
    fs::create_directories(from / "sub");
    WriteFile((from / "sub" / "a.txt").string(), "a");
    const fs::path to = base / ("moved-" + here.path().filename().string());

    EXPECT_EQ(MoveContentFolder(from, to, [] { return false; }), FolderMove::kFailed) << base;
    EXPECT_EQ(ReadFile((from / "sub" / "a.txt").string()), "a") << base;
    fs::remove_all(to);  // what a failed copy left

    bool oldWasThere = false;
    EXPECT_EQ(MoveContentFolder(from.string(), to.string(), [&] {
                oldWasThere = fs::exists(from / "sub" / "a.txt") || base == here.path();
                return fs::exists(to / "sub" / "a.txt");
              }),
              FolderMove::kMoved)
        << base;
    EXPECT_TRUE(oldWasThere) << base;
    EXPECT_FALSE(fs::exists(from)) << base;
    EXPECT_EQ(ReadFile((to / "sub" / "a.txt").string()), "a") << base;
    fs::remove_all(to);
  }
}

TEST(LocalIPv4Addresses, LoopbackIsListedLast) {
  const auto addresses = LocalIPv4Addresses();
  ASSERT_FALSE(addresses.empty());
  EXPECT_EQ(addresses.back().rfind("127.", 0), 0u);
}

}  // namespace
}  // namespace orbiscope
