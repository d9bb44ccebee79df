#pragma once
// Glossary: "graph events" are the capture chain's device notices: lost and back.
// The graph's event queue: device loss and return, queued from any thread and drained on
// the user-interface thread. It outlives the source that posts to it, so that a device
// coming back after the graph was torn down is still heard.

#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace orbiscope {

class CaptureEventSink;

// What happened to the device.
enum class GraphEvent {
  kDeviceLost,  // removed, or it stopped answering
  kDeviceBack,  // available again after a loss
};

class GraphEvents {
public:
  // notify (may be null) hears of every queued event with the instance value.
  GraphEvents(CaptureEventSink* notify, long instance);
  ~GraphEvents();  // cancels and joins the watcher
  GraphEvents(const GraphEvents&) = delete;
  GraphEvents& operator=(const GraphEvents&) = delete;

  // Queues an event and notifies. Any thread.
  void Post(GraphEvent event);
  // The next event without waiting; false when none is queued.
  bool GetEvent(GraphEvent& event);
  // Runs waitForReturn on a watcher thread; when it answers true the device-back event
  // is posted. A watcher still running from an earlier call is ended first.
  void WatchForReturn(std::function<bool(std::stop_token)> waitForReturn);

private:
  CaptureEventSink* notify_;
  long instance_;
  std::mutex mutex_;
  std::deque<GraphEvent> queue_;
  std::jthread watcher_;
};

}  // namespace orbiscope
