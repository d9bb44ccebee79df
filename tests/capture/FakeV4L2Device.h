#pragma once
// A V4L2 device in memory: cameras with formats, sizes, a frame interval and controls,
// streaming buffers the test fills, and unplugging and plugging back. The V4L2 back-end
// runs against it unchanged.

#include <linux/videodev2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/V4L2Device.h"

namespace orbiscope::testing {

struct FakeControl {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t type = V4L2_CTRL_TYPE_INTEGER;
  std::int32_t minimum = 0, maximum = 255, step = 1, defaultValue = 128, value = 128;
  std::vector<std::string> menu;  // names of choices minimum..maximum
};

struct FakeCamera {
  std::string path;
  std::string card;
  std::uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  // Formats in enumeration order, each with its discrete sizes.
  std::vector<std::pair<std::uint32_t, std::vector<std::pair<int, int>>>> formats;
  v4l2_fract interval{1, 30};
  std::uint32_t strideExtra = 0;  // bytes beyond width * 3 in each row
  std::vector<FakeControl> controls;
};

class FakeV4L2Device final : public V4L2Device {
public:
  void AddCamera(FakeCamera camera);

  // Fills the next queued buffer with frame n: top-down row r has every byte (n + r) & 255.
  // False when the camera does not stream or has no buffer queued.
  bool PushFrame(const std::string& path, int n);
  // The camera goes away: its calls fail with ENODEV, its node disappears.
  void Unplug(const std::string& path);
  // The camera comes back with a fresh state.
  void Plug(const std::string& path);
  // The next times VIDIOC_STREAMON calls fail with EBUSY, as a camera held by another
  // program does (a later Plug forgets it).
  void FailStreamOn(const std::string& path, int times);
  // The frame interval last set with VIDIOC_S_PARM.
  v4l2_fract Interval(const std::string& path);
  // The control's current value.
  std::int32_t ControlValue(const std::string& path, std::uint32_t id);
  // Waits until the camera streams with a buffer queued; false after ten seconds without.
  [[nodiscard]] bool WaitUntilStreaming(const std::string& path);

  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(std::size_t length, int fd, std::int64_t offset) override;
  int Munmap(void* address, std::size_t length) override;
  long Read(int fd, void* buffer, std::size_t length) override;
  int WaitReadable(int fd, std::stop_token stop, int timeoutMs) override;
  std::vector<std::string> ListNodes() override;
  void WaitForNodeChange(std::stop_token stop, int timeoutMs) override;
  // Its formats stand for libv4l2's output: nothing is converted here.
  std::unique_ptr<V4L2Converter> MakeConverter(int) override { return nullptr; }

private:
  struct State {
    FakeCamera camera;
    bool present = true;
    std::uint32_t pixelFormat = 0;
    int width = 0, height = 0;
    std::uint32_t stride = 0;
    v4l2_fract parm{1, 30};
    std::vector<std::vector<std::uint8_t>> buffers;
    std::deque<std::uint32_t> queued, filled;
    bool streaming = false;
    int streamOnFailures = 0;
    std::uint32_t sequence = 0;
  };
  State* ByFd(int fd);
  int HandleLocked(State& s, unsigned long request, void* arg);

  std::mutex mutex_;
  std::condition_variable_any cv_;
  std::map<std::string, State> cameras_;
  std::map<int, std::string> fds_;
  int nextFd_ = 100;
  unsigned long generation_ = 0;  // node changes
};

}  // namespace orbiscope::testing
