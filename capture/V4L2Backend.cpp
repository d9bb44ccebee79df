#include "capture/V4L2Backend.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureStatus.h"
#include "capture/FrameFormat.h"
#include "capture/GraphEvents.h"
#include "capture/V4L2Device.h"

namespace orbiscope {
namespace {

constexpr unsigned kBufferCount = 4;
// Consecutive failed dequeues after which a device that never says ENODEV counts as lost.
constexpr int kMaxFailures = 50;
// Sizes offered from a stepwise or continuous range, when they fit it.
constexpr int kRangeSizes[][2] = {{160, 120}, {320, 240}, {640, 480}, {800, 600},
                                  {1024, 768}, {1280, 720}, {1280, 960}, {1920, 1080}};

std::string CardName(const v4l2_capability& caps) {
  const char* card = reinterpret_cast<const char*>(caps.card);
  return std::string(card, strnlen(card, sizeof caps.card));
}

std::uint32_t DeviceCaps(const v4l2_capability& caps) {
  return (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
}

// Opens path and answers its capabilities; -1 when it is not a capture device.
int OpenCapture(V4L2Device& io, const std::string& path, v4l2_capability& caps) {
  const int fd = io.Open(path, O_RDWR | O_NONBLOCK);
  if (fd < 0) return -1;
  std::memset(&caps, 0, sizeof caps);
  if (io.Ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0 || !(DeviceCaps(caps) & V4L2_CAP_VIDEO_CAPTURE)) {
    io.Close(fd);
    return -1;
  }
  return fd;
}

// The device answers again: its node opens as a capture device.
bool WaitForReturn(V4L2Device& io, const std::string& path, std::stop_token stop) {
  while (!stop.stop_requested()) {
    v4l2_capability caps;
    const int fd = OpenCapture(io, path, caps);
    if (fd >= 0) {
      io.Close(fd);
      return true;
    }
    io.WaitForNodeChange(stop, kV4L2WaitMs);
  }
  return false;
}

// Whether a JPEG frame ends with its end-of-image marker, before any zero padding.
bool EndsJpeg(const std::uint8_t* data, std::size_t n) {
  while (n > 2 && data[n - 1] == 0) --n;
  return n >= 2 && data[n - 2] == 0xFF && data[n - 1] == 0xD9;
}

std::int64_t FrameTimeOf(const v4l2_fract& f) {
  if (f.denominator == 0) return 0;
  return static_cast<std::int64_t>(f.numerator) * kUnitsPerSecond / f.denominator;
}

class V4L2Source final : public CaptureSource {
public:
  V4L2Source(std::shared_ptr<V4L2Device> io, std::string path)
      : io_(std::move(io)), path_(std::move(path)) {}
  ~V4L2Source() override {
    Stop();
    converter_.reset();  // it was made for the descriptor
    if (fd_ >= 0) io_->Close(fd_);
  }

  CaptureError Connect() override {
    if (fd_ >= 0) return CaptureError::kNone;
    v4l2_capability caps;
    fd_ = OpenCapture(*io_, path_, caps);
    if (fd_ < 0) return CaptureError::kFailed;
    deviceCaps_ = DeviceCaps(caps);
    converter_ = io_->MakeConverter(fd_);
    return CaptureError::kNone;
  }

  CaptureError Capabilities(std::vector<CaptureCapability>& caps) override {
    caps.clear();
    if (fd_ < 0) return CaptureError::kFailed;
    std::vector<CaptureCapability> others;
    for (std::uint32_t i = 0;; ++i) {
      v4l2_fmtdesc desc{};
      desc.index = i;
      desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (io_->Ioctl(fd_, VIDIOC_ENUM_FMT, &desc) != 0) break;
      // The 24-bit sizes come first, so that a size's place in the list of sizes is also
      // its place among the capabilities.
      AddSizes(desc.pixelformat, desc.pixelformat == V4L2_PIX_FMT_BGR24 ? caps : others);
    }
    caps.insert(caps.end(), others.begin(), others.end());
    return caps.empty() ? CaptureError::kFailed : CaptureError::kNone;
  }

  CaptureError SetFormat(CaptureCapability& cap) override {
    if (fd_ < 0 || running_) return CaptureError::kFailed;
    // The camera's own format is chosen here when it gives the rate that libv4l2's choice
    // would not (MJPEG at HD sizes where the camera offers the size in YUYV too); libv4l2
    // may still answer with its 24-bit output (a camera it corrects itself), then used.
    const std::uint32_t native = ChooseFormat(cap.width, cap.height, cap.frameTime);
    v4l2_format fmt{};
    convert_ = native != V4L2_PIX_FMT_BGR24 && AskFormat(native, cap.width, cap.height, fmt) &&
               fmt.fmt.pix.pixelformat == native &&
               fmt.fmt.pix.width == static_cast<std::uint32_t>(cap.width) &&
               fmt.fmt.pix.height == static_cast<std::uint32_t>(cap.height);
    if (!convert_ && !AskFormat(V4L2_PIX_FMT_BGR24, cap.width, cap.height, fmt)) return CaptureError::kFailed;
    cap.width = static_cast<int>(fmt.fmt.pix.width);
    cap.height = static_cast<int>(fmt.fmt.pix.height);
    cap.rgb24 = convert_ || fmt.fmt.pix.pixelformat == V4L2_PIX_FMT_BGR24;
    cap.pixelFormat = fmt.fmt.pix.pixelformat;
    if (convert_) {
      nativeFormat_ = fmt;
      stride_ = fmt.fmt.pix.width * 3;
    } else {
      stride_ = fmt.fmt.pix.bytesperline != 0 ? fmt.fmt.pix.bytesperline : fmt.fmt.pix.width * 3;
    }
    sizeImage_ = fmt.fmt.pix.sizeimage != 0 ? fmt.fmt.pix.sizeimage : stride_ * fmt.fmt.pix.height;
    if (stride_ < fmt.fmt.pix.width * 3) return CaptureError::kFailed;
    width_ = cap.width;
    height_ = cap.height;

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->Ioctl(fd_, VIDIOC_G_PARM, &parm) == 0 &&
        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) && cap.frameTime > 0) {
      const std::int64_t g = std::gcd(cap.frameTime, kUnitsPerSecond);
      parm.parm.capture.timeperframe.numerator = static_cast<std::uint32_t>(cap.frameTime / g);
      parm.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(kUnitsPerSecond / g);
      if (io_->Ioctl(fd_, VIDIOC_S_PARM, &parm) == 0) {
        const std::int64_t agreed = FrameTimeOf(parm.parm.capture.timeperframe);
        if (agreed > 0) cap.frameTime = agreed;
      }
    }
    return CaptureError::kNone;
  }

