#include "dialogs/VideoPage.h"

#include <cstdio>
#include <cstdlib>

#include "capture/CaptureStatus.h"

namespace orbiscope {
namespace {

constexpr const char* kVideo = "VIDEO";
constexpr const char* kSize = "VIDEO\\SIZE";
constexpr const char* kText = "VIDEO\\OVERLAYTEXT";
constexpr const char* kFont = "VIDEO\\OVERLAYTEXT\\FONT";
constexpr std::size_t kFaceNameLength = 31;  // characters a face name keeps

// The first n UTF-8 characters of text.
std::string FirstCharacters(const std::string& text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t count = 0; i < text.size() && count < n; ++count) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

std::string SizeName(std::int32_t width, std::int32_t height) {
  char text[32];
  std::snprintf(text, sizeof text, "%d x %d", width, height);
  return text;
}

const char* Bool(bool value) { return value ? "TRUE" : "FALSE"; }

// The last entry equal to text, or -1.
int LastIndexOf(const std::vector<std::string>& names, const std::string& text) {
  for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i)
    if (names[static_cast<std::size_t>(i)] == text) return i;
  return -1;
}

}  // namespace

CDlgOpcionVideo::CDlgOpcionVideo(ConfigStore& config, const ResourceLibrary& resources,
                                 MessageSink messages, CaptureGraph& graph,
                                 CaptureEventSink& window)
    : config_(config),
      resources_(resources),
      messages_(std::move(messages)),
      graph_(graph),
      window_(window) {}

void CDlgOpcionVideo::OnInitDialog(const OverlayFont& dialogFont, bool loadSettings) {
  showText_ = 0;
  font_ = dialogFont;
  if (loadSettings) LoadSettings();
}

void CDlgOpcionVideo::LoadSettings() {
  deviceLabel_ = config_.GetValue(kVideo, "DEVICE", "");
  const auto width = static_cast<std::int32_t>(config_.GetInt(kSize, "WIDHT", 0));
  const auto height = static_cast<std::int32_t>(config_.GetInt(kSize, "HEIGTH", 0));
  graph_.SetWidth(width);
  graph_.SetHeight(height);
  sizeLabel_ = height != 0 ? SizeName(width, height) : std::string();
  frameRateText_ = config_.GetValue(kVideo, "FPS", "");
  graph_.SetFrameRate(std::strtod(frameRateText_.c_str(), nullptr));
  showText_ = config_.GetValue(kText, "SHOWTEXT", "FALSE") == "TRUE" ? 1 : 0;
  keepServing_ = config_.GetValue(kVideo, "KEEPSERVING", "FALSE") == "TRUE";
  captionText_ = FirstCharacters(config_.GetValue(kText, "TEXT", ""), kMaxCaption);
  timeMode_ = static_cast<int>(config_.GetInt(kText, "TIMEDATA", kTimeNone));
  // Only the file sets it (the page has no control for it), so it is never written back.
  outline_ = config_.GetValue(kText, "OUTLINE", "FALSE") == "TRUE";
  const std::string face = config_.GetValue(kFont, "NAME", "");
  if (!face.empty()) font_.faceName = FirstCharacters(face, kFaceNameLength);
  font_.height = static_cast<std::int32_t>(config_.GetInt(kFont, "HEIGTH", -13));
  font_.width = static_cast<std::int32_t>(config_.GetInt(kFont, "WIDHT", 0));
  font_.italic = config_.GetValue(kFont, "ITALIC", "") == "TRUE" ? 1 : 0;
  font_.underline = config_.GetValue(kFont, "UNDERLINE", "") == "TRUE" ? 1 : 0;
  font_.strikeOut = config_.GetValue(kFont, "STRIKEOUT", "") == "TRUE" ? 1 : 0;
  colour_ = static_cast<std::uint32_t>(config_.GetInt(kFont, "COLOR", 0));
  x_ = static_cast<std::int32_t>(config_.GetInt(kText, "XPOS", kUnplaced));
  y_ = static_cast<std::int32_t>(config_.GetInt(kText, "YPOS", kUnplaced));
  // An absent or unknown value leaves the picture as the camera gives it.
  turn_ = FrameTurn{};
  ParseRotation(config_.GetValue(kVideo, "ROTATE", "0"), turn_.rotate);
  ParseFlip(config_.GetValue(kVideo, "FLIP", "NONE"), turn_.flip);
  graph_.SetTurn(turn_);
  edited_.clear();
  loaded_ = true;
}

