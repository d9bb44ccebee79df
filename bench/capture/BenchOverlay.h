#pragma once
// What the frame-path benchmarks draw into every frame: a caption, the time and the logo.

#include "capture/Overlay.h"

namespace orbiscope {

inline OverlaySettings CaptionAndTime(int width, int height) {
  OverlaySettings settings;
  settings.caption = "Orbiscope - front door";
  settings.font.faceName = "DejaVu Sans";
  settings.font.height = -13;
  settings.colour = 0x0000FFFF;
  settings.timeMode = kTimeOfDay;
  ClampOverlayPosition(settings.x, settings.y, width, height);
  return settings;
}

}  // namespace orbiscope
