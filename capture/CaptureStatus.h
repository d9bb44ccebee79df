#pragma once
// Status codes of the capture operations: 0 success, negative failure, with the values the
// rest of the program already knows from the status-code convention.

#include <cstdint>

namespace orbiscope {

inline constexpr int kCapOk = 0;
inline constexpr int kCapFalse = 1;  // success that did nothing (a paused or absent step)
inline constexpr int kCapFail = static_cast<int>(0x80004005u);           // unspecified failure
inline constexpr int kCapInvalidArg = static_cast<int>(0x80070057u);     // index out of range
inline constexpr int kCapPointer = static_cast<int>(0x80004003u);        // null sample buffer
inline constexpr int kCapOutOfMemory = static_cast<int>(0x8007000Eu);    // allocation failed
inline constexpr int kCapNoInterface = static_cast<int>(0x80004002u);    // not offered

// True for the failure codes.
constexpr bool CapFailed(int status) { return status < 0; }

}  // namespace orbiscope
