#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orbiscope {

SingleInstance::SingleInstance(std::string folder) {
  std::string name = kName;
  if (folder.empty()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') {
      folder = runtime;
    } else {
      // /tmp is shared by every user: one lock name for all would let any user's file,
      // or copy, keep everybody else's from starting.
      folder = "/tmp";
      name += "-" + std::to_string(::geteuid());
    }
  }
  path_ = folder + "/" + name + ".lock";
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock; the file stays for the next run
}

bool SingleInstance::Acquire() {
  if (fd_ >= 0) return true;
  heldElsewhere_ = false;
  // A link planted where the lock belongs is not followed.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    refusal_ = "cannot use the lock file " + path_ + " (" + std::strerror(errno) +
               "); remove it if it is not yours, or set XDG_RUNTIME_DIR";
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
    // Another user's file, open to us, would let that user hold our lock.
    ::close(fd);
    refusal_ = "the lock file " + path_ + " belongs to another user; remove it, or set "
               "XDG_RUNTIME_DIR";
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    heldElsewhere_ = true;
    refusal_ = "another copy is already running (it holds " + path_ + ")";
    return false;
  }
  fd_ = fd;
  refusal_.clear();
  return true;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("orbiscope");
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace orbiscope
