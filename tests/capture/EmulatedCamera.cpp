#include "tests/capture/EmulatedCamera.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include "image/Picture.h"

namespace orbiscope::testing {

struct CameraEmulator::Camera {
  EmulatedCameraSpec spec;
  bool present = true;
  unsigned generation = 0;
  std::uint32_t fourcc = 0;
  int width = 0, height = 0;
  v4l2_fract interval{1, 30};
  std::map<std::uint32_t, std::int32_t> values;
  // The streaming buffers: one memory file, buffer i at i * stride, mapped here to fill it.
  int memfd = -1;
  std::uint8_t* memory = nullptr;
  std::size_t memoryBytes = 0, stride = 0;
  std::uint32_t count = 0;
  std::deque<std::uint32_t> queued;
  // How often the caller has each buffer of this allocation mapped: QUERYBUF says MAPPED
  // only then, and libv4l2 refuses to free buffers it sees mapped.
  std::map<std::uint32_t, int> mapped;
  unsigned allocation = 0;
  bool streaming = false;
  std::uint32_t sequence = 0;
  std::uint64_t served = 0;
  std::map<std::tuple<std::uint32_t, int, int>, std::vector<std::uint8_t>> frames;
};

struct CameraEmulator::Handle_ {
  std::string path;
  unsigned generation = 0;
  int timer = -1;  // also the descriptor the caller holds
};

namespace {

// The system-call hook has no way to carry context: it finds the emulator here.
std::atomic<CameraEmulator*> activeEmulator{nullptr};

using SyscallFn = long (*)(long, ...);

SyscallFn KernelSyscall() {
  // No function-local static: its guard may wait through syscall(SYS_futex), into here.
  static std::atomic<SyscallFn> real{nullptr};
  SyscallFn fn = real.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = reinterpret_cast<SyscallFn>(::dlsym(RTLD_NEXT, "syscall"));
    if (fn == nullptr) std::abort();
    real.store(fn, std::memory_order_release);
  }
  return fn;
}

bool IsDeviceCall(long number) {
  switch (number) {
    case SYS_open: case SYS_openat: case SYS_close: case SYS_ioctl: case SYS_read:
    case SYS_write: case SYS_mmap: case SYS_munmap:
      return true;
    default:
      return false;
  }
}

long Fail(int error) {
  errno = error;
  return -1;
}

std::size_t PageRound(std::size_t n) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

void CopyName(std::uint8_t* to, std::size_t size, const std::string& from) {
  std::memset(to, 0, size);
  std::memcpy(to, from.data(), std::min(size - 1, from.size()));
}

std::uint32_t BytesPerLine(std::uint32_t fourcc, int width) {
  return fourcc == V4L2_PIX_FMT_YUYV ? static_cast<std::uint32_t>(width) * 2 : 0;
}

std::vector<std::uint8_t> EncodeJpeg(const std::vector<std::uint8_t>& bgr, int width, int height) {
  CPicture picture(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 24,
                   kFormatBmp);
  for (int y = 0; y < height; ++y)
    std::memcpy(picture.Row(static_cast<std::uint32_t>(height - 1 - y)),
                bgr.data() + static_cast<std::size_t>(y) * width * 3,
                static_cast<std::size_t>(width) * 3);
  picture.Info().jpegQuality = 90;
  std::size_t size = 0;
  EncodedBytes bytes = picture.EncodeToMemory(kFormatJpeg, size);
  if (!bytes) throw std::runtime_error("the test picture does not encode as JPEG");
  return std::vector<std::uint8_t>(bytes.get(), bytes.get() + size);
}

std::uint8_t Clamp255(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// ITU-R BT.601 studio range, as USB cameras send it.
std::vector<std::uint8_t> ToYuyv(const std::vector<std::uint8_t>& bgr, int width, int height) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 2);
  for (std::size_t p = 0; p + 1 < static_cast<std::size_t>(width) * height; p += 2) {
    const std::uint8_t* a = &bgr[p * 3];
    const std::uint8_t* b = a + 3;
    auto luma = [](const std::uint8_t* px) {
      return Clamp255(16 + (66 * px[2] + 129 * px[1] + 25 * px[0] + 128) / 256);
    };
    const int r = (a[2] + b[2]) / 2, g = (a[1] + b[1]) / 2, bl = (a[0] + b[0]) / 2;
    std::uint8_t* o = &out[p * 2];
    o[0] = luma(a);
    o[1] = Clamp255(128 + (-38 * r - 74 * g + 112 * bl + 128) / 256);
    o[2] = luma(b);
    o[3] = Clamp255(128 + (112 * r - 94 * g - 18 * bl + 128) / 256);
  }
  return out;
}

