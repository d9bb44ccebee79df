#pragma once
// The system calls the V4L2 back-end makes, behind one small interface, so that the code
// that drives a real camera is the code the tests drive against a fake device.
//
// Failures answer -1 (or nullptr) with errno set, as the system calls do.

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace orbiscope {

// Turns frames of a camera's own format into 24-bit BGR, for the formats the back-end asks
// of the camera itself (the library's own choice of format heeds no frame rate).
class V4L2Converter {
public:
  virtual ~V4L2Converter() = default;
  // Whether frames of fourcc can be converted.
  virtual bool Accepts(std::uint32_t fourcc) const = 0;
  // Converts one frame of `from` (its bytes in, n long) into top-down rows width * 3 bytes
  // apart in out; the bytes written, or -1 for a frame that does not convert (damaged).
  virtual long ToBgr24(const v4l2_format& from, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                       std::size_t capacity) = 0;
};

class V4L2Device {
public:
  virtual ~V4L2Device() = default;
  // Opens a device node; a file descriptor or -1.
  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  // One ioctl; interrupted calls are repeated inside.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // Maps a streaming buffer for reading; nullptr on failure.
  virtual void* Mmap(std::size_t length, int fd, std::int64_t offset) = 0;
  virtual int Munmap(void* address, std::size_t length) = 0;
  // Reads one frame of a device without streaming buffers.
  virtual long Read(int fd, void* buffer, std::size_t length) = 0;
  // Waits until fd has a frame: 1 ready, 0 time-out or stop requested, -1 error (errno).
  virtual int WaitReadable(int fd, std::stop_token stop, int timeoutMs) = 0;
  // The video device nodes present now, in numeric order (/dev/video0, /dev/video1...).
  virtual std::vector<std::string> ListNodes() = 0;
  // Waits until device nodes may have come or gone, the time-out passed, or stop.
  virtual void WaitForNodeChange(std::stop_token stop, int timeoutMs) = 0;
  // A converter for the open device fd; null when this layer converts nothing itself.
  virtual std::unique_ptr<V4L2Converter> MakeConverter(int fd) = 0;
};

// Where the system keeps its device nodes.
inline constexpr const char* kDeviceFolder = "/dev";

// The real device, through libv4l2 (which converts camera formats to 24-bit BGR, and whose
// libv4lconvert converts the formats asked of the camera directly), listing
// and watching the video nodes of folder (another folder only for an emulated camera).
std::unique_ptr<V4L2Device> MakeLibV4L2Device(std::string folder = kDeviceFolder);

}  // namespace orbiscope
