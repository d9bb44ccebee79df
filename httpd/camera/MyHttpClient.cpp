#include "httpd/camera/MyHttpClient.h"

#include <utility>

#include "httpd/AccessLog.h"
#include "httpd/HttpServer.h"
#include "httpd/camera/CameraRoutes.h"

namespace orbiscope {

CMyHttpClient::CMyHttpClient(const ResourceLibrary& resources, CameraState& camera)
    : CHttpClient(resources), camera_(camera) {}

void CMyHttpClient::PostLog(int code, std::int32_t bytes) {
  // A camera query carries the password or its digest; neither may reach the log file,
  // also when the request was refused before it reached its route (gate, verb).
  const CameraRoute route = std::exchange(servedByDirectories_, false)
                                ? CameraRoute::None
                                : FindCameraRoute(m_Request.url, camera_.m_nPhoneSwitch != 0);
  PostAccessLog(Server().GetLog(), "MyHttpClient", m_Request.clientAddress, m_Request.userName,
                MaskCameraPassword(m_Request.requestLine, route), code, bytes);
}

bool CMyHttpClient::HandleCameraRoute() {
  const CameraRoute route = FindCameraRoute(m_Request.url, camera_.m_nPhoneSwitch != 0);
  servedByDirectories_ = route == CameraRoute::None;
  if (servedByDirectories_) return false;
  ServeCameraRoute(*this, camera_, route);
  return true;
}

}  // namespace orbiscope
