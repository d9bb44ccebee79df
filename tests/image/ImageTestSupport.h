#pragma once
// Helpers shared by the picture tests: independent decoders and test pictures.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/Picture.h"

namespace orbiscope::testing {

// Encodes through the dispatch into memory; empty on failure.
inline std::vector<std::uint8_t> EncodeBytes(const CPicture& pic, std::uint32_t format) {
  std::size_t size = 0;
  EncodedBytes bytes = pic.EncodeToMemory(format, size);
  if (!bytes) return {};
  return std::vector<std::uint8_t>(bytes.get(), bytes.get() + size);
}

// The reason an encode through the dispatch fails; "" when it succeeds.
inline std::string EncodeError(const CPicture& pic, std::uint32_t format) {
  std::size_t size = 0;
  std::uint8_t* buffer = nullptr;
  const PictureResult result = pic.Encode(buffer, size, format);
  std::free(buffer);
  return result.ok ? "" : result.error;
}

// A smooth, noisy picture like a camera frame: gradients, a few shapes and sensor noise.
inline CPicture NaturalFrame(std::uint32_t w, std::uint32_t h, std::uint32_t seed = 1) {
  CPicture pic(w, h, 24, kFormatBmp);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* row = pic.Row(y);
    for (std::uint32_t x = 0; x < w; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>((state >> 24) % 9) - 4;
      const int dx = static_cast<int>(x) - static_cast<int>(w / 2);
      const int dy = static_cast<int>(y) - static_cast<int>(h / 3);
      const bool disc = dx * dx + dy * dy < static_cast<int>(w * w / 25);
      int r = static_cast<int>(x * 200 / (w ? w : 1)) + 30;
      int g = static_cast<int>(y * 180 / (h ? h : 1)) + 40;
      int b = disc ? 220 - static_cast<int>(y * 60 / (h ? h : 1)) : 90 + static_cast<int>((x + y) % 64);
      auto clamp = [](int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      row[3 * x] = clamp(b + noise);
      row[3 * x + 1] = clamp(g + noise);
      row[3 * x + 2] = clamp(r + noise);
    }
  }
  return pic;
}

// A GIF read back by giflib: the first image's size, its indices top row first, and the
// colour table that applies to it (local, else global) as red, green, blue triples.
struct DecodedGif {
  bool ok = false;
  int screenWidth = 0, screenHeight = 0;
  int imageCount = 0;
  int width = 0, height = 0;
  std::vector<std::uint8_t> indices;
  std::vector<std::uint8_t> colors;
  // Composed 24-bit screen (red, green, blue per pixel, top row first) over all images.
  std::vector<std::uint8_t> screen;
};
DecodedGif DecodeGif(const std::vector<std::uint8_t>& bytes);

}  // namespace orbiscope::testing
