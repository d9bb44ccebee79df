// The web server with the program's session on the test pattern, for measuring the camera
// routes from outside with wrk. A publisher thread renders 640 x 480 frames at 30 a second
// into the frame store, as the capture side would.
//
//   camera_bench_server PORT USER PASSWORD [LOG_FOLDER]
//
// Prints "listening on PORT" once it accepts (PORT 0 takes a free one) and runs until
// SIGINT or SIGTERM. For the real-client tests: BENCH_FPS sets the publication rate,
// BENCH_DIGEST=1 lets the compatibility routes answer Digest, BENCH_CORS names an origin.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/TestPattern.h"
#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "httpd/MimeMap.h"
#include "httpd/MyHttpServer.h"
#include "httpd/WebServer.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/camera/CameraState.h"
#include "httpd/client/Md5Hex.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

int main(int argc, char** argv) {
  using namespace orbiscope;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PORT USER PASSWORD [LOG_FOLDER]\n", argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const std::string folder = argc > 4 ? argv[4] : "/tmp";
  LogXML log;
  log.SetExecutablePath(folder + "/camera_bench_server");
  if (!log.Open()) return 1;
  ResourceLibrary resources;

  ConfigStore store;
  store.SetFileName(folder + "/camera_bench_mime.xml");
  const char* types[][2] = {{"JPG", "image/jpeg"}, {"PNG", "image/png"}, {"GIF", "image/gif"},
                            {"WBMP", "image/vnd.wap.wbmp"}};
  store.SetInt("GENERAL", "MimeRegistred", 4);
  for (int i = 0; i < 4; ++i) {
    const std::string section = "MIME\\MIME" + std::to_string(i + 1);
    store.SetValue(section, "KEY", types[i][0]);
    store.SetValue(section, "VALUE", types[i][1]);
  }
  CMimeMap mime;
  mime.Load(store);

  CHttpServerSettings settings;
  settings.m_nPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  settings.m_bBind = true;
  settings.m_sBindAddress = "127.0.0.1";
  settings.m_nThreadPoolSize = 10;
  settings.m_bKeepAlives = true;
  settings.m_pMimeManager = &mime;
  CameraState camera;
  camera.m_sCameraUser = argv[2];
  Md5Hex(argv[3], camera.m_sCameraPassword);
  camera.m_nPhoneSwitch = 1;
  const char* fpsText = std::getenv("BENCH_FPS");
  const int fps = fpsText != nullptr && std::atoi(fpsText) > 0 ? std::atoi(fpsText) : 30;
  camera.m_bDigestAuth = std::getenv("BENCH_DIGEST") != nullptr;
  if (const char* origin = std::getenv("BENCH_CORS")) camera.m_sCorsOrigin = origin;
  settings.m_ClientFactory = [&resources, &camera] {
    return MakeCameraSession(resources, camera);
  };

  RaiseDescriptorLimit(settings.m_nMaxConnections);  // as the program does at each start
  CMyHttpServer server(log, resources, StderrMessageSink());

  constexpr int kWidth = 640, kHeight = 480;
  std::mutex lock;
  std::condition_variable changed;
  bool ending = false;
  auto publish = [&camera](std::uint32_t number) {
    CPicture frame(kWidth, kHeight, 24, kFormatBmp);
    RenderTestPattern(frame.Bits(), kWidth, kHeight, number);
    camera.m_LatestFrame.Publish(std::move(frame), kHeight, kWidth);
  };
  publish(0);
  std::thread publisher([&] {
    std::unique_lock guard(lock);
    // Due times, not sleeps, so the rate holds however long a publication takes.
    const auto interval = std::chrono::microseconds(1000000 / fps);
    auto due = std::chrono::steady_clock::now();
    for (std::uint32_t number = 1;; ++number) {
      due += interval;
      if (changed.wait_until(guard, due, [&] { return ending; })) return;
      publish(number);
    }
  });

  if (!server.Start(&settings)) return 1;
  std::printf("listening on %u\n", static_cast<unsigned>(server.GetListeningPort()));
  std::fflush(stdout);
  int signal = 0;
  ::sigwait(&stop, &signal);
  server.Stop();
  {
    std::lock_guard guard(lock);
    ending = true;
  }
  changed.notify_all();
  publisher.join();
  log.Close();
  return 0;
}
