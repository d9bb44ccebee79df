#pragma once
// Runs part of a test as an unprivileged user, so that checks which root passes anyway (a
// read-only file, a folder without write permission) also run where the tests run as root.

#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace orbiscope::testing {

// Runs body as it is when the test is not root. As root, body runs in a child process that
// first becomes "nobody" (with no groups); the child prints its own failures and they fail
// the calling test. Whatever body needs on disk it makes itself, as that user.
inline void RunUnprivileged(const std::function<void()>& body) {
  if (::geteuid() != 0) {
    body();
    return;
  }
  const passwd* nobody = ::getpwnam("nobody");
  const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
  const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(60);  // a child that hangs ends, and its parent's wait with it
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    body();
    std::fflush(nullptr);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the part run as nobody failed (wait status " << status << ")";
}

}  // namespace orbiscope::testing
