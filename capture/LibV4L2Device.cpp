#include "capture/V4L2Device.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <libv4lconvert.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace orbiscope {
namespace {

// An eventfd that becomes readable when stop is requested, for poll.
class StopFd {
public:
  explicit StopFd(std::stop_token stop)
      : fd_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)},
        callback_(std::move(stop), [this] {
          if (fd_.fd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(fd_.fd, &one, sizeof one);
          }
        }) {}
  StopFd(const StopFd&) = delete;
  StopFd& operator=(const StopFd&) = delete;
  int fd() const { return fd_.fd; }

private:
  struct Owned {
    int fd;
    ~Owned() {
      if (fd >= 0) ::close(fd);
    }
  };
  // Declared in this order so the callback is deregistered first (waiting for one that is
  // running on the stopping thread) and the descriptor closed after: closed first, a
  // stop at that moment would write into whatever file took its number meanwhile.
  Owned fd_;
  std::stop_callback<std::function<void()>> callback_;
};

class LibV4LConverter final : public V4L2Converter {
public:
  explicit LibV4LConverter(v4lconvert_data* data) : data_(data) {}
  ~LibV4LConverter() override { ::v4lconvert_destroy(data_); }
  LibV4LConverter(const LibV4LConverter&) = delete;
  LibV4LConverter& operator=(const LibV4LConverter&) = delete;

  // What USB cameras deliver: compressed frames, the only way to full rate at HD sizes on
  // the bus, and packed 4:2:2. Any other format is left to libv4l2's own conversion.
  bool Accepts(std::uint32_t fourcc) const override {
    switch (fourcc) {
      case V4L2_PIX_FMT_MJPEG: case V4L2_PIX_FMT_JPEG: case V4L2_PIX_FMT_YUYV:
      case V4L2_PIX_FMT_YVYU: case V4L2_PIX_FMT_UYVY:
        return true;
      default:
        return false;
    }
  }

  long ToBgr24(const v4l2_format& from, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
               std::size_t capacity) override {
    v4l2_format to = from;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    to.fmt.pix.bytesperline = from.fmt.pix.width * 3;
    to.fmt.pix.sizeimage = to.fmt.pix.bytesperline * from.fmt.pix.height;
    if (n > INT_MAX || capacity > INT_MAX) return -1;
    // The source is only read, though the library's signature does not say so.
    return ::v4lconvert_convert(data_, &from, &to, const_cast<std::uint8_t*>(in), static_cast<int>(n), out,
                                static_cast<int>(capacity));
  }

private:
  v4lconvert_data* data_;
};

class LibV4L2Device final : public V4L2Device {
public:
  explicit LibV4L2Device(std::string folder) : folder_(std::move(folder)) {}

  int Open(const std::string& path, int flags) override {
    return ::v4l2_open(path.c_str(), flags | O_CLOEXEC);
  }
  int Close(int fd) override { return ::v4l2_close(fd); }

  int Ioctl(int fd, unsigned long request, void* arg) override {
    int r;
    do {
      r = ::v4l2_ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
  }

  void* Mmap(std::size_t length, int fd, std::int64_t offset) override {
    void* p = ::v4l2_mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    return p == MAP_FAILED ? nullptr : p;
  }
  int Munmap(void* address, std::size_t length) override { return ::v4l2_munmap(address, length); }

  long Read(int fd, void* buffer, std::size_t length) override {
    long r;
    do {
      r = static_cast<long>(::v4l2_read(fd, buffer, length));
    } while (r == -1 && errno == EINTR);
    return r;
  }

  int WaitReadable(int fd, std::stop_token stop, int timeoutMs) override {
    if (stop.stop_requested()) return 0;
    StopFd stopFd(stop);
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd.fd(), POLLIN, 0}};
    const int r = ::poll(fds, stopFd.fd() >= 0 ? 2 : 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0 || stop.stop_requested()) return 0;
    // An error or hang-up on the device is reported by the dequeue that follows.
    return 1;
  }

  std::vector<std::string> ListNodes() override {
    std::vector<std::pair<long, std::string>> nodes;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("video", 0) != 0 || name.size() == 5) continue;
      char* end = nullptr;
      const long number = std::strtol(name.c_str() + 5, &end, 10);
      if (end == nullptr || *end != '\0') continue;
      nodes.emplace_back(number, entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (auto& node : nodes) paths.push_back(std::move(node.second));
    return paths;
  }

  void WaitForNodeChange(std::stop_token stop, int timeoutMs) override {
    if (stop.stop_requested()) return;
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) ::inotify_add_watch(watch, folder_.c_str(), IN_CREATE | IN_ATTRIB | IN_DELETE);
    StopFd stopFd(stop);
    pollfd fds[2] = {{stopFd.fd(), POLLIN, 0}, {watch, POLLIN, 0}};
    // Without inotify the time-out alone paces the retries.
    ::poll(fds, watch >= 0 ? 2 : 1, timeoutMs);
    if (watch >= 0) ::close(watch);
  }

  std::unique_ptr<V4L2Converter> MakeConverter(int fd) override {
    v4lconvert_data* data = ::v4lconvert_create(fd);
    if (data == nullptr) return nullptr;
    return std::make_unique<LibV4LConverter>(data);
  }

private:
  std::string folder_;
};

}  // namespace

std::unique_ptr<V4L2Device> MakeLibV4L2Device(std::string folder) {
  return std::make_unique<LibV4L2Device>(std::move(folder));
}

}  // namespace orbiscope