bool CDlgOpcionVideo::SaveSettings() {
  // Nothing to save without a device, nor before the values were loaded: an empty page
  // would overwrite good settings.
  if (deviceNames_.empty() || !loaded_) return true;
  const std::size_t device = static_cast<std::size_t>(deviceIndex_);
  const std::string deviceName = device < deviceNames_.size() ? deviceNames_[device] : deviceLabel_;
  struct Write {
    const char* section;
    const char* key;
    std::string value;
  };
  const Write writes[] = {
      {kVideo, "DEVICE", deviceName},
      {kSize, "WIDHT", std::to_string(graph_.Width())},
      {kSize, "HEIGTH", std::to_string(graph_.Height())},
      {kVideo, "FPS", frameRateText_},
      {kText, "SHOWTEXT", Bool(showText_ == 1)},
      {kText, "TEXT", captionText_},
      {kText, "XPOS", std::to_string(x_)},
      {kText, "YPOS", std::to_string(y_)},
      {kText, "TIMEDATA", std::to_string(timeMode_)},
      {kFont, "NAME", font_.faceName},
      {kFont, "HEIGTH", std::to_string(font_.height)},
      {kFont, "WIDHT", std::to_string(font_.width)},
      {kFont, "ITALIC", Bool(font_.italic == 1)},
      {kFont, "UNDERLINE", Bool(font_.underline == 1)},
      {kFont, "STRIKEOUT", Bool(font_.strikeOut == 1)},
      {kFont, "COLOR", std::to_string(colour_)},
      {kVideo, "ROTATE", std::to_string(turn_.rotate)},
      {kVideo, "FLIP", FlipName(turn_.flip)},
  };
  // Only what the user changed here: the device, size, position and frame rate the program
  // picked or clamped by itself are no edits, and the file may hold newer values by hand.
  for (const Write& w : writes)
    if (Edited(w.section, w.key) && config_.SetValue(w.section, w.key, w.value) != 0) return false;
  return true;
}

void CDlgOpcionVideo::FillLists() {
  if (graph_.DeviceNames().empty()) return;
  deviceNames_ = graph_.DeviceNames();
  if (!graph_.SizeNames().empty()) sizeNames_ = graph_.SizeNames();
  if (deviceLabel_.empty()) {
    deviceLabel_ = deviceNames_[0];
    deviceIndex_ = 0;
  } else if (const int i = LastIndexOf(deviceNames_, deviceLabel_); i >= 0) {
    deviceIndex_ = i;
  }
  if (!sizeLabel_.empty()) {
    if (const int i = LastIndexOf(sizeNames_, sizeLabel_); i >= 0) sizeIndex_ = i;
  } else {
    sizeLabel_ = SizeName(graph_.Width(), graph_.Height());
    sizeIndex_ = 0;
  }
  if (graph_.FrameRate() == 0.0) {
    graph_.SetFrameRate(graph_.DefaultFrameRate());
    char text[32];
    std::snprintf(text, sizeof text, "%2.0f", graph_.FrameRate());
    frameRateText_ = text;
  }
}

std::vector<std::string> CDlgOpcionVideo::DeviceMenuItems() const {
  std::vector<std::string> items;
  items.reserve(deviceNames_.size());
  for (const auto& name : deviceNames_) items.push_back(FirstCharacters(name, kMenuNameLength));
  return items;
}

void CDlgOpcionVideo::OnCommand(int command) {
  if (command >= kCmdDeviceBase && command < kCmdDeviceBase + static_cast<int>(deviceNames_.size())) {
    deviceIndex_ = command - kCmdDeviceBase;
    deviceLabel_ = deviceNames_[static_cast<std::size_t>(deviceIndex_)];
    MarkEdited({{kVideo, "DEVICE"}, {kSize, "WIDHT"}, {kSize, "HEIGTH"}});
    graph_.Stop();
    TakeSizesOfDevice();
    graph_.Open(window_, deviceIndex_, sizeIndex_);
  } else if (command >= kCmdSizeBase && command < kCmdSizeBase + static_cast<int>(sizeNames_.size())) {
    sizeIndex_ = command - kCmdSizeBase;
    sizeLabel_ = sizeNames_[static_cast<std::size_t>(sizeIndex_)];
    MarkEdited({{kSize, "WIDHT"}, {kSize, "HEIGTH"}});
    Restart();
  } else if (command >= kCmdTimeBase && command <= kCmdTimeBase + (kTimeLocale - kTimeNone)) {
    timeMode_ = kTimeNone + (command - kCmdTimeBase);
    MarkEdited({{kText, "TIMEDATA"}});
  } else if (command >= kCmdRotateBase && command < kCmdRotateBase + 4) {
    turn_.rotate = (command - kCmdRotateBase) * 90;
    graph_.SetTurn(turn_);
    MarkEdited({{kVideo, "ROTATE"}});
  } else if (command >= kCmdFlipBase && command < kCmdFlipBase + 3) {
    turn_.flip = static_cast<FrameFlip>(command - kCmdFlipBase);
    graph_.SetTurn(turn_);
    MarkEdited({{kVideo, "FLIP"}});
  }
}

