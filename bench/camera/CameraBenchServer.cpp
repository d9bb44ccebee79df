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

#include "bench/camera/BenchWebServer.h"
#include "capture/TestPattern.h"

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
  BenchWebServer server(folder, "camera_bench_server", argv[2], argv[3]);
  CameraState& camera = server.Camera();
  const char* fpsText = std::getenv("BENCH_FPS");
  const int fps = fpsText != nullptr && std::atoi(fpsText) > 0 ? std::atoi(fpsText) : 30;
  camera.m_bDigestAuth = std::getenv("BENCH_DIGEST") != nullptr;
  if (const char* origin = std::getenv("BENCH_CORS")) camera.m_sCorsOrigin = origin;

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

  if (!server.Start(static_cast<std::uint16_t>(std::atoi(argv[1])))) return 1;
  std::printf("listening on %u\n", server.Port());
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
  return 0;
}
