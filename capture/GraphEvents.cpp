#include "capture/GraphEvents.h"

#include "capture/CaptureEventSink.h"

namespace orbiscope {

GraphEvents::GraphEvents(CaptureEventSink* notify, long instance)
    : notify_(notify), instance_(instance) {}

GraphEvents::~GraphEvents() {
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watcher_.join();
  }
}

void GraphEvents::Post(GraphEvent event) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(event);
  }
  if (notify_ != nullptr) notify_->PostGraphEvent(instance_);
}

bool GraphEvents::GetEvent(GraphEvent& event) {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return false;
  event = queue_.front();
  queue_.pop_front();
  return true;
}

void GraphEvents::WatchForReturn(std::function<bool(std::stop_token)> waitForReturn) {
  // Only the streaming thread that lost the device calls this, once per loss; a watcher
  // left from an earlier loss is ended before the next starts.
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watcher_.join();
  }
  watcher_ = std::jthread([this, wait = std::move(waitForReturn)](std::stop_token stop) {
    if (wait(stop) && !stop.stop_requested()) Post(GraphEvent::kDeviceBack);
  });
}

}  // namespace orbiscope
