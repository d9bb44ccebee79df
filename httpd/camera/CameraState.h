#pragma once
// What the camera routes serve from: the credentials and phone switch the controller sets
// before the server starts, and the frame store the capture side publishes into. The
// generic engine knows nothing of it; the program's session holds a reference.

#include <atomic>
#include <chrono>
#include <string>

#include "capture/LatestFrame.h"
#include "httpd/camera/CameraHeaders.h"
#include "httpd/camera/CameraStream.h"
#include "httpd/camera/PictureCache.h"
#include "httpd/camera/ServingStatus.h"

namespace orbiscope {

struct CameraState {
  // Written before the server starts and only read while it runs.
  std::string m_sCameraUser;
  std::string m_sCameraPassword;  // MD5 digest, 32 upper-case hexadecimal digits
  unsigned char m_nPhoneSwitch = 0;
  // The compatibility routes ("/?action=..."): served without credentials when the camera's
  // front already checks them, and answering Digest as well as Basic when asked to.
  bool m_bOpenCamera = false;
  bool m_bDigestAuth = false;
  // The origin the camera routes and the status page allow to read them ("" for none).
  std::string m_sCorsOrigin;
  // The key Digest nonces are signed with: made per server, so one server's nonce is
  // worth nothing to the next.
  std::string m_sNonceKey = MakeNonceKey();
  // The latest frame: published by the controller, copied by the camera routes.
  LatestFrame m_LatestFrame;
  // The encoded pictures of the latest frame, shared by the requests that ask for them.
  PictureCache m_PictureCache;
  // Live stream viewers now, for the status page.
  std::atomic<int> m_nStreams {0};
  // For the status page: when the program started (written before the server starts), and
  // what the controller shows of capture with the pace of publication.
  std::chrono::steady_clock::time_point m_ProgramStarted = std::chrono::steady_clock::now();
  ServingStatus m_Status;
  // The live streams, fed from the frame store through the cache. Last: its thread stops
  // before what it reads goes.
  CameraStreams m_Streams {m_LatestFrame, m_PictureCache};
};

}  // namespace orbiscope
