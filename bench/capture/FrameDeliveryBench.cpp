// The window's share of a frame: scaling the processed 640 x 480 frame into the 180 x 146
// video area and painting it, on the UI thread. Target: under 2 ms a frame. The area keeps
// only the newest frame and paints on the next turn of the event loop, so frames the
// window cannot keep up with replace each other instead of queueing.
//
// Reference in the same run: the same delivery through Qt's own smooth scaling, and the
// whole frame path with and without the area as its preview.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <string>
#include <vector>

#include "app/Skin.h"
#include "app/VideoArea.h"
#include "capture/CaptureGraph.h"
#include "capture/FrameFormat.h"
#include "capture/TestPattern.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

CPicture MakeFrame() {
  CPicture frame(kWidth, kHeight, 24, kFormatBmp);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(FrameBytes(kWidth, kHeight, 24)));
  RenderTestPattern(pixels.data(), kWidth, kHeight, 12345);
  std::memcpy(frame.Bits(), pixels.data(), pixels.size());
  return frame;
}

void BM_DeliverToVideoArea(benchmark::State& state) {
  const CPicture frame = MakeFrame();
  VideoArea area(QRect(0, 0, 180, 146), nullptr);
  area.show();
  for (auto _ : state) {
    area.PaintFrame(frame);
    area.repaint();  // the paint the event loop would run, done here so it is timed
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeliverToVideoArea)->Unit(benchmark::kMicrosecond);

// The scaling alone, without the paint.
void BM_ScaleIntoArea(benchmark::State& state) {
  const CPicture frame = MakeFrame();
  QImage area(180, 146, QImage::Format_RGB32);
  for (auto _ : state) {
    ScaleFrameInto(frame, area);
    benchmark::DoNotOptimize(area.constBits());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScaleIntoArea)->Unit(benchmark::kMicrosecond);

void BM_ReferenceQtSmoothScale(benchmark::State& state) {
  const CPicture frame = MakeFrame();
  for (auto _ : state) {
    QImage scaled = FrameToImage(frame).scaled(180, 146, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    benchmark::DoNotOptimize(scaled.constBits());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferenceQtSmoothScale)->Unit(benchmark::kMicrosecond);

// The UI thread's whole work for one frame, with the area (range 1) or without (range 0).
void BM_FramePathWithPreview(benchmark::State& state) {
  ResourceLibrary resources;
  resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
  LogXML log;
  CaptureGraph graph(resources, {}, log, {});
  graph.Callback().SetFrameSize(kWidth, kHeight);
  std::vector<std::uint8_t> sample(static_cast<std::size_t>(FrameBytes(kWidth, kHeight, 24)));
  RenderTestPattern(sample.data(), kWidth, kHeight, 12345);
  VideoArea area(QRect(0, 0, 180, 146), nullptr);
  area.show();
  OverlaySettings settings;
  settings.caption = "Orbiscope - front door";
  settings.font.faceName = "DejaVu Sans";
  settings.timeMode = kTimeOfDay;
  settings.preview = state.range(0) != 0 ? &area : nullptr;
  ClampOverlayPosition(settings.x, settings.y, kWidth, kHeight);
  for (auto _ : state) {
    graph.Callback().BufferCB(0.0, sample.data(), static_cast<long>(sample.size()));
    if (!graph.ProcessFrame(settings)) state.SkipWithError("frame not processed");
    if (settings.preview != nullptr) area.repaint();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FramePathWithPreview)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orbiscope

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
