// The whole frame path from an emulated USB camera at 30 frames a second, through the
// real libv4l2 and libv4lconvert and our frame path, with caption, time and logo, to the
// one JPEG encode the stream makes of each frame. The camera offers MJPEG and YUYV (YUYV
// at 30 fps only up to 640 x 480, as most do), so 640 x 480 runs on YUYV and the HD sizes
// on MJPEG. A third argument of 1 takes an MJPEG-only camera (MJPEG at every size), a
// fourth of 1 leaves the conversion to libv4l2 itself, as before the back-end chose the
// camera's format (the same library routine, inside the dequeue): the two side by side
// under the same load. Reports the CPU time of each stage per frame and the share of one
// core the process used while the camera ran.
// Targets: 1280 x 720 under 0.35 of a core, 1920 x 1080 under 0.75, all stages included.
//
// Stages: convert = the dequeue and the conversion of the camera's frame to BGR (streaming
// thread); copy = the grabber's copy of the converted frame (streaming thread); overlay =
// the graph's frame processing: the grabber's decode into the working picture, caption,
// time, logo and the copy into the latest image (user-interface thread); publish = the copy
// into the web server's frame store; encode = the stream's JPEG encode of the shared frame.

#include <benchmark/benchmark.h>
#include <linux/videodev2.h>

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "bench/capture/BenchOverlay.h"
#include "capture/CaptureGraph.h"
#include "capture/GraphEvents.h"
#include "capture/LatestFrame.h"
#include "capture/V4L2Backend.h"
#include "capture/V4L2Device.h"
#include "httpd/camera/CameraPicture.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"
#include "tests/capture/EmulatedCamera.h"
#include "tests/capture/FakeCapture.h"
#include "tests/capture/ForwardingV4L2Device.h"

namespace orbiscope {
namespace {

std::int64_t Now(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}
std::int64_t ThreadNs() { return Now(CLOCK_THREAD_CPUTIME_ID); }

// A converter with its CPU time added to the dequeues'.
class TimedConverter final : public V4L2Converter {
public:
  TimedConverter(std::unique_ptr<V4L2Converter> inner, std::atomic<std::int64_t>& ns)
      : inner_(std::move(inner)), ns_(ns) {}
  bool Accepts(std::uint32_t fourcc) const override { return inner_->Accepts(fourcc); }
  long ToBgr24(const v4l2_format& from, const std::uint8_t* in, std::size_t n, std::uint8_t* out,
               std::size_t capacity) override {
    const std::int64_t start = ThreadNs();
    const long r = inner_->ToBgr24(from, in, n, out, capacity);
    ns_ += ThreadNs() - start;
    return r;
  }

private:
  std::unique_ptr<V4L2Converter> inner_;
  std::atomic<std::int64_t>& ns_;
};

// The libv4l2 device with the CPU time of each successful dequeue counted, and of the
// conversion after it: libv4l2 converts inside the dequeue when it chose the camera's
// format, the back-end's converter after it when the back-end did.
class TimedDevice final : public testing::ForwardingV4L2Device {
public:
  TimedDevice(std::unique_ptr<V4L2Device> inner, bool libraryConverts)
      : ForwardingV4L2Device(std::move(inner)), libraryConverts_(libraryConverts) {}
  std::atomic<std::int64_t> convertNs{0};
  std::atomic<std::int64_t> frames{0};

  int Ioctl(int fd, unsigned long request, void* arg) override {
    if (request != VIDIOC_DQBUF) return ForwardingV4L2Device::Ioctl(fd, request, arg);
    const std::int64_t start = ThreadNs();
    const int r = ForwardingV4L2Device::Ioctl(fd, request, arg);
    if (r == 0) {
      convertNs += ThreadNs() - start;
      ++frames;
    }
    return r;
  }
  std::unique_ptr<V4L2Converter> MakeConverter(int fd) override {
    auto inner = libraryConverts_ ? nullptr : ForwardingV4L2Device::MakeConverter(fd);
    if (inner == nullptr) return nullptr;
    return std::make_unique<TimedConverter>(std::move(inner), convertNs);
  }

private:
  bool libraryConverts_;
};

// The grabber with the CPU time of its copy counted.
class TimedSink final : public SampleSink {
public:
  explicit TimedSink(SampleSink& inner) : inner_(inner) {}
  std::atomic<std::int64_t> copyNs{0};