const EmulatedFormat* FindFormat(const EmulatedCameraSpec& spec, std::uint32_t fourcc) {
  for (const EmulatedFormat& f : spec.formats)
    if (f.fourcc == fourcc) return &f;
  return nullptr;
}

// The mode of the format nearest to the size asked for, as drivers choose.
const EmulatedMode& NearestMode(const EmulatedFormat& format, int width, int height) {
  const EmulatedMode* best = &format.modes.front();
  for (const EmulatedMode& m : format.modes)
    if (std::abs(m.width - width) + std::abs(m.height - height) <
        std::abs(best->width - width) + std::abs(best->height - height))
      best = &m;
  return *best;
}

const EmulatedMode* FindMode(const EmulatedCameraSpec& spec, std::uint32_t fourcc, int w, int h) {
  const EmulatedFormat* format = FindFormat(spec, fourcc);
  if (format == nullptr) return nullptr;
  for (const EmulatedMode& m : format->modes)
    if (m.width == w && m.height == h) return &m;
  return nullptr;
}

const EmulatedControl* FindControl(const EmulatedCameraSpec& spec, std::uint32_t id) {
  for (const EmulatedControl& c : spec.controls)
    if (c.id == id) return &c;
  return nullptr;
}

// The control framework's answer to a new value: integers are clamped into range and onto
// the step, a menu value must be one of the entries.
bool Validate(const EmulatedControl& c, std::int32_t& value) {
  switch (c.type) {
    case V4L2_CTRL_TYPE_MENU:
      return c.menu.count(value) != 0;
    case V4L2_CTRL_TYPE_BOOLEAN:
      value = value != 0 ? 1 : 0;
      return true;
    default: {
      value = std::clamp(value, c.minimum, c.maximum);
      const std::int32_t step = c.step > 0 ? c.step : 1;
      value = c.minimum + (value - c.minimum + step / 2) / step * step;
      if (value > c.maximum) value -= step;
      return true;
    }
  }
}

}  // namespace

EmulatedCameraSpec UsbCameraSpec() {
  EmulatedCameraSpec spec;
  spec.card = "USB 2.0 HD Camera";
  spec.formats = {
      {V4L2_PIX_FMT_MJPEG, {{640, 480, {30, 15}}, {1280, 720, {30, 15}}, {1920, 1080, {30, 15}}}},
      {V4L2_PIX_FMT_YUYV, {{640, 480, {30, 15}}, {1280, 720, {10, 5}}, {1920, 1080, {5}}}},
  };
  EmulatedControl brightness;
  brightness.id = V4L2_CID_BRIGHTNESS;
  brightness.name = "Brightness";
  brightness.minimum = -64;
  brightness.maximum = 64;
  brightness.defaultValue = 0;
  EmulatedControl whiteBalance;
  whiteBalance.id = V4L2_CID_AUTO_WHITE_BALANCE;
  whiteBalance.name = "White Balance, Automatic";
  whiteBalance.type = V4L2_CTRL_TYPE_BOOLEAN;
  whiteBalance.minimum = 0;
  whiteBalance.maximum = 1;
  whiteBalance.defaultValue = 1;
  EmulatedControl power;
  power.id = V4L2_CID_POWER_LINE_FREQUENCY;
  power.name = "Power Line Frequency";
  power.type = V4L2_CTRL_TYPE_MENU;
  power.minimum = 0;
  power.maximum = 2;
  power.defaultValue = 1;
  power.menu = {{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}};
  EmulatedControl exposure;
  exposure.id = V4L2_CID_EXPOSURE_AUTO;
  exposure.name = "Auto Exposure";
  exposure.type = V4L2_CTRL_TYPE_MENU;
  exposure.minimum = 0;
  exposure.maximum = 3;
  exposure.defaultValue = 3;
  exposure.menu = {{1, "Manual Mode"}, {3, "Aperture Priority Mode"}};
  spec.controls = {brightness, whiteBalance, power, exposure};  // in id order
  std::sort(spec.controls.begin(), spec.controls.end(),
            [](const EmulatedControl& a, const EmulatedControl& b) { return a.id < b.id; });
  return spec;
}

