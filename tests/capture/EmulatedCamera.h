#pragma once
// A USB camera played behind the system calls that libv4l2 and libv4lconvert make, so the
// real library, with its format conversion, runs between our back-end and a camera without
// a kernel driver.
//
// libv4l2 reaches the device only through syscall(2) (open, openat, close, ioctl, read,
// mmap, munmap); this library defines syscall, which the executable's symbol makes win over
// libc's, and answers the calls on the nodes of its own folder. Every other call goes to
// the kernel unchanged. The nodes are empty files in a fresh temporary folder, so that
// listing and watching the folder (inotify) behave as for /dev; a device file descriptor is
// a timerfd that becomes readable when the next frame is due, so poll(2) works on it too.
//
// One emulator at a time per process: the system-call hook reaches it through one pointer.

#include <linux/videodev2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orbiscope::testing {

// One frame size of a format with its rates in frames a second, fastest first.
struct EmulatedMode {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> rates;
};

struct EmulatedFormat {
  std::uint32_t fourcc = V4L2_PIX_FMT_MJPEG;  // MJPEG or YUYV
  std::vector<EmulatedMode> modes;
};

struct EmulatedControl {
  std::uint32_t id = 0;
  std::string name;
  std::uint32_t type = V4L2_CTRL_TYPE_INTEGER;
  std::int32_t minimum = 0, maximum = 255, step = 1, defaultValue = 128;
  std::map<std::int32_t, std::string> menu;  // a value without an entry is not offered
};

struct EmulatedCameraSpec {
  std::string card = "USB 2.0 Camera";
  bool streaming = true;  // false: a camera that offers read() only
  std::vector<EmulatedFormat> formats;
  std::vector<EmulatedControl> controls;
  // Amplitude of the sensor noise on every byte of the picture: 0 for a picture the tests
  // can compare closely, some 20 for frames that compress as a real room does.
  int noise = 0;
  // Every n-th frame (0: none) arrives cut to its first third without an error flag, as a
  // frame that lost its tail on the bus does.
  int truncateEvery = 0;
};

// What most USB cameras offer: MJPEG at 30 fps in every size, YUYV at 30 fps only up to
// 640 x 480 (the bus cannot carry more raw pixels), brightness, power-line frequency,
// exposure mode (a menu with holes, as such menus are) and automatic white balance.
EmulatedCameraSpec UsbCameraSpec();

// The picture every frame shows, as top-down 24-bit blue-green-red rows width * 3 apart:
// smooth gradients (so JPEG and chroma subsampling stay close to it) with a differently
// coloured block in each corner (so a turned or mirrored picture is told apart), with
// fixed pseudo-random noise of up to `noise` levels on every byte.
std::vector<std::uint8_t> ScenePixels(int width, int height, int noise = 0);

class CameraEmulator {
public:
  CameraEmulator();
  ~CameraEmulator();
  CameraEmulator(const CameraEmulator&) = delete;
  CameraEmulator& operator=(const CameraEmulator&) = delete;

  // The folder holding the nodes: what the libv4l2 device lists instead of /dev.
  const std::string& Folder() const { return folder_; }
  // Plugs in a camera as node "video<number>"; answers its path.
  std::string AddCamera(int number, EmulatedCameraSpec spec);
  // The camera goes away: every call on its open descriptors fails with ENODEV, its node
  // disappears and opening it fails.
  void Unplug(const std::string& path);
  // The camera comes back, in its start-up state, under the same node.
  void Plug(const std::string& path);

  // What the camera streams: its format, size and frame interval now.
  struct Mode {
    std::uint32_t fourcc = 0;
    int width = 0;
    int height = 0;
    v4l2_fract interval{0, 0};
  };
  Mode CurrentMode(const std::string& path);
  std::int32_t ControlValue(const std::string& path, std::uint32_t id);
  // Frames handed out since the camera was plugged in.
  std::uint64_t FramesServed(const std::string& path);
  // Requests the camera does not know, as libv4l2 sent them (for a failure's message).
  std::vector<unsigned long> UnknownRequests();

  // The system-call hook: true when the call was for a node of this emulator and `result`
  // (with errno) is its answer.
  bool Handle(long number, const long args[6], long& result);

private:
  struct Camera;
  struct Handle_;
  Camera* CameraOf(const std::string& path);
  long Open(const char* path, long flags);
  long Ioctl(Handle_& h, Camera& c, unsigned long request, void* arg);
  long Read(Handle_& h, Camera& c, void* buffer, std::size_t length);
  long Mmap(Handle_& h, Camera& c, std::size_t length, int prot, int flags, std::int64_t offset);
  long Dequeue(Handle_& h, Camera& c, v4l2_buffer& buf);
  void StartTimer(Handle_& h, const Camera& c);
  void ReleaseBuffers(Camera& c);
  const std::vector<std::uint8_t>& FrameBytes(Camera& c);

  std::mutex mutex_;
  std::string folder_;
  std::map<std::string, std::unique_ptr<Camera>> cameras_;
  std::map<int, std::unique_ptr<Handle_>> handles_;
  // The caller's mappings of streaming buffers, by address (munmap names no device).
  struct Mapping {
    std::string path;
    unsigned allocation = 0;
    std::uint32_t index = 0;
  };
  std::map<std::uintptr_t, Mapping> mappings_;
  std::vector<unsigned long> unknown_;
};

}  // namespace orbiscope::testing
