// The camera routes' work per request, without the HTTP side, on a store holding a 640 x 480
// test-pattern frame: the per-request encode (a snapshot, the route's conversions and the
// encode), and beside it the routes as they run now, through the picture cache: the first
// request for a frame (the encode from the shared frame, copied only to be changed) and
// every other request for it (the shared bytes).
#include <benchmark/benchmark.h>

#include "capture/LatestFrame.h"
#include "capture/TestPattern.h"
#include "httpd/camera/CameraPicture.h"
#include "httpd/camera/CameraRoutes.h"

namespace orbiscope {
namespace {

LatestFrame& Store() {
  static LatestFrame store;
  static const bool filled = [] {
    CPicture frame(640, 480, 24, kFormatBmp);
    RenderTestPattern(frame.Bits(), 640, 480, 7);
    store.Publish(std::move(frame), 480, 640);
    return true;
  }();
  (void)filled;
  return store;
}

void Route(benchmark::State& state, CameraRoute route, int width, int height) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    FrameSnapshot snapshot = Store().Snapshot();
    CameraPicture picture = MakeCameraPicture(route, snapshot, width, height);
    if (!picture.bytes) state.SkipWithError("no picture");
    bytes = picture.size;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

// `fresh`: every request is the first for its frame.
void Cached(benchmark::State& state, CameraRoute route, int width, int height, bool fresh) {
  PictureCache cache;
  std::uint64_t generation = 1;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const SharedFrame frame = Store().Share();
    if (fresh) ++generation;
    const auto picture = cache.Get(CameraPictureKey(route, frame, width, height), generation,
                                   [&](const PictureKey&) {
                                     return EncodeCameraPicture(route, frame, width, height);
                                   });
    if (!picture->bytes) state.SkipWithError("no picture");
    bytes = picture->size;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Camera_Jpeg640_FirstOfFrame(benchmark::State& s) {
  Cached(s, CameraRoute::Jpeg, 640, 480, true);
}
void BM_Camera_Jpeg320_FirstOfFrame(benchmark::State& s) {
  Cached(s, CameraRoute::Jpeg, 320, 240, true);
}
void BM_Camera_Gif_FirstOfFrame(benchmark::State& s) {
  Cached(s, CameraRoute::Gif, 0, 0, true);
}
void BM_Camera_Jpeg640_Shared(benchmark::State& s) {
  Cached(s, CameraRoute::Jpeg, 640, 480, false);
}
void BM_Camera_Gif_Shared(benchmark::State& s) {
  Cached(s, CameraRoute::Gif, 0, 0, false);
}

BENCHMARK(BM_Camera_Jpeg640_FirstOfFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Jpeg320_FirstOfFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Gif_FirstOfFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Jpeg640_Shared)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Camera_Gif_Shared)->Unit(benchmark::kMicrosecond);

void BM_Camera_Jpeg640(benchmark::State& s) { Route(s, CameraRoute::Jpeg, 640, 480); }
void BM_Camera_Jpeg320(benchmark::State& s) { Route(s, CameraRoute::Jpeg, 320, 240); }
void BM_Camera_Png640(benchmark::State& s) { Route(s, CameraRoute::Png, 640, 480); }
void BM_Camera_Gif(benchmark::State& s) { Route(s, CameraRoute::Gif, 0, 0); }
void BM_Camera_Wbmp(benchmark::State& s) { Route(s, CameraRoute::Wbmp, 0, 0); }

BENCHMARK(BM_Camera_Jpeg640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Jpeg320)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Png640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Gif)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Camera_Wbmp)->Unit(benchmark::kMillisecond);

// The access-log form of a desktop picture request: what every answered request pays for
// its log line on top of the answer.
void Logged(benchmark::State& state, const std::string& before, const std::string& after) {
  const std::string digest = "0CC175B9C0F1B6A831C399E269772661";
  const std::string line = before + digest + after;
  for (auto _ : state) benchmark::DoNotOptimize(MaskCameraPassword(line, digest));
}
void BM_Camera_LoggedRequestLine(benchmark::State& s) {
  Logged(s, "GET /image.png?user=alice&pass=", "&w=640&h=480 HTTP/1.1");
}
// The JPEG route and the snapshot action as bench/camera/vs-peers.sh asks for them.
void BM_Camera_LoggedJpegLine(benchmark::State& s) {
  Logged(s, "GET /image%20?user=alice%20pass=", "%20w=640%20h=480 HTTP/1.1");
}
void BM_Camera_LoggedSnapshotLine(benchmark::State& s) {
  Logged(s, "GET /webcam/?action=snapshot&user=alice&pass=", "&w=640&h=480&_=1 HTTP/1.1");
}
BENCHMARK(BM_Camera_LoggedRequestLine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Camera_LoggedJpegLine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Camera_LoggedSnapshotLine)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orbiscope

BENCHMARK_MAIN();
