#pragma once
// Capture results: what the back-end interface, the grabber and its buffer, and
// CaptureGraph's operations answer. No number of the platform the program was first
// written for survives here: nothing reports one.

namespace orbiscope {

enum class CaptureError {
  kNone,         // done
  kFailed,       // the device refused, is gone, or was not opened for it
  kNotOffered,   // the device has no such setting or interface
  kNullSample,   // a sample came without a buffer
  kOutOfMemory,  // the frame buffer could not grow
  kBadIndex,     // no device at that index
};

constexpr bool Failed(CaptureError error) { return error != CaptureError::kNone; }

}  // namespace orbiscope
