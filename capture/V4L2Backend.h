#pragma once
// Cameras through V4L2: their names, their 24-bit BGR sizes first (libv4l2 converts the
// camera's own formats), each size captured in the camera's own format that gives the
// frame rate asked (converted by the device layer), the frame rate through VIDIOC_S_PARM,
// a streaming thread over mmap buffers (read() for devices without them), a failing ENODEV
// as device lost and the node answering again as device back, and the device's controls as
// its settings.

#include <memory>

#include "capture/CaptureBackend.h"

namespace orbiscope {

class V4L2Device;

// How long the streaming and watching threads wait before they look again (ms).
inline constexpr int kV4L2WaitMs = 1000;

// The back-end over device, which it shares with every source it binds.
std::unique_ptr<CaptureBackend> MakeV4L2Backend(std::shared_ptr<V4L2Device> device);

}  // namespace orbiscope
