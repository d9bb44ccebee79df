#include "dialogs/VideoSettings.h"

#include <cstdlib>
#include <string_view>

#include "capture/CaptureGraph.h"

namespace orbiscope {
namespace {

constexpr const char* kVideo = "VIDEO";
constexpr const char* kSize = "VIDEO\\SIZE";
constexpr const char* kText = "VIDEO\\OVERLAYTEXT";
constexpr const char* kFont = "VIDEO\\OVERLAYTEXT\\FONT";

const char* Bool(bool value) { return value ? "TRUE" : "FALSE"; }

}  // namespace

std::string FirstCharacters(const std::string& text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t count = 0; i < text.size() && count < n; ++count) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

VideoSettings ReadVideoSettings(const ConfigStore& config, const OverlayFont& startFont) {
  VideoSettings s;
  s.device = config.GetValue(kVideo, "DEVICE", "");
  s.width = static_cast<std::int32_t>(config.GetInt(kSize, "WIDHT", 0));
  s.height = static_cast<std::int32_t>(config.GetInt(kSize, "HEIGTH", 0));
  s.frameRate = config.GetValue(kVideo, "FPS", "");
  s.showText = config.GetValue(kText, "SHOWTEXT", "FALSE") == "TRUE";
  s.keepServing = config.GetValue(kVideo, "KEEPSERVING", "FALSE") == "TRUE";
  s.caption = FirstCharacters(config.GetValue(kText, "TEXT", ""), VideoSettings::kMaxCaption);
  s.timeMode = static_cast<int>(config.GetInt(kText, "TIMEDATA", kTimeNone));
  s.outline = config.GetValue(kText, "OUTLINE", "FALSE") == "TRUE";
  s.font = startFont;
  const std::string face = config.GetValue(kFont, "NAME", "");
  if (!face.empty()) s.font.faceName = FirstCharacters(face, VideoSettings::kMaxFaceName);
  s.font.height = static_cast<std::int32_t>(config.GetInt(kFont, "HEIGTH", -13));
  s.font.width = static_cast<std::int32_t>(config.GetInt(kFont, "WIDHT", 0));
  s.font.italic = config.GetValue(kFont, "ITALIC", "") == "TRUE" ? 1 : 0;
  s.font.underline = config.GetValue(kFont, "UNDERLINE", "") == "TRUE" ? 1 : 0;
  s.font.strikeOut = config.GetValue(kFont, "STRIKEOUT", "") == "TRUE" ? 1 : 0;
  s.colour = static_cast<std::uint32_t>(config.GetInt(kFont, "COLOR", 0));
  s.x = static_cast<std::int32_t>(config.GetInt(kText, "XPOS", kUnplaced));
  s.y = static_cast<std::int32_t>(config.GetInt(kText, "YPOS", kUnplaced));
  ParseRotation(config.GetValue(kVideo, "ROTATE", "0"), s.turn.rotate);
  ParseFlip(config.GetValue(kVideo, "FLIP", "NONE"), s.turn.flip);
  return s;
}

bool WriteVideoSettings(ConfigStore& config, const VideoSettings& s, const VideoEdits& edited) {
  struct Write {
    VideoField field;
    const char* section;
    const char* key;
    std::string value;
  };
  const Write writes[] = {
      {VideoField::kDevice, kVideo, "DEVICE", s.device},
      {VideoField::kSize, kSize, "WIDHT", std::to_string(s.width)},
      {VideoField::kSize, kSize, "HEIGTH", std::to_string(s.height)},
      {VideoField::kFrameRate, kVideo, "FPS", s.frameRate},
      {VideoField::kShowText, kText, "SHOWTEXT", Bool(s.showText)},
      {VideoField::kCaption, kText, "TEXT", s.caption},
      {VideoField::kPosition, kText, "XPOS", std::to_string(s.x)},
      {VideoField::kPosition, kText, "YPOS", std::to_string(s.y)},
      {VideoField::kTimeMode, kText, "TIMEDATA", std::to_string(s.timeMode)},
      {VideoField::kFont, kFont, "NAME", s.font.faceName},
      {VideoField::kFont, kFont, "HEIGTH", std::to_string(s.font.height)},
      {VideoField::kFont, kFont, "WIDHT", std::to_string(s.font.width)},
      {VideoField::kFont, kFont, "ITALIC", Bool(s.font.italic == 1)},
      {VideoField::kFont, kFont, "UNDERLINE", Bool(s.font.underline == 1)},
      {VideoField::kFont, kFont, "STRIKEOUT", Bool(s.font.strikeOut == 1)},
      {VideoField::kFont, kFont, "COLOR", std::to_string(s.colour)},
      {VideoField::kRotate, kVideo, "ROTATE", std::to_string(s.turn.rotate)},
      {VideoField::kFlip, kVideo, "FLIP", FlipName(s.turn.flip)},
  };
  for (const Write& w : writes)
    if (edited.count(w.field) != 0 && config.SetValue(w.section, w.key, w.value) != ConfigStore::kOk) return false;
  return true;
}

void ApplyVideoSettings(const VideoSettings& settings, CaptureGraph& graph) {
  graph.SetWidth(settings.width);
  graph.SetHeight(settings.height);
  graph.SetFrameRate(std::strtod(settings.frameRate.c_str(), nullptr));
  graph.SetTurn(settings.turn);
}

}  // namespace orbiscope