  CaptureError Run(SampleSink& sink, GraphEvents& events) override {
    if (fd_ < 0 || width_ <= 0 || height_ <= 0) return CaptureError::kFailed;
    if (running_) {
      paused_.store(false);
      return CaptureError::kNone;
    }
    const bool streaming = (deviceCaps_ & V4L2_CAP_STREAMING) != 0;
    if (streaming && !StartStreaming()) {
      StopStreaming();
      return CaptureError::kFailed;
    }
    if (!streaming && !(deviceCaps_ & V4L2_CAP_READWRITE)) return CaptureError::kFailed;
    paused_.store(false);
    running_ = true;
    thread_ = std::jthread([this, &sink, &events, streaming](std::stop_token stop) {
      if (Stream(stop, sink, streaming)) {
        // The device went away: say so, and watch for it to come back.
        events.Post(GraphEvent::kDeviceLost);
        events.WatchForReturn([io = io_, path = path_](std::stop_token watch) {
          return WaitForReturn(*io, path, watch);
        });
      }
    });
    return CaptureError::kNone;
  }

  CaptureError Pause() override {
    if (!running_) return CaptureError::kFailed;
    paused_.store(true);
    return CaptureError::kNone;
  }

  CaptureError Stop() override {
    if (thread_.joinable()) {
      thread_.request_stop();
      thread_.join();
    }
    thread_ = std::jthread();
    StopStreaming();
    running_ = false;
    return CaptureError::kNone;
  }

