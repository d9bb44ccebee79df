#pragma once
// What the main controller shows. The desktop window implements it with widgets; the
// headless front-end leaves most of it blank. Every call comes on the user-interface
// thread.

#include <chrono>
#include <string>
#include <utility>

#include "capture/CaptureStatus.h"

namespace orbiscope {

class DeviceControls;
class FramePreview;

class ControllerView {
public:
  virtual ~ControllerView() = default;

  // The system menu's About entry (string 101), added when the text is not empty.
  virtual void AddAboutItem(const std::string& /*text*/) {}
  // The splash window; returns after its display time.
  virtual void ShowSplash() {}
  // Lays the window out at its stored position and prepares the notification icon.
  virtual void LayOut(int /*x*/, int /*y*/) {}
  // The window's top-left corner now; the headless front-end answers what was laid out.
  virtual std::pair<int, int> WindowPosition() const = 0;
  // Creates the information page; false stops the initialisation.
  virtual bool CreateInformationPage() { return true; }
  // Opens the panel on the server page once the pages are there (no camera password yet).
  virtual void ShowServerPage() {}

  // The running or stopped look: window icon, notification icon and menu form.
  virtual void SetWindowIcon(bool /*running*/) {}
  virtual void SetTrayLook(bool /*running*/) {}
  virtual void SetStatusText(const std::string& /*text*/) {}
  virtual void ShowVideoArea(bool /*shown*/) {}
  // Shows the status animation playing a clip once; 0 stops and hides it.
  virtual void PlayClip(int /*clipId*/) {}
  virtual void SetButtons(bool /*play*/, bool /*pause*/, bool /*stop*/) {}
  virtual void Repaint() {}
  // The Play command's pause before the server starts (it blocks the UI thread).
  virtual void Wait(std::chrono::milliseconds /*duration*/) {}

  // Where processed frames are painted; null when there is no preview.
  virtual FramePreview* Preview() { return nullptr; }
  // The capture device's settings dialog; kNone when shown.
  virtual CaptureError ShowDeviceControls(DeviceControls& /*controls*/) { return CaptureError::kFailed; }

  // Queues a close of the window: the controller's OnClose runs from the event loop.
  virtual void PostClose() = 0;
  // Ends the dialog (the event loop) after OnClose has run.
  virtual void EndDialog() = 0;
};

}  // namespace orbiscope