std::vector<std::uint8_t> ScenePixels(int width, int height, int noise) {
  std::vector<std::uint8_t> bgr(static_cast<std::size_t>(width) * height * 3);
  const int bw = width / 8, bh = height / 8;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &bgr[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<std::uint8_t>(40 + x * 170 / width);
      p[1] = static_cast<std::uint8_t>(40 + y * 170 / height);
      p[2] = static_cast<std::uint8_t>(200 - (x + y) * 150 / (width + height));
      const bool left = x < bw, right = x >= width - bw, top = y < bh, bottom = y >= height - bh;
      if (!(left || right) || !(top || bottom)) continue;
      static constexpr std::uint8_t kCorner[4][3] = {
          {30, 30, 220}, {30, 220, 30}, {220, 30, 30}, {230, 230, 230}};  // BGR
      const int corner = (bottom ? 2 : 0) + (right ? 1 : 0);
      std::memcpy(p, kCorner[corner], 3);
    }
  }
  if (noise > 0) {
    std::uint32_t state = 2463534242u;  // xorshift: the same noise in every run
    for (std::uint8_t& byte : bgr) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = Clamp255(byte + static_cast<int>(state % (2u * noise + 1)) - noise);
    }
  }
  return bgr;
}

CameraEmulator::CameraEmulator() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orbiscope-cameras-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no folder for the camera nodes");
  folder_ = pattern;
  CameraEmulator* expected = nullptr;
  if (!activeEmulator.compare_exchange_strong(expected, this))
    throw std::logic_error("a second camera emulator in one process");
}

CameraEmulator::~CameraEmulator() {
  activeEmulator.store(nullptr);
  std::lock_guard lock(mutex_);
  for (auto& [fd, handle] : handles_) ::close(fd);
  for (auto& [path, camera] : cameras_) ReleaseBuffers(*camera);
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

std::string CameraEmulator::AddCamera(int number, EmulatedCameraSpec spec) {
  const std::string path = folder_ + "/video" + std::to_string(number);
  {
    std::lock_guard lock(mutex_);
    auto camera = std::make_unique<Camera>();
    camera->spec = std::move(spec);
    cameras_[path] = std::move(camera);
  }
  Plug(path);
  return path;
}

CameraEmulator::Camera* CameraEmulator::CameraOf(const std::string& path) {
  const auto it = cameras_.find(path);
  return it == cameras_.end() ? nullptr : it->second.get();
}

void CameraEmulator::Unplug(const std::string& path) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  if (c == nullptr || !c->present) return;
  c->present = false;
  ReleaseBuffers(*c);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  // Whoever polls a descriptor of the camera wakes up and meets ENODEV.
  const itimerspec now{{0, 0}, {0, 1}};
  for (auto& [fd, handle] : handles_)
    if (handle->path == path) ::timerfd_settime(fd, 0, &now, nullptr);
}

void CameraEmulator::Plug(const std::string& path) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  if (c == nullptr) return;
  ReleaseBuffers(*c);
  const EmulatedFormat& format = c->spec.formats.front();
  c->present = true;
  ++c->generation;
  c->fourcc = format.fourcc;
  c->width = format.modes.front().width;
  c->height = format.modes.front().height;
  c->interval = v4l2_fract{1, format.modes.front().rates.front()};
  c->values.clear();
  for (const EmulatedControl& control : c->spec.controls) c->values[control.id] = control.defaultValue;
  c->sequence = 0;
  c->served = 0;
  std::ofstream(path).flush();
}

CameraEmulator::Mode CameraEmulator::CurrentMode(const std::string& path) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  if (c == nullptr) return {};
  return Mode{c->fourcc, c->width, c->height, c->interval};
}

