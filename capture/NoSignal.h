#pragma once
// The picture served while the camera is away: a dark frame at the capture size with a
// text in its middle. The caption, time and logo go on top of it as on a live frame, so a
// viewer sees the time advance and knows the server itself is alive.

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/TextMask.h"
#include "image/Picture.h"

namespace orbiscope {

class NoSignalPicture {
public:
  // The frame's grey level and the text's colour (0x00BBGGRR).
  static constexpr std::uint8_t kBackground = 0x18;
  static constexpr std::uint32_t kTextColour = 0x00C8C8C8;

  // A fresh copy of the dark frame of width x height with text centred in face, ready for
  // the marks; empty when the size is not a picture's. The frame without marks is kept
  // until size, text or face change, so each call costs one copy.
  CPicture Frame(std::int32_t width, std::int32_t height, std::string_view text,
                 std::string_view face);

private:
  TextMaskRenderer renderer_;
  CPicture base_;
  std::string text_;
  std::string face_;
};

}  // namespace orbiscope
