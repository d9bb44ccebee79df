#include "capture/CaptureGraph.h"
#include "capture/TestPattern.h"
#include "capture/V4L2Backend.h"
#include "capture/V4L2Device.h"

namespace orbiscope {

std::vector<std::unique_ptr<CaptureBackend>> DefaultCaptureBackends() {
  std::vector<std::unique_ptr<CaptureBackend>> backends;
  backends.push_back(MakeV4L2Backend(MakeLibV4L2Device()));
  // Listed after the cameras, so a real camera is the first device wherever there is one.
  backends.push_back(MakeTestPatternBackend());
  return backends;
}

}  // namespace orbiscope