std::int32_t CameraEmulator::ControlValue(const std::string& path, std::uint32_t id) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  return c == nullptr ? 0 : c->values[id];
}

std::uint64_t CameraEmulator::FramesServed(const std::string& path) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  return c == nullptr ? 0 : c->served;
}

std::vector<unsigned long> CameraEmulator::UnknownRequests() {
  std::lock_guard lock(mutex_);
  return unknown_;
}

void CameraEmulator::ReleaseBuffers(Camera& c) {
  // Mappings made by the caller keep the memory alive, as they do with a driver.
  if (c.memory != nullptr) ::munmap(c.memory, c.memoryBytes);
  if (c.memfd >= 0) ::close(c.memfd);
  c.memory = nullptr;
  c.memfd = -1;
  c.memoryBytes = c.stride = 0;
  c.count = 0;
  c.queued.clear();
  c.mapped.clear();
  ++c.allocation;
  c.streaming = false;
}

void CameraEmulator::StartTimer(Handle_& h, const Camera& c) {
  const std::int64_t ns = static_cast<std::int64_t>(c.interval.numerator) * 1'000'000'000 /
                          std::max<std::uint32_t>(c.interval.denominator, 1);
  const timespec period{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  const itimerspec spec{period, period};
  ::timerfd_settime(h.timer, 0, &spec, nullptr);
}

const std::vector<std::uint8_t>& CameraEmulator::FrameBytes(Camera& c) {
  auto& frame = c.frames[{c.fourcc, c.width, c.height}];
  if (frame.empty()) {
    const std::vector<std::uint8_t> bgr = ScenePixels(c.width, c.height, c.spec.noise);
    frame = c.fourcc == V4L2_PIX_FMT_MJPEG ? EncodeJpeg(bgr, c.width, c.height)
                                           : ToYuyv(bgr, c.width, c.height);
  }
  return frame;
}

bool CameraEmulator::Handle(long number, const long args[6], long& result) {
  if (number == SYS_open || number == SYS_openat) {
    const char* path = reinterpret_cast<const char*>(args[number == SYS_open ? 0 : 1]);
    if (path == nullptr || std::strncmp(path, folder_.c_str(), folder_.size()) != 0 ||
        path[folder_.size()] != '/')
      return false;
    result = Open(path, args[number == SYS_open ? 1 : 2]);
    return true;
  }
  std::lock_guard lock(mutex_);
  if (number == SYS_munmap) {
    const auto m = mappings_.find(static_cast<std::uintptr_t>(args[0]));
    if (m == mappings_.end()) return false;
    Camera* c = CameraOf(m->second.path);
    if (c != nullptr && c->allocation == m->second.allocation && --c->mapped[m->second.index] == 0)
      c->mapped.erase(m->second.index);
    mappings_.erase(m);
    result = ::munmap(reinterpret_cast<void*>(args[0]), static_cast<std::size_t>(args[1]));
    return true;
  }
  const int fd = static_cast<int>(number == SYS_mmap ? args[4] : args[0]);
  const auto it = handles_.find(fd);
  if (it == handles_.end()) return false;
  Handle_& h = *it->second;
  Camera* c = CameraOf(h.path);
  const bool gone = c == nullptr || !c->present || c->generation != h.generation;
  switch (number) {
    case SYS_close:
      if (!gone && c->streaming) ReleaseBuffers(*c);
      ::close(fd);
      handles_.erase(it);
      result = 0;
      return true;
    case SYS_ioctl:
      result = gone ? Fail(ENODEV)
                    : Ioctl(h, *c, static_cast<unsigned long>(args[1]), reinterpret_cast<void*>(args[2]));
      return true;
    case SYS_read:
      result = gone ? Fail(ENODEV)
                    : Read(h, *c, reinterpret_cast<void*>(args[1]), static_cast<std::size_t>(args[2]));
      return true;
    case SYS_mmap:
      result = gone ? Fail(ENODEV)
                    : Mmap(h, *c, static_cast<std::size_t>(args[1]), static_cast<int>(args[2]),
                           static_cast<int>(args[3]), args[5]);
      return true;
    default:
      result = Fail(gone ? ENODEV : EINVAL);
      return true;
  }
}

long CameraEmulator::Open(const char* path, long flags) {
  std::lock_guard lock(mutex_);
  Camera* c = CameraOf(path);
  if (c == nullptr || !c->present) return Fail(ENOENT);
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | ((flags & O_CLOEXEC) ? TFD_CLOEXEC : 0));
  if (timer < 0) return -1;
  auto h = std::make_unique<Handle_>();
  h->path = path;
  h->generation = c->generation;
  h->timer = timer;
  // A camera without streaming captures as soon as it is open, for poll and read.
  if (!c->spec.streaming) StartTimer(*h, *c);
  handles_[timer] = std::move(h);
  return timer;
}

