#pragma once
// Turning and mirroring the picture of a camera that hangs sideways, upside down or looks
// into a mirror. Cheap cameras ignore the driver's own flip controls, so the frame path does
// it: the one pass that takes a frame out of the grabber's buffer writes it turned.

#include <cstdint>
#include <string>
#include <string_view>

namespace orbiscope {

class CPicture;

// Mirroring, done to the camera's picture before it is turned.
enum class FrameFlip { kNone = 0, kHorizontal = 1, kVertical = 2 };

// How a frame is turned: mirrored first, then rotated clockwise by 0, 90, 180 or 270 degrees.
struct FrameTurn {
  int rotate = 0;
  FrameFlip flip = FrameFlip::kNone;

  // Width and height trade places.
  bool Sideways() const { return rotate == 90 || rotate == 270; }
  friend bool operator==(const FrameTurn&, const FrameTurn&) = default;
};

// "0", "90", "180" or "270"; false (degrees unchanged) for anything else.
bool ParseRotation(std::string_view text, int& degrees);
// "NONE", "HORIZONTAL" or "VERTICAL"; false (flip unchanged) for anything else.
bool ParseFlip(std::string_view text, FrameFlip& flip);
// The settings-file word of a flip.
const char* FlipName(FrameFlip flip);

// The size of a width x height frame once turned.
void TurnedSize(const FrameTurn& turn, std::int32_t width, std::int32_t height,
                std::int32_t& turnedWidth, std::int32_t& turnedHeight);

// Writes the turned frame into target in one pass. source holds a width x height frame in
// the grabber's format (24-bit blue-green-red, rows bottom-up, padded to 4 bytes). target
// becomes a 24-bit BMP picture as a decode of that frame would; a target of the right size
// keeps its block. False (target emptied, its last error says why) when no picture of that
// size can be made.
bool TurnFrame(const std::uint8_t* source, std::int32_t width, std::int32_t height,
               const FrameTurn& turn, CPicture& target);

}  // namespace orbiscope