  bool HasControls() override { return !Controls().empty(); }

  std::vector<DeviceControl> Controls() override {
    std::vector<DeviceControl> controls;
    if (fd_ < 0) return controls;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (io_->Ioctl(fd_, VIDIOC_QUERYCTRL, &query) == 0) {
      const std::uint32_t id = query.id;
      if (!(query.flags & V4L2_CTRL_FLAG_DISABLED) && AddControl(query, controls)) {
        // added
      }
      query = v4l2_queryctrl{};
      query.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return controls;
  }

  CaptureError SetControl(std::uint32_t id, std::int32_t value) override {
    if (fd_ < 0) return CaptureError::kFailed;
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return io_->Ioctl(fd_, VIDIOC_S_CTRL, &control) == 0 ? CaptureError::kNone : CaptureError::kFailed;
  }

private:
  struct Mapping {
    void* address = nullptr;
    std::size_t length = 0;
  };

  void AddSizes(std::uint32_t pixelFormat, std::vector<CaptureCapability>& out) {
    const bool rgb = pixelFormat == V4L2_PIX_FMT_BGR24;
    auto add = [&](int w, int h) {
      CaptureCapability cap;
      cap.rgb24 = rgb;
      cap.width = w;
      cap.height = h;
      cap.bitCount = rgb ? 24 : 16;
      cap.pixelFormat = pixelFormat;
      cap.frameTime = FrameTimeFor(pixelFormat, w, h);
      out.push_back(cap);
    };
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmsizeenum size{};
      size.index = i;
      size.pixel_format = pixelFormat;
      if (io_->Ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        add(static_cast<int>(size.discrete.width), static_cast<int>(size.discrete.height));
        continue;
      }
      const v4l2_frmsize_stepwise& s = size.stepwise;
      const std::uint32_t sw = s.step_width == 0 ? 1 : s.step_width;
      const std::uint32_t sh = s.step_height == 0 ? 1 : s.step_height;
      for (const auto& r : kRangeSizes) {
        const auto w = static_cast<std::uint32_t>(r[0]);
        const auto h = static_cast<std::uint32_t>(r[1]);
        if (w >= s.min_width && w <= s.max_width && h >= s.min_height && h <= s.max_height &&
            (w - s.min_width) % sw == 0 && (h - s.min_height) % sh == 0)
          add(r[0], r[1]);
      }
      break;  // a range is the only entry
    }
  }

  // The shortest frame time of the format at the size; 0 when the device does not tell.
  std::int64_t FastestFrameTime(std::uint32_t pixelFormat, int w, int h) {
    std::int64_t fastest = 0;
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmivalenum interval{};
      interval.index = i;
      interval.pixel_format = pixelFormat;
      interval.width = static_cast<std::uint32_t>(w);
      interval.height = static_cast<std::uint32_t>(h);
      if (io_->Ioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
      const std::int64_t t = FrameTimeOf(interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete
                                                                                    : interval.stepwise.min);
      if (t > 0 && (fastest == 0 || t < fastest)) fastest = t;
      if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;  // a range is the only entry
    }
    return fastest;
  }

  // The frame time a 24-bit size is listed with: the best of libv4l2's conversion and of
  // the camera's own formats at that size.
  std::int64_t FrameTimeFor(std::uint32_t pixelFormat, int w, int h) {
    std::int64_t best = FastestFrameTime(pixelFormat, w, h);
    if (pixelFormat != V4L2_PIX_FMT_BGR24) return best;
    for (const Candidate& c : Candidates(w, h))
      if (c.fastest > 0 && (best == 0 || c.fastest < best)) best = c.fastest;
    return best;
  }

