#pragma once
// One Orbiscope per machine and user session: an exclusive lock on a file named after the
// program's instance name. The lock goes with the process, however it ends.

#include <string>

namespace orbiscope {

class SingleInstance {
public:
  // The instance name every copy of the program uses.
  static constexpr const char* kName = "{6D1F0A52-3C7E-4B91-A2D4-8E5F17C09B3A}";

  // `folder` holds the lock file; empty means $XDG_RUNTIME_DIR, else /tmp, where the
  // file's name carries the user id so that another user's copy blocks nobody.
  explicit SingleInstance(std::string folder = {});
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this process is the only one; false when another copy holds the lock, or
  // the lock file cannot be used (treated the same: start nothing twice). Refusal() then
  // says which, for the user.
  bool Acquire();
  const std::string& LockPath() const { return path_; }
  // Why Acquire refused; empty after a success.
  const std::string& Refusal() const { return refusal_; }
  // Whether the refusal was another running copy (not a lock that cannot be used).
  bool HeldElsewhere() const { return heldElsewhere_; }

private:
  std::string path_;
  std::string refusal_;
  bool heldElsewhere_ = false;
  int fd_ = -1;
};

// The running executable's full path.
std::string ExecutablePath();
// The folder of a path, without the last separator.
std::string FolderOf(const std::string& path);

}  // namespace orbiscope
