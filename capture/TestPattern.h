#pragma once
// The built-in test-pattern camera: a back-end with one device, listed after the real
// cameras, so that a machine without a camera still runs the whole pipeline.
//
// Each frame is a function of its number and the device's controls alone: colour bars on
// the upper two thirds, a white block that moves eight pixels a frame on the lower third,
// and the frame number in 32 black-or-white cells along the bottom. The controls change
// the picture as a camera's would, but never the number cells, which stay readable.

#include <cstdint>
#include <memory>
#include <string_view>

#include "capture/CaptureBackend.h"

namespace orbiscope {

// The device's display name.
inline constexpr std::string_view kTestPatternName = "Orbiscope test pattern";
// The fastest rate it offers, as a frame duration (30 frames a second).
inline constexpr std::int64_t kTestPatternMinFrameTime = 333'333;

// What the upper two thirds show (the device's "Pattern" menu).
enum class TestPatternKind { ColourBars = 0, GreySteps = 1, Checkerboard = 2 };

// The device's controls; the defaults draw the plain pattern.
struct TestPatternLook {
  int brightness = 0;    // added to every channel, -100 .. 100
  int contrast = 100;    // percent of a channel's distance from mid-grey kept, 0 .. 200
  int saturation = 100;  // percent of a colour's distance from its grey kept, 0 .. 200
  bool movingBlock = true;
  TestPatternKind pattern = TestPatternKind::ColourBars;
};

// Draws frame number into dst, bottom-up 24-bit rows padded to 4 bytes (width, height > 0).
void RenderTestPattern(std::uint8_t* dst, int width, int height, std::uint32_t frame,
                       const TestPatternLook& look = {});
// Reads the frame number back from a frame drawn by RenderTestPattern (width >= 32).
std::uint32_t ReadTestPatternNumber(const std::uint8_t* frame, int width, int height);

// The back-end: sizes 640 x 480, 320 x 240, 800 x 600, 1280 x 720, and the controls
// Brightness, Contrast, Saturation, "Show moving block" and "Pattern", which keep their
// values across opens of the device, as a camera's driver does.
std::unique_ptr<CaptureBackend> MakeTestPatternBackend();

}  // namespace orbiscope