void CDlgOpcionVideo::TakeSizesOfDevice() {
  // The size index counts in the device's own list: kept from the previous device it would
  // open another size, or none at all on a device with fewer sizes. The size stays when
  // the new device offers it too.
  if (Failed(graph_.ListSizes(deviceLabel_))) return;
  sizeNames_ = graph_.SizeNames();
  const int same = LastIndexOf(sizeNames_, sizeLabel_);
  sizeIndex_ = same >= 0 ? same : 0;
  sizeLabel_ = sizeNames_[static_cast<std::size_t>(sizeIndex_)];
}

void CDlgOpcionVideo::Restart() {
  graph_.Stop();
  graph_.Open(window_, deviceIndex_, sizeIndex_);
}

void CDlgOpcionVideo::OnEnter() {
  const double rate = std::strtod(frameRateText_.c_str(), nullptr);
  if (rate > 0.0 && rate <= kMaxFrameRate) {
    if (rate != graph_.FrameRate()) {
      graph_.SetFrameRate(rate);
      Restart();
    }
    return;
  }
  if (messages_) messages_(resources_.String(res::kStrSettingsTitle), resources_.String(res::kStrFrameRateRefused));
}

void CDlgOpcionVideo::OnPropertyPages() {
  if (graph_.Stopped() == 0) graph_.ShowPropertyPages(window_);
}

void CDlgOpcionVideo::OnArrow(Arrow arrow) {
  // The bound is tested before the step, so a value just inside it can step past; the
  // next press or the frame's clamping brings it back. The caption sits on the frame as
  // shown, turned.
  const std::int32_t w = graph_.TurnedWidth();
  const std::int32_t h = graph_.TurnedHeight();
  MarkEdited({{kText, "XPOS"}, {kText, "YPOS"}});
  switch (arrow) {
    case Arrow::Up: y_ = y_ < 10 ? 10 : y_ - 2; break;
    case Arrow::Down: y_ = h < y_ ? h : y_ + 2; break;
    case Arrow::Left: x_ = x_ < 0 ? 0 : x_ - 2; break;
    case Arrow::Right: x_ = w - 5 < x_ ? w - 5 : x_ + 2; break;
  }
}

void CDlgOpcionVideo::OnResetPosition() {
  MarkEdited({{kText, "XPOS"}, {kText, "YPOS"}});
  x_ = 0;
  y_ = graph_.TurnedHeight() - 2;
}

std::string CDlgOpcionVideo::ShownSizeLabel() const {
  if (!turn_.Sideways()) return sizeLabel_;
  int width = 0, height = 0;
  if (std::sscanf(sizeLabel_.c_str(), "%d x %d", &width, &height) != 2) return sizeLabel_;
  return SizeName(height, width);
}

void CDlgOpcionVideo::OnFontChosen(const OverlayFont& font, std::uint32_t colour) {
  font_ = font;
  font_.faceName = FirstCharacters(font_.faceName, kFaceNameLength);
  colour_ = colour;
  MarkEdited({{kFont, "NAME"}, {kFont, "HEIGTH"}, {kFont, "WIDHT"}, {kFont, "ITALIC"}, {kFont, "UNDERLINE"},
              {kFont, "STRIKEOUT"}, {kFont, "COLOR"}});
}

void CDlgOpcionVideo::SetCaptionText(const std::string& text) {
  captionText_ = FirstCharacters(text, kMaxCaption);
  MarkEdited({{kText, "TEXT"}});
}

void CDlgOpcionVideo::SetFrameRateText(std::string text) {
  frameRateText_ = std::move(text);
  MarkEdited({{kVideo, "FPS"}});
}

void CDlgOpcionVideo::MarkEdited(std::initializer_list<SettingKey> keys) {
  for (const SettingKey& k : keys) edited_.insert(std::string(k.section) + '\\' + k.key);
}

bool CDlgOpcionVideo::Edited(std::string_view section, std::string_view key) const {
  return edited_.count(std::string(section) + '\\' + std::string(key)) != 0;
}

OverlaySettings CDlgOpcionVideo::Overlay(FramePreview* preview) const {
  OverlaySettings s;
  s.caption = captionText_;
  s.font = font_;
  s.x = x_;
  s.y = y_;
  s.colour = colour_;
  s.preview = preview;
  s.timeMode = timeMode_;
  s.outline = outline_;
  return s;
}

}  // namespace orbiscope
