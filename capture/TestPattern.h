#pragma once
// The built-in test-pattern camera: a back-end with one device, listed after the real
// cameras, so that a machine without a camera still runs the whole pipeline.
//
// Each frame is a function of its number alone: colour bars on the upper two thirds, a
// white block that moves eight pixels a frame on the lower third, and the frame number in
// 32 black-or-white cells along the bottom.

#include <cstdint>
#include <memory>
#include <string_view>

#include "capture/CaptureBackend.h"

namespace orbiscope {

// The device's display name.
inline constexpr std::string_view kTestPatternName = "Orbiscope test pattern";
// The fastest rate it offers, as a frame duration (30 frames a second).
inline constexpr std::int64_t kTestPatternMinFrameTime = 333'333;

// Draws frame number into dst, bottom-up 24-bit rows padded to 4 bytes (width, height > 0).
void RenderTestPattern(std::uint8_t* dst, int width, int height, std::uint32_t frame);
// Reads the frame number back from a frame drawn by RenderTestPattern (width >= 32).
std::uint32_t ReadTestPatternNumber(const std::uint8_t* frame, int width, int height);

// The back-end: sizes 640 x 480, 320 x 240, 800 x 600, 1280 x 720.
std::unique_ptr<CaptureBackend> MakeTestPatternBackend();

}  // namespace orbiscope
