#include "tests/capture/FakeV4L2Device.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace orbiscope::testing {
namespace {

constexpr int kOffsetShift = 24;  // buffer i is mapped at offset i << 24

int Fail(int error) {
  errno = error;
  return -1;
}

void CopyName(std::uint8_t* out, std::size_t size, const std::string& name) {
  std::memset(out, 0, size);
  std::memcpy(out, name.data(), std::min(size - 1, name.size()));
}

}  // namespace

void FakeV4L2Device::AddCamera(FakeCamera camera) {
  std::lock_guard lock(mutex_);
  State s;
  s.parm = camera.interval;
  s.camera = std::move(camera);
  cameras_[s.camera.path] = std::move(s);
}

bool FakeV4L2Device::PushFrame(const std::string& path, int n) {
  std::lock_guard lock(mutex_);
  State& s = cameras_.at(path);
  if (!s.present || !s.streaming || s.queued.empty()) return false;
  const std::uint32_t index = s.queued.front();
  s.queued.pop_front();
  std::vector<std::uint8_t>& buf = s.buffers[index];
  for (int r = 0; r < s.height; ++r)
    std::memset(buf.data() + static_cast<std::size_t>(r) * s.stride, (n + r) & 255, s.stride);
  s.filled.push_back(index);
  cv_.notify_all();
  return true;
}

void FakeV4L2Device::Unplug(const std::string& path) {
  std::lock_guard lock(mutex_);
  cameras_.at(path).present = false;
  ++generation_;
  cv_.notify_all();
}

void FakeV4L2Device::Plug(const std::string& path) {
  std::lock_guard lock(mutex_);
  State& s = cameras_.at(path);
  FakeCamera camera = s.camera;
  s = State{};
  s.parm = camera.interval;
  s.camera = std::move(camera);
  ++generation_;
  cv_.notify_all();
}

void FakeV4L2Device::FailStreamOn(const std::string& path, int times) {
  std::lock_guard lock(mutex_);
  cameras_.at(path).streamOnFailures = times;
}

v4l2_fract FakeV4L2Device::Interval(const std::string& path) {
  std::lock_guard lock(mutex_);
  return cameras_.at(path).parm;
}

std::int32_t FakeV4L2Device::ControlValue(const std::string& path, std::uint32_t id) {
  std::lock_guard lock(mutex_);
  for (const FakeControl& c : cameras_.at(path).camera.controls)
    if (c.id == id) return c.value;
  return -1;
}

bool FakeV4L2Device::WaitUntilStreaming(const std::string& path) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
    const State& s = cameras_.at(path);
    return s.streaming && !s.queued.empty();
  });
}

FakeV4L2Device::State* FakeV4L2Device::ByFd(int fd) {
  auto it = fds_.find(fd);
  if (it == fds_.end()) return nullptr;
  return &cameras_.at(it->second);
}

int FakeV4L2Device::Open(const std::string& path, int) {
  std::lock_guard lock(mutex_);
  auto it = cameras_.find(path);
  if (it == cameras_.end() || !it->second.present) return Fail(ENOENT);
  fds_[nextFd_] = path;
  return nextFd_++;
}

int FakeV4L2Device::Close(int fd) {
  std::lock_guard lock(mutex_);
  return fds_.erase(fd) == 1 ? 0 : Fail(EBADF);
}

int FakeV4L2Device::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard lock(mutex_);
  State* s = ByFd(fd);
  if (s == nullptr) return Fail(EBADF);
  if (!s->present) return Fail(ENODEV);
  const int r = HandleLocked(*s, request, arg);
  cv_.notify_all();
  return r;
}

