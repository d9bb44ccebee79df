// The camera routes' conversions, in the routes' order, beside the references measured
// in the same run: libjpeg-turbo's TurboJPEG compressor, a bare libpng encode, and
// Pillow (Debian's python3) doing the GIF steps.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <png.h>
#include <turbojpeg.h>

#include "image/ImageStream.h"
#include "image/OctreeQuantizer.h"
#include "image/Picture.h"

#ifndef ORBISCOPE_BENCH_SCRIPT_DIR
#define ORBISCOPE_BENCH_SCRIPT_DIR "."
#endif

namespace orbiscope {
namespace {

// A camera-like frame: smooth gradients, a lit disc, texture and sensor noise.
CPicture NaturalFrame(std::uint32_t w, std::uint32_t h) {
  CPicture pic(w, h, 24, kFormatBmp);
  std::uint32_t state = 12345;
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* row = pic.Row(y);
    for (std::uint32_t x = 0; x < w; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>((state >> 24) % 9) - 4;
      const int dx = static_cast<int>(x) - static_cast<int>(w / 2);
      const int dy = static_cast<int>(y) - static_cast<int>(h / 3);
      const bool disc = dx * dx + dy * dy < static_cast<int>(w * w / 25);
      const int texture = static_cast<int>(((x / 7) ^ (y / 5)) % 24);
      int r = static_cast<int>(x * 200 / w) + 30 + texture;
      int g = static_cast<int>(y * 180 / h) + 40;
      int b = disc ? 220 - static_cast<int>(y * 60 / h) : 90 + static_cast<int>((x + y) % 64);
      auto clamp = [](int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      row[3 * x] = clamp(b + noise);
      row[3 * x + 1] = clamp(g + noise);
      row[3 * x + 2] = clamp(r + noise);
    }
  }
  return pic;
}

const CPicture& Frame640() {
  static const CPicture frame = NaturalFrame(640, 480);
  return frame;
}
const CPicture& Frame1280() {
  static const CPicture frame = NaturalFrame(1280, 720);
  return frame;
}

// The routes read the shared frame where it lies: an encode, or a scale into a picture of
// the route's own, needs no copy of it.
void EncodeRoute(benchmark::State& state, const CPicture& frame, std::uint32_t format) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    MemoryStream out;
    const PictureResult result = out.Open() ? frame.Encode(&out, format) : PictureResult{};
    if (!result) state.SkipWithError(result.error.c_str());
    bytes = out.Size();
    benchmark::DoNotOptimize(out.Data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Route_Jpeg640(benchmark::State& state) { EncodeRoute(state, Frame640(), kFormatJpeg); }
void BM_Route_Jpeg1280(benchmark::State& state) { EncodeRoute(state, Frame1280(), kFormatJpeg); }
void BM_Route_Png640(benchmark::State& state) { EncodeRoute(state, Frame640(), kFormatPng); }

void BM_Route_Gif(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    OctreeQuantizer quantizer(256, 7);
    quantizer.ProcessImage(Frame640());
    RGBQuad table[256] = {};
    quantizer.GetColorTable(table);
    CPicture copy;
    (void)Frame640().Scale(90, 90, kScaleNearest, copy);
    copy.ReduceBitDepth(8, false, table, 0);
    const RGBQuad* palette = copy.Palette();
    if (std::none_of(palette, palette + 256, [](const RGBQuad& e) { return e.alpha != 0; })) {
      copy.Info().alphaPaletteEnabled = 0;
    }
    std::size_t size = 0;
    EncodedBytes out = copy.EncodeToMemory(kFormatGif, size);
    if (!out) state.SkipWithError("GIF encode failed");
    bytes = size;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Route_Wbmp(benchmark::State& state) {
  for (auto _ : state) {
    CPicture copy;
    (void)Frame640().Scale(90, 70, kScaleNearest, copy);
    copy.ReduceBitDepth(1);
    std::size_t size = 0;
    EncodedBytes out = copy.EncodeToMemory(kFormatWbmp, size);
    if (!out) state.SkipWithError("WBMP encode failed");
  }
}

// A desktop request for half the frame: the scale alone, from the frame where it lies,
// and as it was made before the scale only read its source, on a copy of the whole frame.
void BM_Scale640To320(benchmark::State& state) {
  CPicture scaled;
  for (auto _ : state) {
    if (!Frame640().Scale(320, 240, kScaleNearest, scaled)) state.SkipWithError("scale failed");
    benchmark::DoNotOptimize(scaled.Bits());
  }
}
void BM_Scale640To320_OnACopy(benchmark::State& state) {
  for (auto _ : state) {
    CPicture copy(Frame640());
    if (!copy.ScaleInPlace(320, 240)) state.SkipWithError("scale failed");
    benchmark::DoNotOptimize(copy.Bits());
  }
}

void TurboJpeg(benchmark::State& state, const CPicture& frame) {
  tjhandle handle = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  for (auto _ : state) {
    // The frame as the library takes it: bottom-up blue-green-red rows with their pitch.
    if (tjCompress2(handle, frame.Bits(), static_cast<int>(frame.Width()),
                    static_cast<int>(frame.RowBytes()), static_cast<int>(frame.Height()), TJPF_BGR,
                    &out, &size, TJSAMP_420, 75, TJFLAG_BOTTOMUP) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
  }
  state.counters["bytes"] = static_cast<double>(size);
  tjFree(out);
  tjDestroy(handle);
}

void BM_Ref_TurboJpeg640(benchmark::State& state) { TurboJpeg(state, Frame640()); }
void BM_Ref_TurboJpeg1280(benchmark::State& state) { TurboJpeg(state, Frame1280()); }

void PngToVector(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

void BM_Ref_LibPng640(benchmark::State& state) {
  const CPicture& frame = Frame640();
  const std::uint32_t w = frame.Width(), h = frame.Height();
  // The same pixels as plain top-down red-green-blue rows, prepared outside the timing.
  std::vector<std::uint8_t> rgb(3u * w * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = frame.Row(h - 1 - y);
    for (std::uint32_t x = 0; x < w; ++x) {
      rgb[3 * (y * w + x)] = in[3 * x + 2];
      rgb[3 * (y * w + x) + 1] = in[3 * x + 1];
      rgb[3 * (y * w + x) + 2] = in[3 * x];
    }
  }
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
      png_destroy_write_struct(&png, &info);
      state.SkipWithError("libpng failed");
      break;
    }
    png_set_write_fn(png, &out, PngToVector, nullptr);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < h; ++y) png_write_row(png, &rgb[3u * w * y]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// Pillow runs in Debian's python3 on the same pixels; its own wall-clock mean per
// iteration becomes this benchmark's manual time, its processor time a counter.
void BM_Ref_PillowGifSteps(benchmark::State& state) {
  const CPicture& frame = Frame640();
  const std::uint32_t w = frame.Width(), h = frame.Height();
  char path[] = "/tmp/orbiscope-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot make a temporary file");
    return;
  }
  FILE* f = fdopen(fd, "wb");
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = frame.Row(h - 1 - y);
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t rgb[3] = {in[3 * x + 2], in[3 * x + 1], in[3 * x]};
      std::fwrite(rgb, 1, 3, f);
    }
  }
  std::fclose(f);
  const std::string command = std::string("/usr/bin/python3 ") + ORBISCOPE_BENCH_SCRIPT_DIR +
                              "/pillow_gif_steps.py " + path + " " + std::to_string(w) + " " +
                              std::to_string(h) + " 200";
  double ms = -1, cpuMs = -1;
  for (auto _ : state) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr || std::fscanf(p, "%lf %lf", &ms, &cpuMs) != 2) {
      if (p) pclose(p);
      state.SkipWithError("Pillow did not run (needs Debian's python3 with python3-pil)");
      break;
    }
    pclose(p);
    state.SetIterationTime(ms / 1000.0);
  }
  // Pillow's own processor time per iteration, to set beside the routes' CPU column.
  state.counters["pillow_cpu_ms"] = cpuMs;
  std::remove(path);
}

BENCHMARK(BM_Route_Jpeg640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ref_TurboJpeg640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Route_Jpeg1280)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ref_TurboJpeg1280)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Route_Png640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ref_LibPng640)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Route_Gif)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ref_PillowGifSteps)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Route_Wbmp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale640To320)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scale640To320_OnACopy)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orbiscope

BENCHMARK_MAIN();
