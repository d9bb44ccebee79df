// The web server fed by the capture graph over an emulated USB camera (MJPEG and YUYV, as
// most are; frames with sensor noise), for measuring capture-to-client time at any size the
// camera offers, 1920 x 1080 included, which the built-in test pattern does not. Each
// frame goes the program's way: libv4l2 and libv4lconvert on the streaming thread, the
// grabber's copy, caption, time and logo on this program's main thread (the controller's
// part), publication into the server's frame store, and the stream's one encode.
//
//   camera_latency_server WIDTH HEIGHT FPS PORT USER PASSWORD [LOG_FOLDER]
//
// A frame's X-Timestamp is the moment its buffer was dequeued from the camera, before its
// conversion (the program itself stamps the moment the frame reaches the server), so the
// figure covers every stage after the camera. Prints what the camera streams, then
// "listening on PORT" (PORT 0 takes a free one) once frames flow, and runs until SIGINT
// or SIGTERM.

#include <linux/videodev2.h>
#include <signal.h>
#include <unistd.h>

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
#include "bench/capture/BenchOverlay.h"
#include "capture/CaptureEventSink.h"
#include "capture/CaptureGraph.h"
#include "capture/FrameFormat.h"
#include "capture/V4L2Backend.h"
#include "capture/V4L2Device.h"
#include "tests/capture/EmulatedCamera.h"
#include "tests/capture/ForwardingV4L2Device.h"

namespace orbiscope {
namespace {

using Clock = std::chrono::system_clock;

// The libv4l2 device, noting when each buffer was dequeued.
class StampingDevice final : public testing::ForwardingV4L2Device {
public:
  using ForwardingV4L2Device::ForwardingV4L2Device;
  std::atomic<Clock::rep> dequeued{0};

  int Ioctl(int fd, unsigned long request, void* arg) override {
    const int r = ForwardingV4L2Device::Ioctl(fd, request, arg);
    if (r == 0 && request == VIDIOC_DQBUF) dequeued.store(Clock::now().time_since_epoch().count());
    return r;
  }
};

// The controller's window: frame notices, and the dequeue time of the frame in the
// grabber's buffer. The notice comes on the streaming thread right after the copy and
// before the next dequeue, so the time read before processing is never later than that of
// the frame processed: a frame copied in meanwhile only makes the figure larger.
class FrameWindow final : public CaptureEventSink {
public:
  explicit FrameWindow(const StampingDevice& device) : device_(device) {}

  void PostFrameReady() override {
    std::lock_guard lock(mutex_);
    stamp_ = Clock::time_point(Clock::duration(device_.dequeued.load()));
    pending_ = true;
    changed_.notify_all();
  }
  void PostGraphEvent(long) override {}
  void SendStopServer() override {}
  void SendDeviceBack() override {}
  CaptureError ShowDeviceControls(DeviceControls&) override { return CaptureError::kNone; }

  // Waits for a frame notice (false once ending) and answers the time of its frame.
  bool Wait(Clock::time_point& stamp) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_ || ending_; });
    pending_ = false;
    stamp = stamp_;
    return !ending_;
  }
  void End() {
    std::lock_guard lock(mutex_);
    ending_ = true;
    changed_.notify_all();
  }

private:
  const StampingDevice& device_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false, ending_ = false;
  Clock::time_point stamp_{};
};

int Run(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT FPS PORT USER PASSWORD [LOG_FOLDER]\n", argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[1]), height = std::atoi(argv[2]), fps = std::atoi(argv[3]);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  testing::CameraEmulator emulator;
  testing::EmulatedCameraSpec spec = testing::UsbCameraSpec();
  spec.noise = 20;  // a smooth picture would make decoding and encoding look cheap
  const std::string node = emulator.AddCamera(0, spec);

  ResourceLibrary resources;
  resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  LogXML graphLog;
  auto device = std::make_shared<StampingDevice>(MakeLibV4L2Device(emulator.Folder()));
  std::vector<std::unique_ptr<CaptureBackend>> backends;
  backends.push_back(MakeV4L2Backend(device));
  CaptureGraph graph(resources, {}, graphLog, std::move(backends));
  FrameWindow window(*device);
  graph.EnumerateDevices();
  graph.SetFrameRate(fps);
  if (Failed(graph.ListSizes(""))) {
    std::fprintf(stderr, "the emulated camera lists no sizes\n");
    return 1;
  }
  int sizeIndex = -1;
  for (std::size_t i = 0; i < graph.SizeNames().size(); ++i)
    if (graph.SizeNames()[i] == SizeName(width, height)) sizeIndex = static_cast<int>(i);
  graph.SetWidth(width);
  graph.SetHeight(height);
  if (sizeIndex < 0 || Failed(graph.Open(window, 0, sizeIndex))) {
    std::fprintf(stderr, "the emulated camera does not capture %d x %d\n", width, height);
    return 1;
  }
  const testing::CameraEmulator::Mode mode = emulator.CurrentMode(node);
  const char fourcc[5] = {static_cast<char>(mode.fourcc), static_cast<char>(mode.fourcc >> 8),
                          static_cast<char>(mode.fourcc >> 16), static_cast<char>(mode.fourcc >> 24), 0};
  std::printf("camera streams %s %dx%d at %u/%u s\n", fourcc, mode.width, mode.height,
              mode.interval.numerator, mode.interval.denominator);

  BenchWebServer server(argc > 7 ? argv[7] : "/tmp", "camera_latency_server", argv[5], argv[6]);
  CameraState& camera = server.Camera();
  std::thread signals([&] {
    int signal = 0;
    ::sigwait(&stop, &signal);
    window.End();
  });
  const OverlaySettings overlay = CaptionAndTime(width, height);
  Clock::time_point stamp;
  int processed = 0, result = 0;
  while (window.Wait(stamp)) {
    if (!graph.ProcessFrame(overlay)) continue;
    const SharedFrame frame = graph.Latest();
    camera.m_LatestFrame.Publish(frame.image, FrameInfo{frame.width, frame.height, stamp});
    camera.m_Status.FramePublished(std::chrono::steady_clock::now());
    // Served from the second frame on: the first pays for the decoder, the fonts and the
    // logo, as the program's first frame does before anyone watches.
    if (++processed != 2) continue;
    if (!server.Start(static_cast<std::uint16_t>(std::atoi(argv[4])))) {
      result = 1;
      ::kill(::getpid(), SIGTERM);  // ends the signal thread's wait
      break;
    }
    std::printf("listening on %u\n", server.Port());
    std::fflush(stdout);
  }
  signals.join();
  server.Stop();
  graph.Stop();
  return result;
}

}  // namespace
}  // namespace orbiscope

int main(int argc, char** argv) { return orbiscope::Run(argc, argv); }
