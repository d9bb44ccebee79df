#include "httpd/camera/MyHttpClient.h"

#include "httpd/AccessLog.h"
#include "httpd/HttpServer.h"
#include "httpd/camera/CameraRoutes.h"

namespace orbiscope {

CMyHttpClient::CMyHttpClient(const ResourceLibrary& resources, CameraState& camera)
    : CHttpClient(resources), camera_(camera) {}

void CMyHttpClient::PostLog(int code, std::int64_t bytes) {
  // A camera query carries the password or its digest, and URL user information a
  // password; none may reach the log file, whichever way the request went.
  PostAccessLog(Server().GetLog(), "MyHttpClient", m_Request.clientAddress, m_Request.userName,
                MaskCameraPassword(m_Request.requestLine, camera_.m_sCameraPassword), code, bytes);
}

bool CMyHttpClient::HandleCameraRoute() { return ServeCameraRequest(*this, camera_); }

}  // namespace orbiscope
