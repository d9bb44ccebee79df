#pragma once
// How capture reaches the user-interface thread without knowing the front-end.
//
// The controller implements this with events queued to its own thread; tests implement it
// directly. This is the "window" that the graph operations take.

#include <string_view>

#include "capture/CaptureStatus.h"

namespace orbiscope {

class DeviceControls;

class CaptureEventSink {
public:
  virtual ~CaptureEventSink() = default;

  // A frame waits in the grabber (the frame-ready notice). Called on the streaming thread:
  // must only queue and return, never draw or wait.
  virtual void PostFrameReady() = 0;
  // Graph events wait; the UI thread answers with CaptureGraph::HandleGraphEvents when
  // instance is kGraphEventInstance. Called from any thread; must only queue.
  virtual void PostGraphEvent(long instance) = 0;
  // The device was removed: stop the web server and show the stopped state (or, when so
  // configured, go on serving without the camera). Called on the UI thread, before the
  // loss is shown in a box, and handled before it returns.
  virtual void SendStopServer() = 0;
  // The removed device is back: start server and capture again, as the Play command does.
  // Called on the UI thread from graph-event handling; may queue the work.
  virtual void SendDeviceBack() = 0;
  // Shows the device's settings modally; kNone once shown, kNotOffered when it has none.
  virtual CaptureError ShowDeviceControls(DeviceControls& controls) = 0;
};

// The instance value the graph-event notice carries.
inline constexpr long kGraphEventInstance = 50000;

}  // namespace orbiscope
