#pragma once
// The program's session: the generic session plus the camera routes, with access-log lines
// that carry the module name "MyHttpClient" and never a camera password.

#include <cstdint>

#include "httpd/camera/CameraState.h"
#include "httpd/client/HttpClient.h"

namespace orbiscope {

class CMyHttpClient : public CHttpClient {
public:
  // `camera` must outlive the server the client works for.
  CMyHttpClient(const ResourceLibrary& resources, CameraState& camera);

  void PostLog(int code, std::int64_t bytes) override;
  bool HandleCameraRoute() override;

  CameraState& Camera() const { return camera_; }

private:
  CameraState& camera_;
};

}  // namespace orbiscope