  bool HasSize(std::uint32_t pixelFormat, int w, int h) {
    const auto uw = static_cast<std::uint32_t>(w), uh = static_cast<std::uint32_t>(h);
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmsizeenum size{};
      size.index = i;
      size.pixel_format = pixelFormat;
      if (io_->Ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) != 0) return false;
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        if (size.discrete.width == uw && size.discrete.height == uh) return true;
        continue;
      }
      const v4l2_frmsize_stepwise& r = size.stepwise;
      const std::uint32_t sw = r.step_width == 0 ? 1 : r.step_width;
      const std::uint32_t sh = r.step_height == 0 ? 1 : r.step_height;
      return uw >= r.min_width && uw <= r.max_width && uh >= r.min_height && uh <= r.max_height &&
             (uw - r.min_width) % sw == 0 && (uh - r.min_height) % sh == 0;
    }
  }

  // A format the camera itself offers at a size, that frames can be taken in.
  struct Candidate {
    std::uint32_t fourcc = 0;
    int rank = 0;               // 0 24-bit BGR as it comes, 1 uncompressed, 2 compressed
    std::int64_t fastest = 0;   // 0 unknown
  };

  std::vector<Candidate> Candidates(int w, int h) {
    std::vector<Candidate> found;
    for (std::uint32_t i = 0;; ++i) {
      v4l2_fmtdesc desc{};
      desc.index = i;
      desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (io_->Ioctl(fd_, VIDIOC_ENUM_FMT, &desc) != 0) break;
      // libv4l2's own 24-bit output is what SetFormat falls back to, not a choice here.
      if (desc.flags & V4L2_FMT_FLAG_EMULATED) continue;
      const bool bgr = desc.pixelformat == V4L2_PIX_FMT_BGR24;
      if (!bgr && (converter_ == nullptr || !converter_->Accepts(desc.pixelformat))) continue;
      if (!HasSize(desc.pixelformat, w, h)) continue;
      found.push_back(Candidate{desc.pixelformat, bgr ? 0 : (desc.flags & V4L2_FMT_FLAG_COMPRESSED) ? 2 : 1,
                                FastestFrameTime(desc.pixelformat, w, h)});
    }
    return found;
  }

  // The camera's format for w x h at frameTime (0: as fast as the camera goes): of those
  // that go at least that fast the one cheapest to take and truest to the picture (as it
  // comes, then uncompressed, then compressed); when none does, the fastest. 24-bit BGR,
  // libv4l2's conversion, when the camera offers no format taken here at the size.
  std::uint32_t ChooseFormat(int w, int h, std::int64_t frameTime) {
    const std::vector<Candidate> candidates = Candidates(w, h);
    if (candidates.empty()) return V4L2_PIX_FMT_BGR24;
    auto speed = [](const Candidate& c) {
      return c.fastest > 0 ? c.fastest : std::numeric_limits<std::int64_t>::max();
    };
    std::int64_t target = frameTime;
    if (target <= 0) {
      target = speed(candidates.front());
      for (const Candidate& c : candidates) target = std::min(target, speed(c));
    }
    // A rate asked in whole frames a second may differ from the camera's fraction by a unit.
    auto meets = [&](const Candidate& c) { return speed(c) <= target || speed(c) - target <= target / 100; };
    auto better = [&](const Candidate& a, const Candidate& b) {
      if (meets(a) != meets(b)) return meets(a);
      if (!meets(a) && speed(a) != speed(b)) return speed(a) < speed(b);
      return a.rank < b.rank;
    };
    const Candidate* best = &candidates.front();
    for (const Candidate& c : candidates)
      if (better(c, *best)) best = &c;
    return best->fourcc;
  }

  // VIDIOC_S_FMT of fourcc at w x h; fmt holds what the device agreed to.
  bool AskFormat(std::uint32_t fourcc, int w, int h, v4l2_format& fmt) {
    fmt = v4l2_format{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(w);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(h);
    fmt.fmt.pix.pixelformat = fourcc;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    return io_->Ioctl(fd_, VIDIOC_S_FMT, &fmt) == 0;
  }

  bool AddControl(const v4l2_queryctrl& query, std::vector<DeviceControl>& controls) {
    DeviceControl c;
    switch (query.type) {
      case V4L2_CTRL_TYPE_INTEGER: c.kind = DeviceControl::Kind::Integer; break;
      case V4L2_CTRL_TYPE_BOOLEAN: c.kind = DeviceControl::Kind::Boolean; break;
      case V4L2_CTRL_TYPE_MENU: c.kind = DeviceControl::Kind::Menu; break;
      case V4L2_CTRL_TYPE_BUTTON: c.kind = DeviceControl::Kind::Button; break;
      default: return false;  // classes, strings and compound controls are not offered
    }
    c.id = query.id;
    const char* name = reinterpret_cast<const char*>(query.name);
    c.name.assign(name, strnlen(name, sizeof query.name));
    c.minimum = query.minimum;
    c.maximum = query.maximum;
    c.step = query.step;
    c.defaultValue = query.default_value;
    if (c.kind != DeviceControl::Kind::Button) {
      v4l2_control value{};
      value.id = query.id;
      if (io_->Ioctl(fd_, VIDIOC_G_CTRL, &value) == 0) c.value = value.value;
      else c.value = query.default_value;
    }
    if (c.kind == DeviceControl::Kind::Menu) {
      for (std::int32_t i = query.minimum; i <= query.maximum; ++i) {
        v4l2_querymenu item{};
        item.id = query.id;
        item.index = static_cast<std::uint32_t>(i);
        if (io_->Ioctl(fd_, VIDIOC_QUERYMENU, &item) != 0) continue;
        const char* text = reinterpret_cast<const char*>(item.name);
        c.menu.emplace_back(i, std::string(text, strnlen(text, sizeof item.name)));
      }
    }
    controls.push_back(std::move(c));
    return true;
  }

  bool StartStreaming() {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (io_->Ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) return false;
    requested_ = true;
    for (std::uint32_t i = 0; i < request.count; ++i) {
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      buf.index = i;
      if (io_->Ioctl(fd_, VIDIOC_QUERYBUF, &buf) != 0) return false;
      void* address = io_->Mmap(buf.length, fd_, buf.m.offset);
      if (address == nullptr) return false;
      maps_.push_back(Mapping{address, buf.length});
      if (io_->Ioctl(fd_, VIDIOC_QBUF, &buf) != 0) return false;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->Ioctl(fd_, VIDIOC_STREAMON, &type) != 0) return false;
    streamOn_ = true;
    return true;
  }

  void StopStreaming() {
    if (streamOn_) {
      int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      io_->Ioctl(fd_, VIDIOC_STREAMOFF, &type);
      streamOn_ = false;
    }
    for (const Mapping& m : maps_) io_->Munmap(m.address, m.length);
    maps_.clear();
    if (requested_) {
      v4l2_requestbuffers request{};
      request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      request.memory = V4L2_MEMORY_MMAP;
      io_->Ioctl(fd_, VIDIOC_REQBUFS, &request);
      requested_ = false;
    }
  }

  // Delivers frames until stopped; true when the device was lost.
  bool Stream(std::stop_token stop, SampleSink& sink, bool streaming) {
    const std::size_t needed = static_cast<std::size_t>(stride_) * (height_ - 1) +
                               static_cast<std::size_t>(width_) * 3;
    std::vector<std::uint8_t> readBuffer(streaming ? 0 : sizeImage_);
    // Reused for every frame: the camera's format converted, before the grabber's copy.
    std::vector<std::uint8_t> converted(convert_ ? needed : 0);
    // A short, damaged or unconvertible frame is dropped rather than shown half old, half new.
    const bool jpeg = convert_ && (nativeFormat_.fmt.pix.pixelformat == V4L2_PIX_FMT_MJPEG ||
                                   nativeFormat_.fmt.pix.pixelformat == V4L2_PIX_FMT_JPEG);
    bool framesEnd = false;  // the camera ends its JPEG frames with an end-of-image marker
    auto deliver = [&](double time, const std::uint8_t* data, std::size_t n) {
      // The decoder fills a JPEG that lost its tail with grey and calls it a success; a
      // camera whose frames end with the marker has lost the tail of one that does not.
      if (jpeg) {
        const bool ends = EndsJpeg(data, n);
        if (!ends && framesEnd) return false;
        framesEnd = framesEnd || ends;
      }
      if (convert_) {
        const long made = converter_->ToBgr24(nativeFormat_, data, n, converted.data(), converted.size());
        if (made < 0 || static_cast<std::size_t>(made) < needed) return false;
        data = converted.data();
      } else if (n < needed) {
        return false;
      }
      sink.BufferRowsCB(time, data, stride_, width_, height_);
      return true;
    };
    int failures = 0;
    std::uint64_t frames = 0;
    while (!stop.stop_requested()) {
      const int ready = io_->WaitReadable(fd_, stop, kV4L2WaitMs);
      if (ready < 0) {
        if (errno == ENODEV) return true;
        if (++failures > kMaxFailures) return true;
        continue;
      }
      if (ready == 0) continue;
      if (!streaming) {
        const long n = io_->Read(fd_, readBuffer.data(), readBuffer.size());
        if (n < 0) {
          if (errno == EAGAIN) continue;
          if (errno == ENODEV || ++failures > kMaxFailures) return true;
          continue;
        }
        failures = 0;
        if (!paused_.load() &&
            deliver(static_cast<double>(frames), readBuffer.data(), static_cast<std::size_t>(n)))
          ++frames;
        continue;
      }
      v4l2_buffer buf{};
      buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buf.memory = V4L2_MEMORY_MMAP;
      if (io_->Ioctl(fd_, VIDIOC_DQBUF, &buf) != 0) {
        if (errno == EAGAIN) continue;
        if (errno == ENODEV || ++failures > kMaxFailures) return true;
        continue;
      }
      failures = 0;
      if (!paused_.load() && buf.index < maps_.size() && !(buf.flags & V4L2_BUF_FLAG_ERROR)) {
        const double time = static_cast<double>(buf.timestamp.tv_sec) +
                            static_cast<double>(buf.timestamp.tv_usec) / 1e6;
        const std::size_t n = std::min<std::size_t>(buf.bytesused, maps_[buf.index].length);
        deliver(time, static_cast<const std::uint8_t*>(maps_[buf.index].address), n);
      }
      if (io_->Ioctl(fd_, VIDIOC_QBUF, &buf) != 0 && errno == ENODEV) return true;
    }
    return false;
  }

  std::shared_ptr<V4L2Device> io_;
  std::string path_;
  int fd_ = -1;
  std::uint32_t deviceCaps_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::uint32_t stride_ = 0;
  std::uint32_t sizeImage_ = 0;
  std::unique_ptr<V4L2Converter> converter_;
  bool convert_ = false;       // frames come in nativeFormat_ and are converted here
  v4l2_format nativeFormat_{};
  std::vector<Mapping> maps_;
  bool requested_ = false;
  bool streamOn_ = false;
  bool running_ = false;
  std::atomic<bool> paused_{false};
  std::jthread thread_;
};

class V4L2Backend final : public CaptureBackend {
public:
  explicit V4L2Backend(std::shared_ptr<V4L2Device> io) : io_(std::move(io)) {}

  std::vector<CaptureDeviceRef> Devices() override {
    std::vector<CaptureDeviceRef> devices;
    for (const std::string& path : io_->ListNodes()) {
      v4l2_capability caps;
      const int fd = OpenCapture(*io_, path, caps);
      if (fd < 0) continue;  // metadata nodes, busy or vanished devices
      io_->Close(fd);
      devices.push_back(CaptureDeviceRef{CardName(caps), path});
    }
    return devices;
  }

  std::unique_ptr<CaptureSource> Bind(const CaptureDeviceRef& device) override {
    return std::make_unique<V4L2Source>(io_, device.id);
  }

private:
  std::shared_ptr<V4L2Device> io_;
};

}  // namespace

std::unique_ptr<CaptureBackend> MakeV4L2Backend(std::shared_ptr<V4L2Device> device) {
  return std::make_unique<V4L2Backend>(std::move(device));
}

}  // namespace orbiscope