long CameraEmulator::Read(Handle_& h, Camera& c, void* buffer, std::size_t length) {
  if (c.spec.streaming) return Fail(EINVAL);
  std::uint64_t expirations = 0;
  if (::read(h.timer, &expirations, sizeof expirations) != sizeof expirations) return Fail(EAGAIN);
  const std::vector<std::uint8_t>& frame = FrameBytes(c);
  const std::size_t n = std::min(length, frame.size());
  std::memcpy(buffer, frame.data(), n);
  ++c.served;
  return static_cast<long>(n);
}

long CameraEmulator::Mmap(Handle_& h, Camera& c, std::size_t length, int prot, int flags,
                          std::int64_t offset) {
  if (c.memfd < 0 || offset < 0 || length == 0 || static_cast<std::size_t>(offset) % c.stride != 0 ||
      static_cast<std::size_t>(offset) + length > c.memoryBytes)
    return Fail(EINVAL);
  void* p = ::mmap(nullptr, length, prot, flags, c.memfd, offset);
  if (p == MAP_FAILED) return -1;
  const auto index = static_cast<std::uint32_t>(static_cast<std::size_t>(offset) / c.stride);
  ++c.mapped[index];
  mappings_[reinterpret_cast<std::uintptr_t>(p)] = Mapping{h.path, c.allocation, index};
  return reinterpret_cast<long>(p);
}

long CameraEmulator::Dequeue(Handle_& h, Camera& c, v4l2_buffer& buf) {
  if (!c.streaming || buf.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf.memory != V4L2_MEMORY_MMAP)
    return Fail(EINVAL);
  // Opened blocking or not, a dequeue never waits: every caller here polls first.
  std::uint64_t expirations = 0;
  if (c.queued.empty() || ::read(h.timer, &expirations, sizeof expirations) != sizeof expirations)
    return Fail(EAGAIN);
  const std::uint32_t index = c.queued.front();
  c.queued.pop_front();
  const std::vector<std::uint8_t>& frame = FrameBytes(c);
  std::size_t size = std::min(frame.size(), c.stride);
  if (c.spec.truncateEvery > 0 && (c.served + 1) % static_cast<std::uint64_t>(c.spec.truncateEvery) == 0)
    size /= 3;
  std::memcpy(c.memory + index * c.stride, frame.data(), size);
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  buf.index = index;
  buf.bytesused = static_cast<std::uint32_t>(size);
  buf.flags = (c.mapped.count(index) ? V4L2_BUF_FLAG_MAPPED : 0) | V4L2_BUF_FLAG_DONE |
              V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
  buf.field = V4L2_FIELD_NONE;
  buf.timestamp.tv_sec = now.tv_sec;
  buf.timestamp.tv_usec = now.tv_nsec / 1000;
  buf.sequence = c.sequence++;
  buf.m.offset = static_cast<std::uint32_t>(index * c.stride);
  buf.length = static_cast<std::uint32_t>(c.stride);
  ++c.served;
  return 0;
}

