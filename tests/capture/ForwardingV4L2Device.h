#pragma once
// A V4L2 device that hands every call to another: the base of wrappers that watch a few
// calls (their time, their moment) and override only those.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/V4L2Device.h"

namespace orbiscope::testing {

class ForwardingV4L2Device : public V4L2Device {
public:
  explicit ForwardingV4L2Device(std::unique_ptr<V4L2Device> inner) : inner_(std::move(inner)) {}

  int Open(const std::string& path, int flags) override { return inner_->Open(path, flags); }
  int Close(int fd) override { return inner_->Close(fd); }
  int Ioctl(int fd, unsigned long request, void* arg) override { return inner_->Ioctl(fd, request, arg); }
  void* Mmap(std::size_t length, int fd, std::int64_t offset) override {
    return inner_->Mmap(length, fd, offset);
  }
  int Munmap(void* address, std::size_t length) override { return inner_->Munmap(address, length); }
  long Read(int fd, void* buffer, std::size_t length) override { return inner_->Read(fd, buffer, length); }
  int WaitReadable(int fd, std::stop_token stop, int timeoutMs) override {
    return inner_->WaitReadable(fd, std::move(stop), timeoutMs);
  }
  std::vector<std::string> ListNodes() override { return inner_->ListNodes(); }
  void WaitForNodeChange(std::stop_token stop, int timeoutMs) override {
    inner_->WaitForNodeChange(std::move(stop), timeoutMs);
  }
  std::unique_ptr<V4L2Converter> MakeConverter(int fd) override { return inner_->MakeConverter(fd); }

private:
  std::unique_ptr<V4L2Device> inner_;
};

}  // namespace orbiscope::testing
