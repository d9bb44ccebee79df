#pragma once
// The marks drawn into every processed frame: the caption, the time text and the logo.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "capture/TextMask.h"

namespace orbiscope {

class CPicture;
class FramePreview;

// Time modes; each is also the number of the string that names it.
inline constexpr int kTimeNone = 126;
inline constexpr int kTimeOfDay = 127;      // "%H:%M:%S"
inline constexpr int kTimeDayAndTime = 128; // "%d %H:%M:%S"
inline constexpr int kTimeLocale = 129;     // "%c"
// The caption position that means "never placed".
inline constexpr int kUnplaced = -100;

// The stored caption font. Width, escapement, strike-out and character set are kept for
// the settings file but do not change the drawing.
struct OverlayFont {
  std::int32_t height = -13;
  std::int32_t width = 0;
  std::int32_t escapement = 0;
  std::int32_t orientation = 0;
  std::int32_t weight = 400;
  std::uint8_t italic = 0;
  std::uint8_t underline = 0;
  std::uint8_t strikeOut = 0;
  std::uint8_t charSet = 0;
  std::uint8_t outPrecision = 0;
  std::uint8_t clipPrecision = 0;
  std::uint8_t quality = 0;
  std::uint8_t pitchAndFamily = 0;
  std::string faceName;  // at most 31 characters are used
};

// What the main window hands over for each frame.
struct OverlaySettings {
  std::string caption;            // UTF-8, at most 35 characters
  OverlayFont font;
  std::int32_t x = kUnplaced;     // left edge of the caption
  std::int32_t y = kUnplaced;     // bottom edge of the caption, rows from the top
  std::uint32_t colour = 0;       // 0x00BBGGRR
  FramePreview* preview = nullptr;  // where the finished frame is shown; may be null
  std::int32_t timeMode = kTimeNone;
  bool outline = false;           // a dark edge around both texts, readable on any picture
};

// Applies the main window's clamping for a capture of width x height; the caller writes
// x and y back into the settings page.
void ClampOverlayPosition(std::int32_t& x, std::int32_t& y, std::int32_t captureWidth,
                          std::int32_t captureHeight);

// The time text of a mode at time now (local time); empty for mode 126 and unknown modes,
// and when the time cannot be converted or formatted.
std::string TimeText(int timeMode, std::time_t now);

// Draws text into image with its bottom row on row y (from the top) and its left edge at
// x; every pixel with any coverage takes the colour. Pixels outside are skipped; an image
// without pixels is left alone. With outline, every pixel next to the text (the eight
// neighbours of a covered one) first turns black, so a light text stays legible on a light
// picture and a dark one gains a rim.
void DrawOverlayText(CPicture& image, TextMaskRenderer& renderer, std::int32_t x, std::int32_t y,
                     std::string_view text, std::uint32_t colour, std::string_view face,
                     std::int32_t height, std::int32_t weight, bool italic, bool underline,
                     bool outline = false);

// Adds logo into the bottom-left corner of image, channel by channel, capped at 255.
void StampLogo(CPicture& image, const CPicture& logo);

}  // namespace orbiscope
