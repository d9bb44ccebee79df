#pragma once
// The capture back-end interface: what the capture graph needs from a platform's video
// framework, so that V4L2 cameras and the built-in test pattern sit behind one contract.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureStatus.h"

namespace orbiscope {

class GraphEvents;

// One format a device offers.
struct CaptureCapability {
  bool sizedVideo = true;            // describes frames by a width and a height
  bool rgb24 = false;                // delivers 24-bit blue-green-red frames
  int width = 0;                     // pixels
  int height = 0;                    // pixels
  int bitCount = 24;                 // bits per pixel
  std::int64_t frameTime = 0;        // frame duration in 100 ns units; 0 = unknown
  std::uint32_t pixelFormat = 0;     // the back-end's own format code
};

// Where a source delivers frames; the grabber callback implements it.
class SampleSink {
public:
  virtual ~SampleSink() = default;
  // One frame already in the travelling layout (bottom-up rows padded to 4 bytes).
  virtual CaptureError BufferCB(double sampleTime, const std::uint8_t* buffer, long length) = 0;
  // One frame of top-down 24-bit rows at a stride; copied bottom-up and padded, in one pass.
  virtual CaptureError BufferRowsCB(double sampleTime, const std::uint8_t* topRow, long stride,
                                    int width, int height) = 0;
};

// One adjustable setting of a device (brightness, exposure...).
struct DeviceControl {
  enum class Kind { Integer, Boolean, Menu, Button };
  std::uint32_t id = 0;
  std::string name;
  Kind kind = Kind::Integer;
  std::int32_t minimum = 0;
  std::int32_t maximum = 0;
  std::int32_t step = 1;
  std::int32_t defaultValue = 0;
  std::int32_t value = 0;
  std::vector<std::pair<std::int32_t, std::string>> menu;  // value and name of each choice
};

// The device's own settings: what the settings dialog lists and changes.
class DeviceControls {
public:
  virtual ~DeviceControls() = default;
  // The controls with their current values.
  virtual std::vector<DeviceControl> Controls() = 0;
  // Sets one control.
  virtual CaptureError SetControl(std::uint32_t id, std::int32_t value) = 0;
};

// One device bound for use: the source of a capture graph.
class CaptureSource : public DeviceControls {
public:
  // Takes the device for this graph (opens it); a failure means it cannot be added.
  virtual CaptureError Connect() = 0;
  // All formats the device offers; a failure means it has no format control.
  virtual CaptureError Capabilities(std::vector<CaptureCapability>& caps) = 0;
  // Asks for cap; on return cap holds what the device agreed to (its size may differ).
  virtual CaptureError SetFormat(CaptureCapability& cap) = 0;
  // Starts delivering frames to sink on the source's own thread; device loss and return
  // are posted to events. Both outlive the run.
  virtual CaptureError Run(SampleSink& sink, GraphEvents& events) = 0;
  // Halts delivery; the device stays open.
  virtual CaptureError Pause() = 0;
  // Ends delivery and joins the streaming thread; no sample arrives after it returns.
  virtual CaptureError Stop() = 0;
  // Whether the device has settings to show.
  virtual bool HasControls() = 0;
};

// A device as a back-end lists it.
struct CaptureDeviceRef {
  std::string name;  // display name, UTF-8; empty when it could not be read
  std::string id;    // the back-end's key for Bind
};

// One family of devices (V4L2 cameras, the test pattern).
class CaptureBackend {
public:
  virtual ~CaptureBackend() = default;
  // The devices present now, in enumeration order.
  virtual std::vector<CaptureDeviceRef> Devices() = 0;
  // A source for the device; null when it cannot be bound.
  virtual std::unique_ptr<CaptureSource> Bind(const CaptureDeviceRef& device) = 0;
};

}  // namespace orbiscope