long CameraEmulator::Ioctl(Handle_& h, Camera& c, unsigned long request, void* arg) {
  const EmulatedCameraSpec& spec = c.spec;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto& caps = *static_cast<v4l2_capability*>(arg);
      std::memset(&caps, 0, sizeof caps);
      CopyName(caps.driver, sizeof caps.driver, "uvcvideo");
      CopyName(caps.card, sizeof caps.card, spec.card);
      CopyName(caps.bus_info, sizeof caps.bus_info, "usb-0000:00:14.0-1");
      caps.version = (6u << 16) | (1u << 8);
      caps.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_EXT_PIX_FORMAT |
                         (spec.streaming ? V4L2_CAP_STREAMING : V4L2_CAP_READWRITE);
      caps.capabilities = caps.device_caps | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUMINPUT: {
      auto& input = *static_cast<v4l2_input*>(arg);
      if (input.index != 0) return Fail(EINVAL);
      const std::uint32_t index = input.index;
      std::memset(&input, 0, sizeof input);
      input.index = index;
      CopyName(input.name, sizeof input.name, "Camera 1");
      input.type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    case VIDIOC_G_INPUT:
      *static_cast<int*>(arg) = 0;
      return 0;
    case VIDIOC_S_INPUT:
      return *static_cast<int*>(arg) == 0 ? 0 : Fail(EINVAL);
    case VIDIOC_ENUM_FMT: {
      auto& desc = *static_cast<v4l2_fmtdesc*>(arg);
      if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= spec.formats.size()) return Fail(EINVAL);
      const EmulatedFormat& f = spec.formats[desc.index];
      desc.flags = f.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
      desc.pixelformat = f.fourcc;
      CopyName(desc.description, sizeof desc.description,
               f.fourcc == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG" : "YUYV 4:2:2");
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto& size = *static_cast<v4l2_frmsizeenum*>(arg);
      const EmulatedFormat* f = FindFormat(spec, size.pixel_format);
      if (f == nullptr || size.index >= f->modes.size()) return Fail(EINVAL);
      size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
      size.discrete.width = static_cast<std::uint32_t>(f->modes[size.index].width);
      size.discrete.height = static_cast<std::uint32_t>(f->modes[size.index].height);
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto& ival = *static_cast<v4l2_frmivalenum*>(arg);
      const EmulatedMode* m = FindMode(spec, ival.pixel_format, static_cast<int>(ival.width),
                                       static_cast<int>(ival.height));
      if (m == nullptr || ival.index >= m->rates.size()) return Fail(EINVAL);
      ival.type = V4L2_FRMIVAL_TYPE_DISCRETE;
      ival.discrete = v4l2_fract{1, m->rates[ival.index]};
      return 0;
    }
    case VIDIOC_G_FMT: case VIDIOC_TRY_FMT: case VIDIOC_S_FMT: {
      auto& fmt = *static_cast<v4l2_format*>(arg);
      if (fmt.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return Fail(EINVAL);
      v4l2_pix_format& pix = fmt.fmt.pix;
      std::uint32_t fourcc = c.fourcc;
      int width = c.width, height = c.height;
      if (request != VIDIOC_G_FMT) {
        // An unknown format becomes the first one, an unknown size the nearest one.
        const EmulatedFormat* f = FindFormat(spec, pix.pixelformat);
        if (f == nullptr) f = &spec.formats.front();
        const EmulatedMode& m = NearestMode(*f, static_cast<int>(pix.width), static_cast<int>(pix.height));
        fourcc = f->fourcc;
        width = m.width;
        height = m.height;
      }
      if (request == VIDIOC_S_FMT) {
        if (c.count != 0) return Fail(EBUSY);
        const bool changed = fourcc != c.fourcc || width != c.width || height != c.height;
        c.fourcc = fourcc;
        c.width = width;
        c.height = height;
        if (changed) c.interval = v4l2_fract{1, FindMode(spec, fourcc, width, height)->rates.front()};
      }
      std::memset(&fmt.fmt, 0, sizeof fmt.fmt);
      pix.width = static_cast<std::uint32_t>(width);
      pix.height = static_cast<std::uint32_t>(height);
      pix.pixelformat = fourcc;
      pix.field = V4L2_FIELD_NONE;
      pix.bytesperline = BytesPerLine(fourcc, width);
      pix.sizeimage = static_cast<std::uint32_t>(width * height * 2);
      pix.colorspace = V4L2_COLORSPACE_SRGB;
      return 0;
    }
    case VIDIOC_G_PARM: case VIDIOC_S_PARM: {
      auto& parm = *static_cast<v4l2_streamparm*>(arg);
      if (parm.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return Fail(EINVAL);
      if (request == VIDIOC_S_PARM) {
        const v4l2_fract asked = parm.parm.capture.timeperframe;
        const EmulatedMode* m = FindMode(spec, c.fourcc, c.width, c.height);
        // The supported rate nearest to the one asked for; no rate asked leaves it.
        if (asked.numerator != 0 && asked.denominator != 0) {
          const double want = static_cast<double>(asked.denominator) / asked.numerator;
          std::uint32_t best = m->rates.front();
          for (std::uint32_t r : m->rates)
            if (std::abs(r - want) < std::abs(best - want)) best = r;
          c.interval = v4l2_fract{1, best};
          if (c.streaming) StartTimer(h, c);
        }
      }
      std::memset(&parm.parm, 0, sizeof parm.parm);
      parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      parm.parm.capture.timeperframe = c.interval;
      parm.parm.capture.readbuffers = spec.streaming ? 0 : 2;
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto& req = *static_cast<v4l2_requestbuffers*>(arg);
      if (!spec.streaming || req.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req.memory != V4L2_MEMORY_MMAP)
        return Fail(EINVAL);
      if (c.streaming) return Fail(EBUSY);
      ReleaseBuffers(c);
      req.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
      if (req.count == 0) return 0;
      req.count = std::clamp<std::uint32_t>(req.count, 2, 8);
      c.stride = PageRound(static_cast<std::size_t>(c.width) * c.height * 2);
      c.memoryBytes = c.stride * req.count;
      c.memfd = ::memfd_create("orbiscope-camera", MFD_CLOEXEC);
      if (c.memfd < 0 || ::ftruncate(c.memfd, static_cast<off_t>(c.memoryBytes)) != 0) {
        ReleaseBuffers(c);
        return Fail(ENOMEM);
      }
      void* p = ::mmap(nullptr, c.memoryBytes, PROT_READ | PROT_WRITE, MAP_SHARED, c.memfd, 0);
      if (p == MAP_FAILED) {
        ReleaseBuffers(c);
        return Fail(ENOMEM);
      }
      c.memory = static_cast<std::uint8_t*>(p);
      c.count = req.count;
      return 0;
    }
    case VIDIOC_QUERYBUF: case VIDIOC_QBUF: {
      auto& buf = *static_cast<v4l2_buffer*>(arg);
      if (buf.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf.memory != V4L2_MEMORY_MMAP || buf.index >= c.count)
        return Fail(EINVAL);
      const bool queued = std::find(c.queued.begin(), c.queued.end(), buf.index) != c.queued.end();
      if (request == VIDIOC_QBUF) {
        if (queued) return Fail(EINVAL);
        c.queued.push_back(buf.index);
      }
      buf.length = static_cast<std::uint32_t>(c.stride);
      buf.m.offset = static_cast<std::uint32_t>(buf.index * c.stride);
      buf.flags = (c.mapped.count(buf.index) ? V4L2_BUF_FLAG_MAPPED : 0) | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
                  ((queued || request == VIDIOC_QBUF) ? V4L2_BUF_FLAG_QUEUED : 0);
      return 0;
    }
    case VIDIOC_DQBUF:
      return Dequeue(h, c, *static_cast<v4l2_buffer*>(arg));
    case VIDIOC_STREAMON: case VIDIOC_STREAMOFF: {
      if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE || c.count == 0) return Fail(EINVAL);
      c.streaming = request == VIDIOC_STREAMON;
      if (c.streaming) {
        StartTimer(h, c);
      } else {
        c.queued.clear();
        const itimerspec off{};
        ::timerfd_settime(h.timer, 0, &off, nullptr);
      }
      return 0;
    }
    case VIDIOC_QUERYCTRL: case VIDIOC_QUERY_EXT_CTRL: {
      // Both start with the id; with the "next" flag it names the control before.
      std::uint32_t& id = *static_cast<std::uint32_t*>(arg);
      const EmulatedControl* found = nullptr;
      if (id & (V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND)) {
        const std::uint32_t after = id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
        for (const EmulatedControl& control : spec.controls)
          if (control.id > after && (found == nullptr || control.id < found->id)) found = &control;
      } else {
        found = FindControl(spec, id);
      }
      if (found == nullptr) return Fail(EINVAL);
      if (request == VIDIOC_QUERYCTRL) {
        auto& q = *static_cast<v4l2_queryctrl*>(arg);
        std::memset(&q, 0, sizeof q);
        q.id = found->id;
        q.type = found->type;
        CopyName(q.name, sizeof q.name, found->name);
        q.minimum = found->minimum;
        q.maximum = found->maximum;
        q.step = found->type == V4L2_CTRL_TYPE_MENU ? 1 : found->step;
        q.default_value = found->defaultValue;
      } else {
        auto& q = *static_cast<v4l2_query_ext_ctrl*>(arg);
        std::memset(&q, 0, sizeof q);
        q.id = found->id;
        q.type = found->type;
        std::memset(q.name, 0, sizeof q.name);
        std::memcpy(q.name, found->name.data(), std::min(sizeof q.name - 1, found->name.size()));
        q.minimum = found->minimum;
        q.maximum = found->maximum;
        q.step = static_cast<std::uint64_t>(found->type == V4L2_CTRL_TYPE_MENU ? 1 : found->step);
        q.default_value = found->defaultValue;
        q.elem_size = 4;
        q.elems = 1;
      }
      return 0;
    }
    case VIDIOC_QUERYMENU: {
      auto& item = *static_cast<v4l2_querymenu*>(arg);
      const EmulatedControl* control = FindControl(spec, item.id);
      if (control == nullptr || control->type != V4L2_CTRL_TYPE_MENU) return Fail(EINVAL);
      const auto entry = control->menu.find(static_cast<std::int32_t>(item.index));
      if (entry == control->menu.end()) return Fail(EINVAL);
      std::memset(item.name, 0, sizeof item.name);
      std::memcpy(item.name, entry->second.data(), std::min(sizeof item.name - 1, entry->second.size()));
      return 0;
    }
    case VIDIOC_G_CTRL: case VIDIOC_S_CTRL: {
      auto& control = *static_cast<v4l2_control*>(arg);
      const EmulatedControl* known = FindControl(spec, control.id);
      if (known == nullptr) return Fail(EINVAL);
      if (request == VIDIOC_S_CTRL) {
        if (!Validate(*known, control.value)) return Fail(EINVAL);
        c.values[control.id] = control.value;
      }
      control.value = c.values[control.id];
      return 0;
    }
    case VIDIOC_G_EXT_CTRLS: case VIDIOC_S_EXT_CTRLS: case VIDIOC_TRY_EXT_CTRLS: {
      auto& list = *static_cast<v4l2_ext_controls*>(arg);
      for (std::uint32_t i = 0; i < list.count; ++i) {
        v4l2_ext_control& one = list.controls[i];
        const EmulatedControl* known = FindControl(spec, one.id);
        std::int32_t value = one.value;
        if (known == nullptr || (request != VIDIOC_G_EXT_CTRLS && !Validate(*known, value))) {
          list.error_idx = i;
          return Fail(EINVAL);
        }
        if (request == VIDIOC_S_EXT_CTRLS) c.values[one.id] = value;
        one.value = request == VIDIOC_G_EXT_CTRLS ? c.values[one.id] : value;
      }
      return 0;
    }
    default:
      unknown_.push_back(request);
      return Fail(ENOTTY);
  }
}

}  // namespace orbiscope::testing

// Every system call of the process comes here first; all but a device node's go on to the
// kernel at once, before any lock, so that futex waits inside the C++ library stay cheap.
extern "C" long syscall(long number, ...) noexcept {
  va_list ap;
  va_start(ap, number);
  long args[6];
  for (long& a : args) a = va_arg(ap, long);
  va_end(ap);
  using orbiscope::testing::activeEmulator;
  if (orbiscope::testing::IsDeviceCall(number)) {
    if (auto* emulator = activeEmulator.load(std::memory_order_acquire)) {
      long result = 0;
      if (emulator->Handle(number, args, result)) return result;
    }
  }
  return orbiscope::testing::KernelSyscall()(number, args[0], args[1], args[2], args[3], args[4],
                                             args[5]);
}
