#pragma once
// Checks that expect the system to refuse something cannot run as root, who is refused
// nothing. RunHereUnprivileged() lets such a test run in CI all the same: as root it runs
// the current test again in a child process that is the user "nobody".

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace orbiscope::testing {

// How long the child may take before it is killed and the test fails.
inline constexpr std::chrono::seconds kUnprivilegedTimeout {120};

// True when the caller runs its checks here (the process is not root). As root: runs this
// test again in a child that is "nobody", expects it to pass there, and answers false so
// that the caller returns at once.
inline bool RunHereUnprivileged() {
  if (::geteuid() != 0) return true;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  // Resolved before the child changes user: it may no longer read its own /proc entries.
  char self[4096] = {};
  const passwd* nobody = ::getpwnam("nobody");
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0 || nobody == nullptr) {
    ADD_FAILURE() << "cannot run the test as nobody";
    return false;
  }
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return false;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    if (::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0) {
      ::execl(self, self, filter.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + kUnprivilegedTimeout;
  while (pid > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable {out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) {
      ended = true;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  if (pid > 0) {
    if (!ended) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(pid > 0 && ended && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
              output.find("[  PASSED  ] 1 test.") != std::string::npos)
      << "the test as nobody:\n" << output;
  return false;
}

}  // namespace orbiscope::testing
