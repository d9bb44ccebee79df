#pragma once
// Capture results. Inside capture (the back-end interface, the grabber and its buffer) a
// failure is a CaptureError; CaptureGraph's operations answer status codes (0 success,
// negative failure) with the values the rest of the program knows, and StatusOf is where
// one becomes the other.

namespace orbiscope {

enum class CaptureError {
  kNone,         // done
  kFailed,       // the device refused, is gone, or was not opened for it
  kNotOffered,   // the device has no such setting or interface
  kNullSample,   // a sample came without a buffer
  kOutOfMemory,  // the frame buffer could not grow
};

constexpr bool Failed(CaptureError error) { return error != CaptureError::kNone; }

inline constexpr int kCapOk = 0;
inline constexpr int kCapFail = static_cast<int>(0x80004005u);           // unspecified failure
inline constexpr int kCapInvalidArg = static_cast<int>(0x80070057u);     // index out of range
inline constexpr int kCapPointer = static_cast<int>(0x80004003u);        // null sample buffer
inline constexpr int kCapOutOfMemory = static_cast<int>(0x8007000Eu);    // allocation failed
inline constexpr int kCapNoInterface = static_cast<int>(0x80004002u);    // not offered

// True for the failure codes.
constexpr bool CapFailed(int status) { return status < 0; }

// The status code a CaptureGraph operation reports for error.
constexpr int StatusOf(CaptureError error) {
  switch (error) {
    case CaptureError::kNone: return kCapOk;
    case CaptureError::kNotOffered: return kCapNoInterface;
    case CaptureError::kNullSample: return kCapPointer;
    case CaptureError::kOutOfMemory: return kCapOutOfMemory;
    case CaptureError::kFailed: break;
  }
  return kCapFail;
}

}  // namespace orbiscope
