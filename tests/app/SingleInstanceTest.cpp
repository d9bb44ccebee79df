#include "app/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

TEST(SingleInstance, SecondCopyIsRefusedUntilTheFirstEnds) {
  testing::TempDir dir;
  auto first = std::make_unique<SingleInstance>(dir.path().string());
  EXPECT_EQ(first->LockPath(), dir.File("{6D1F0A52-3C7E-4B91-A2D4-8E5F17C09B3A}.lock"));
  ASSERT_TRUE(first->Acquire());
  EXPECT_TRUE(first->Acquire()) << "asking again is harmless";

  // Another process is refused.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SingleInstance second(dir.path().string());
    _exit(second.Acquire() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  {
    // Said so within this process too, which the file's lock also refuses.
    SingleInstance again(dir.path().string());
    EXPECT_FALSE(again.Acquire());
    EXPECT_TRUE(again.HeldElsewhere());
    EXPECT_NE(again.Refusal().find("already running"), std::string::npos);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.reset();
  SingleInstance third(dir.path().string());
  EXPECT_TRUE(third.Acquire()) << "the lock ends with its holder; the file left behind does not block";
}

TEST(SingleInstance, UnopenableLockFolderStartsNothingAndSaysWhy) {
  SingleInstance instance("/nonexistent-folder");
  EXPECT_FALSE(instance.Acquire());
  EXPECT_FALSE(instance.HeldElsewhere());
  EXPECT_NE(instance.Refusal().find("/nonexistent-folder/"), std::string::npos) << instance.Refusal();
}

// Without a runtime folder the lock in the shared /tmp is the user's own, so another user's
// lock file or running copy blocks nobody; a link planted in its place is not followed.
TEST(SingleInstance, SharedTmpLockIsPerUser) {
  const char* old = ::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old != nullptr ? old : "";
  ::unsetenv("XDG_RUNTIME_DIR");
  SingleInstance instance;
  if (old != nullptr) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_EQ(instance.LockPath(), "/tmp/{6D1F0A52-3C7E-4B91-A2D4-8E5F17C09B3A}-" +
                                     std::to_string(::geteuid()) + ".lock");

  testing::TempDir dir;
  const std::string lock = dir.File(std::string(SingleInstance::kName) + ".lock");
  std::filesystem::create_symlink(dir.File("elsewhere"), lock);
  SingleInstance linked(dir.path().string());
  EXPECT_FALSE(linked.Acquire());
  EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere")));
  EXPECT_NE(linked.Refusal().find(lock), std::string::npos);
}

TEST(FolderOf, Cases) {
  EXPECT_EQ(FolderOf("/opt/orbiscope/orbiscope"), "/opt/orbiscope");
  EXPECT_EQ(FolderOf("/orbiscope"), "/");
  EXPECT_EQ(FolderOf("orbiscope"), ".");
  EXPECT_EQ(FolderOf(ExecutablePath()), std::filesystem::path(ExecutablePath()).parent_path().string());
}

}  // namespace
}  // namespace orbiscope