int FakeV4L2Device::HandleLocked(State& s, unsigned long request, void* arg) {
  FakeCamera& cam = s.camera;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* caps = static_cast<v4l2_capability*>(arg);
      std::memset(caps, 0, sizeof *caps);
      CopyName(caps->card, sizeof caps->card, cam.card);
      caps->capabilities = cam.caps | V4L2_CAP_DEVICE_CAPS;
      caps->device_caps = cam.caps;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* desc = static_cast<v4l2_fmtdesc*>(arg);
      if (desc->index >= cam.formats.size()) return Fail(EINVAL);
      desc->pixelformat = cam.formats[desc->index].first;
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* size = static_cast<v4l2_frmsizeenum*>(arg);
      for (const auto& f : cam.formats) {
        if (f.first != size->pixel_format) continue;
        if (size->index >= f.second.size()) return Fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = static_cast<std::uint32_t>(f.second[size->index].first);
        size->discrete.height = static_cast<std::uint32_t>(f.second[size->index].second);
        return 0;
      }
      return Fail(EINVAL);
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* interval = static_cast<v4l2_frmivalenum*>(arg);
      if (interval->index != 0) return Fail(EINVAL);
      interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
      interval->discrete = cam.interval;
      return 0;
    }
    case VIDIOC_S_FMT: {
      if (s.streaming) return Fail(EBUSY);
      auto* fmt = static_cast<v4l2_format*>(arg);
      // Like a driver: an unknown format becomes the first one, an unknown size its first.
      const auto* chosen = &cam.formats.front();
      for (const auto& f : cam.formats)
        if (f.first == fmt->fmt.pix.pixelformat) chosen = &f;
      std::pair<int, int> size = chosen->second.front();
      for (const auto& wh : chosen->second)
        if (wh.first == static_cast<int>(fmt->fmt.pix.width) && wh.second == static_cast<int>(fmt->fmt.pix.height))
          size = wh;
      s.pixelFormat = chosen->first;
      s.width = size.first;
      s.height = size.second;
      s.stride = static_cast<std::uint32_t>(size.first) * 3 + cam.strideExtra;
      fmt->fmt.pix.pixelformat = s.pixelFormat;
      fmt->fmt.pix.width = static_cast<std::uint32_t>(s.width);
      fmt->fmt.pix.height = static_cast<std::uint32_t>(s.height);
      fmt->fmt.pix.bytesperline = s.stride;
      fmt->fmt.pix.sizeimage = s.stride * static_cast<std::uint32_t>(s.height);
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* parm = static_cast<v4l2_streamparm*>(arg);
      if (request == VIDIOC_S_PARM) s.parm = parm->parm.capture.timeperframe;
      parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      parm->parm.capture.timeperframe = s.parm;
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* req = static_cast<v4l2_requestbuffers*>(arg);
      s.buffers.assign(req->count, std::vector<std::uint8_t>(s.stride * static_cast<std::size_t>(s.height)));
      s.queued.clear();
      s.filled.clear();
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* buf = static_cast<v4l2_buffer*>(arg);
      if (buf->index >= s.buffers.size()) return Fail(EINVAL);
      buf->length = static_cast<std::uint32_t>(s.buffers[buf->index].size());
      buf->m.offset = buf->index << kOffsetShift;
      return 0;
    }
    case VIDIOC_QBUF: {
      auto* buf = static_cast<v4l2_buffer*>(arg);
      if (buf->index >= s.buffers.size()) return Fail(EINVAL);
      s.queued.push_back(buf->index);
      return 0;
    }
    case VIDIOC_DQBUF: {
      if (s.filled.empty()) return Fail(EAGAIN);
      auto* buf = static_cast<v4l2_buffer*>(arg);
      buf->index = s.filled.front();
      s.filled.pop_front();
      buf->bytesused = static_cast<std::uint32_t>(s.buffers[buf->index].size());
      buf->sequence = s.sequence++;
      buf->flags = 0;
      return 0;
    }
    case VIDIOC_STREAMON:
      if (s.streamOnFailures > 0) {
        --s.streamOnFailures;
        return Fail(EBUSY);
      }
      s.streaming = true;
      return 0;
    case VIDIOC_STREAMOFF:
      s.streaming = false;
      s.queued.clear();
      s.filled.clear();
      return 0;
    case VIDIOC_QUERYCTRL: {
      auto* q = static_cast<v4l2_queryctrl*>(arg);
      const bool next = (q->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
      const std::uint32_t id = q->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
      for (const FakeControl& c : cam.controls) {
        if (next ? c.id <= id : c.id != id) continue;
        std::memset(q, 0, sizeof *q);
        q->id = c.id;
        q->type = c.type;
        CopyName(q->name, sizeof q->name, c.name);
        q->minimum = c.minimum;
        q->maximum = c.maximum;
        q->step = c.step;
        q->default_value = c.defaultValue;
        return 0;
      }
      return Fail(EINVAL);
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      auto* ctl = static_cast<v4l2_control*>(arg);
      for (FakeControl& c : cam.controls) {
        if (c.id != ctl->id) continue;
        if (request == VIDIOC_S_CTRL) {
          if (ctl->value < c.minimum || ctl->value > c.maximum) return Fail(ERANGE);
          c.value = ctl->value;
        }
        ctl->value = c.value;
        return 0;
      }
      return Fail(EINVAL);
    }
    case VIDIOC_QUERYMENU: {
      auto* item = static_cast<v4l2_querymenu*>(arg);
      for (const FakeControl& c : cam.controls) {
        if (c.id != item->id) continue;
        const std::int64_t k = static_cast<std::int64_t>(item->index) - c.minimum;
        if (k < 0 || k >= static_cast<std::int64_t>(c.menu.size())) return Fail(EINVAL);
        CopyName(item->name, sizeof item->name, c.menu[static_cast<std::size_t>(k)]);
        return 0;
      }
      return Fail(EINVAL);
    }
    default:
      return Fail(ENOTTY);
  }
}

void* FakeV4L2Device::Mmap(std::size_t length, int fd, std::int64_t offset) {
  std::lock_guard lock(mutex_);
  State* s = ByFd(fd);
  const std::size_t index = static_cast<std::size_t>(offset >> kOffsetShift);
  if (s == nullptr || index >= s->buffers.size() || s->buffers[index].size() != length) {
    errno = EINVAL;
    return nullptr;
  }
  return s->buffers[index].data();
}

int FakeV4L2Device::Munmap(void*, std::size_t) { return 0; }

long FakeV4L2Device::Read(int, void*, std::size_t) { return Fail(EINVAL); }

int FakeV4L2Device::WaitReadable(int fd, std::stop_token stop, int timeoutMs) {
  std::unique_lock lock(mutex_);
  auto ready = [&] {
    State* s = ByFd(fd);
    return s == nullptr || !s->present || !s->filled.empty();
  };
  if (!cv_.wait_for(lock, stop, std::chrono::milliseconds(timeoutMs), ready)) return 0;
  State* s = ByFd(fd);
  if (s == nullptr) return Fail(EBADF);
  if (!s->present) return Fail(ENODEV);
  return 1;
}

std::vector<std::string> FakeV4L2Device::ListNodes() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> nodes;
  for (const auto& [path, s] : cameras_)
    if (s.present) nodes.push_back(path);
  return nodes;
}

void FakeV4L2Device::WaitForNodeChange(std::stop_token stop, int timeoutMs) {
  std::unique_lock lock(mutex_);
  const unsigned long seen = generation_;
  cv_.wait_for(lock, stop, std::chrono::milliseconds(timeoutMs), [&] { return generation_ != seen; });
}

}  // namespace orbiscope::testing
