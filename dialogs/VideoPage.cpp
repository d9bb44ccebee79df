#include "dialogs/VideoPage.h"

#include <cstdio>
#include <cstdlib>

namespace orbiscope {
namespace {

std::string SizeName(std::int32_t width, std::int32_t height) {
  char text[32];
  std::snprintf(text, sizeof text, "%d x %d", width, height);
  return text;
}

// The last entry equal to text, or -1.
int LastIndexOf(const std::vector<std::string>& names, const std::string& text) {
  for (int i = static_cast<int>(names.size()) - 1; i >= 0; --i)
    if (names[static_cast<std::size_t>(i)] == text) return i;
  return -1;
}

}  // namespace

CDlgOpcionVideo::CDlgOpcionVideo(ConfigStore& config, const ResourceLibrary& resources,
                                 MessageSink messages, const CaptureGraph& graph,
                                 VideoPageHost& host)
    : config_(config),
      resources_(resources),
      messages_(std::move(messages)),
      graph_(graph),
      host_(host) {}

void CDlgOpcionVideo::OnInitDialog(const OverlayFont& dialogFont, bool loadSettings) {
  settings_.showText = false;
  settings_.font = dialogFont;
  if (loadSettings) LoadSettings();
}

void CDlgOpcionVideo::LoadSettings() {
  settings_ = ReadVideoSettings(config_, settings_.font);
  sizeLabel_ = settings_.height != 0 ? SizeName(settings_.width, settings_.height) : std::string();
  edited_.clear();
  loaded_ = true;
}

bool CDlgOpcionVideo::SaveSettings() {
  // Nothing to save without a device, nor before the values were loaded: an empty page
  // would overwrite good settings.
  if (deviceNames_.empty() || !loaded_) return true;
  // The device as chosen and the size capture runs at, which the device may have picked.
  VideoSettings saved = settings_;
  const std::size_t device = static_cast<std::size_t>(deviceIndex_);
  if (device < deviceNames_.size()) saved.device = deviceNames_[device];
  saved.width = graph_.Width();
  saved.height = graph_.Height();
  // Only what the user changed here: the device, size, position and frame rate the program
  // picked or clamped by itself are no edits, and the file may hold newer values by hand.
  return WriteVideoSettings(config_, saved, edited_);
}

void CDlgOpcionVideo::FillLists() {
  if (graph_.DeviceNames().empty()) return;
  deviceNames_ = graph_.DeviceNames();
  if (!graph_.SizeNames().empty()) sizeNames_ = graph_.SizeNames();
  if (settings_.device.empty()) {
    settings_.device = deviceNames_[0];
    deviceIndex_ = 0;
  } else if (const int i = LastIndexOf(deviceNames_, settings_.device); i >= 0) {
    deviceIndex_ = i;
  }
  if (!sizeLabel_.empty()) {
    if (const int i = LastIndexOf(sizeNames_, sizeLabel_); i >= 0) sizeIndex_ = i;
  } else {
    sizeLabel_ = SizeName(graph_.Width(), graph_.Height());
    sizeIndex_ = 0;
  }
  if (graph_.FrameRate() == 0.0) {
    host_.SetFrameRate(graph_.DefaultFrameRate());
    char text[32];
    std::snprintf(text, sizeof text, "%2.0f", graph_.FrameRate());
    settings_.frameRate = text;
  }
}

std::vector<std::string> CDlgOpcionVideo::DeviceMenuItems() const {
  std::vector<std::string> items;
  items.reserve(deviceNames_.size());
  for (const auto& name : deviceNames_) items.push_back(FirstCharacters(name, kMenuNameLength));
  return items;
}

void CDlgOpcionVideo::OnCommand(VideoCommand command, int item) {
  const auto within = [item](std::size_t count) { return item >= 0 && item < static_cast<int>(count); };
  if (command == VideoCommand::kDevice && within(deviceNames_.size())) {
    deviceIndex_ = item;
    settings_.device = deviceNames_[static_cast<std::size_t>(deviceIndex_)];
    MarkEdited({VideoField::kDevice, VideoField::kSize});
    host_.StopCapture();
    TakeSizesOfDevice();
    host_.OpenCapture(deviceIndex_, sizeIndex_);
  } else if (command == VideoCommand::kSize && within(sizeNames_.size())) {
    sizeIndex_ = item;
    sizeLabel_ = sizeNames_[static_cast<std::size_t>(sizeIndex_)];
    MarkEdited({VideoField::kSize});
    Restart();
  } else if (command == VideoCommand::kTime && within(kTimeLocale - kTimeNone + 1)) {
    settings_.timeMode = kTimeNone + item;
    MarkEdited({VideoField::kTimeMode});
  } else if (command == VideoCommand::kTurn && within(4)) {
    settings_.turn.rotate = item * 90;
    host_.SetTurn(settings_.turn);
    MarkEdited({VideoField::kRotate});
  } else if (command == VideoCommand::kMirror && within(3)) {
    settings_.turn.flip = static_cast<FrameFlip>(item);
    host_.SetTurn(settings_.turn);
    MarkEdited({VideoField::kFlip});
  }
}

void CDlgOpcionVideo::TakeSizesOfDevice() {
  // The size index counts in the device's own list: kept from the previous device it would
  // open another size, or none at all on a device with fewer sizes. The size stays when
  // the new device offers it too.
  if (!host_.ListSizes(settings_.device)) return;
  sizeNames_ = graph_.SizeNames();
  const int same = LastIndexOf(sizeNames_, sizeLabel_);
  sizeIndex_ = same >= 0 ? same : 0;
  sizeLabel_ = sizeNames_[static_cast<std::size_t>(sizeIndex_)];
}

void CDlgOpcionVideo::Restart() {
  host_.StopCapture();
  host_.OpenCapture(deviceIndex_, sizeIndex_);
}

void CDlgOpcionVideo::OnEnter() {
  const double rate = std::strtod(settings_.frameRate.c_str(), nullptr);
  if (rate > 0.0 && rate <= kMaxFrameRate) {
    if (rate != graph_.FrameRate()) {
      host_.SetFrameRate(rate);
      Restart();
    }
    return;
  }
  if (messages_) messages_(resources_.String(res::kStrSettingsTitle), resources_.String(res::kStrFrameRateRefused));
}

void CDlgOpcionVideo::OnPropertyPages() {
  if (graph_.Stopped() == 0) host_.ShowDeviceControls();
}

void CDlgOpcionVideo::OnArrow(Arrow arrow) {
  // The bound is tested before the step, so a value just inside it can step past; the
  // next press or the frame's clamping brings it back. The caption sits on the frame as
  // shown, turned.
  const std::int32_t w = graph_.TurnedWidth();
  const std::int32_t h = graph_.TurnedHeight();
  MarkEdited({VideoField::kPosition});
  std::int32_t& x = settings_.x;
  std::int32_t& y = settings_.y;
  switch (arrow) {
    case Arrow::Up: y = y < 10 ? 10 : y - 2; break;
    case Arrow::Down: y = h < y ? h : y + 2; break;
    case Arrow::Left: x = x < 0 ? 0 : x - 2; break;
    case Arrow::Right: x = w - 5 < x ? w - 5 : x + 2; break;
  }
}

void CDlgOpcionVideo::OnResetPosition() {
  MarkEdited({VideoField::kPosition});
  settings_.x = 0;
  settings_.y = graph_.TurnedHeight() - 2;
}

std::string CDlgOpcionVideo::Shown(const std::string& sizeName) const {
  if (!settings_.turn.Sideways()) return sizeName;
  int width = 0, height = 0;
  if (std::sscanf(sizeName.c_str(), "%d x %d", &width, &height) != 2) return sizeName;
  return SizeName(height, width);
}

std::string CDlgOpcionVideo::ShownSizeLabel() const { return Shown(sizeLabel_); }

std::vector<std::string> CDlgOpcionVideo::ShownSizeNames() const {
  std::vector<std::string> names;
  names.reserve(sizeNames_.size());
  for (const std::string& name : sizeNames_) names.push_back(Shown(name));
  return names;
}

void CDlgOpcionVideo::OnFontChosen(const OverlayFont& font, std::uint32_t colour) {
  settings_.font = font;
  settings_.font.faceName = FirstCharacters(font.faceName, VideoSettings::kMaxFaceName);
  settings_.colour = colour;
  MarkEdited({VideoField::kFont});
}

void CDlgOpcionVideo::SetCaptionText(const std::string& text) {
  settings_.caption = FirstCharacters(text, kMaxCaption);
  MarkEdited({VideoField::kCaption});
}

void CDlgOpcionVideo::SetFrameRateText(std::string text) {
  settings_.frameRate = std::move(text);
  MarkEdited({VideoField::kFrameRate});
}

OverlaySettings CDlgOpcionVideo::Overlay(FramePreview* preview) const {
  OverlaySettings s;
  s.caption = settings_.caption;
  s.font = settings_.font;
  s.x = settings_.x;
  s.y = settings_.y;
  s.colour = settings_.colour;
  s.preview = preview;
  s.timeMode = settings_.timeMode;
  s.outline = settings_.outline;
  return s;
}

}  // namespace orbiscope
