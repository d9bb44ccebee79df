#pragma once
// The video settings as plain values: what the "VIDEO" keys of the settings file hold, read
// and written here and nowhere else. The video page edits a copy; the controller applies
// one to the capture graph.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "capture/FrameTransform.h"
#include "capture/Overlay.h"
#include "config/ConfigStore.h"

namespace orbiscope {

class CaptureGraph;

struct VideoSettings {
  static constexpr std::size_t kMaxCaption = 35;   // characters the caption keeps
  static constexpr std::size_t kMaxFaceName = 31;  // characters a font face name keeps

  std::string device;           // the device's (cut) name; empty: the first listed
  std::int32_t width = 0;       // the frame size; 0 lets the device decide
  std::int32_t height = 0;
  std::string frameRate = "20";  // text, as the file and the rate box keep it
  bool showText = false;
  std::string caption;          // UTF-8, at most kMaxCaption characters
  int timeMode = kTimeNone;
  bool outline = false;         // set by the file only: never written back
  std::int32_t x = 0;
  std::int32_t y = 20;
  OverlayFont font;
  std::uint32_t colour = 0;     // 0x00BBGGRR
  FrameTurn turn;
  // A camera that goes away leaves the server serving a no-signal picture instead of
  // stopping it. Set by the file only: never written back.
  bool keepServing = false;
};

// The groups of keys an edit changes; a close writes only the groups edited.
enum class VideoField {
  kDevice,     // DEVICE
  kSize,       // SIZE\WIDHT, SIZE\HEIGTH
  kFrameRate,  // FPS
  kShowText,   // OVERLAYTEXT\SHOWTEXT
  kCaption,    // OVERLAYTEXT\TEXT
  kPosition,   // OVERLAYTEXT\XPOS, YPOS
  kTimeMode,   // OVERLAYTEXT\TIMEDATA
  kFont,       // OVERLAYTEXT\FONT\NAME ... COLOR
  kRotate,     // ROTATE
  kFlip,       // FLIP
};
using VideoEdits = std::set<VideoField>;

// The first n UTF-8 characters of text.
std::string FirstCharacters(const std::string& text, std::size_t n);

// The file's values. The font starts as startFont: the file does not hold all of it, and
// a face it leaves empty stays. Unknown turn words leave the picture as the camera gives it.
VideoSettings ReadVideoSettings(const ConfigStore& config, const OverlayFont& startFont);

// Writes the keys of the edited groups, in the file's key order; false at the first write
// that failed (later keys are then not written).
bool WriteVideoSettings(ConfigStore& config, const VideoSettings& settings, const VideoEdits& edited);

// Hands capture what it takes from the settings before it opens: size, rate and turn.
void ApplyVideoSettings(const VideoSettings& settings, CaptureGraph& graph);

}  // namespace orbiscope