  CaptureError BufferCB(double time, const std::uint8_t* buffer, long length) override {
    return inner_.BufferCB(time, buffer, length);
  }
  CaptureError BufferRowsCB(double time, const std::uint8_t* top, long stride, int w, int h) override {
    const std::int64_t start = ThreadNs();
    const CaptureError e = inner_.BufferRowsCB(time, top, stride, w, h);
    copyNs += ThreadNs() - start;
    return e;
  }

private:
  SampleSink& inner_;
};

void BM_HdCameraFramePath(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  testing::CameraEmulator emulator;
  testing::EmulatedCameraSpec spec = testing::UsbCameraSpec();
  if (state.range(2) == 1) spec.formats.resize(1);  // MJPEG only
  spec.noise = 20;         // a smooth picture would make decoding and encoding look cheap
  emulator.AddCamera(0, spec);

  ResourceLibrary resources;
  resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  LogXML log;
  CaptureGraph graph(resources, {}, log, {});  // only its frame processing is used
  LatestFrame store;
  testing::RecordingSink window;
  GraphEvents events(&window, kGraphEventInstance);

  auto device = std::make_shared<TimedDevice>(MakeLibV4L2Device(emulator.Folder()), state.range(3) == 1);
  auto backend = MakeV4L2Backend(device);
  auto source = backend->Bind(backend->Devices().at(0));
  CaptureCapability cap;
  cap.width = width;
  cap.height = height;
  cap.frameTime = 333'333;
  if (source == nullptr || Failed(source->Connect()) || Failed(source->SetFormat(cap)) ||
      cap.width != width || cap.frameTime != 333'333) {
    state.SkipWithError("the camera does not agree to the size at 30 frames a second");
    return;
  }
  graph.Callback().SetFrameSize(width, height);
  graph.Callback().SetNotify(&window);
  TimedSink sink(graph.Callback());

  const OverlaySettings settings = CaptionAndTime(width, height);

  if (Failed(source->Run(sink, events))) {
    state.SkipWithError("capture does not run");
    return;
  }
  // The first frame pays for setting up the decoder, the fonts and the logo.
  if (!window.WaitForFrames(1) || !graph.ProcessFrame(settings)) {
    state.SkipWithError("no first frame");
    return;
  }
  const std::int64_t convert0 = device->convertNs, frames0 = device->frames, copy0 = sink.copyNs;
  const std::int64_t wall0 = Now(CLOCK_MONOTONIC), cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID);
  std::int64_t overlayNs = 0, publishNs = 0, encodeNs = 0, processed = 0;
  std::size_t bytes = 0;
  int seen = window.Frames();
  for (auto _ : state) {
    if (!window.WaitForFrames(seen + 1)) {
      state.SkipWithError("frames stopped coming");
      break;
    }
    seen = window.Frames();
    std::int64_t t = ThreadNs();
    if (!graph.ProcessFrame(settings)) continue;
    std::int64_t u = ThreadNs();
    overlayNs += u - t;
    store.Publish(graph.LatestImage(), height, width);
    t = ThreadNs();
    publishNs += t - u;
    const CameraPicture picture = EncodeCameraPicture(CameraRoute::Jpeg, store.Share(), 0, 0);
    u = ThreadNs();
    encodeNs += u - t;
    bytes += picture.size;
    ++processed;
  }
  const double wall = static_cast<double>(Now(CLOCK_MONOTONIC) - wall0);
  const double cpu = static_cast<double>(Now(CLOCK_PROCESS_CPUTIME_ID) - cpu0);
  source->Stop();
  const double delivered = static_cast<double>(device->frames - frames0);
  if (processed == 0 || delivered == 0) return;
  const double perFrame = 1e6 * static_cast<double>(processed);  // ns to ms, per frame
  const double stages[] = {static_cast<double>(device->convertNs - convert0) / (1e6 * delivered),
                           static_cast<double>(sink.copyNs - copy0) / (1e6 * delivered),
                           static_cast<double>(overlayNs) / perFrame,
                           static_cast<double>(publishNs) / perFrame,
                           static_cast<double>(encodeNs) / perFrame};
  const char* names[] = {"convert_ms", "copy_ms", "overlay_ms", "publish_ms", "encode_ms"};
  double sum = 0;
  for (int i = 0; i < 5; ++i) {
    state.counters[names[i]] = stages[i];
    sum += stages[i];
  }
  state.counters["fps"] = delivered * 1e9 / wall;
  // The stages of every frame at 30 frames a second, against one core: the figure the
  // targets are about, whether or not a busy machine made this run skip frames.
  state.counters["cores_30fps"] = sum * 30.0 / 1000.0;
  // Everything the process spent while the camera ran (frames skipped included), for
  // the costs outside the stages: waking up, polling, hand-over.
  state.counters["cores"] = cpu / wall;
  state.counters["jpeg_kB"] = static_cast<double>(bytes) / (1024.0 * static_cast<double>(processed));
}
// Two seconds of camera at 30 frames a second for each size.
BENCHMARK(BM_HdCameraFramePath)
    ->Args({640, 480, 0, 0})
    ->Args({1280, 720, 0, 0})
    ->Args({1920, 1080, 0, 0})
    ->Args({640, 480, 1, 0})
    ->Args({1920, 1080, 1, 0})
    ->Args({1920, 1080, 1, 1})
    ->Iterations(60)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orbiscope

BENCHMARK_MAIN();
