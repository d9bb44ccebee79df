#include "app/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.reset();
  SingleInstance third(dir.path().string());
  EXPECT_TRUE(third.Acquire()) << "the lock ends with its holder; the file left behind does not block";
}

TEST(SingleInstance, UnopenableLockFolderStartsNothing) {
  SingleInstance instance("/nonexistent-folder");
  EXPECT_FALSE(instance.Acquire());
}

TEST(FolderOf, Cases) {
  EXPECT_EQ(FolderOf("/opt/orbiscope/orbiscope"), "/opt/orbiscope");
  EXPECT_EQ(FolderOf("/orbiscope"), "/");
  EXPECT_EQ(FolderOf("orbiscope"), ".");
  EXPECT_EQ(FolderOf(ExecutablePath()), std::filesystem::path(ExecutablePath()).parent_path().string());
}

}  // namespace
}  // namespace orbiscope
