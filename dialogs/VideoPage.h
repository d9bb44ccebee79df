#pragma once
// Glossary: CDlgOpcionVideo ("options dialog: video") is the page's model, without widgets.
// The video page: device, frame size, frame rate, caption with its font, colour and
// position, and the time display.
//
// This class is the page without widgets; the desktop front-end puts a view over it. It
// restarts capture when the device, the size or the frame rate change, and the main
// window reads its overlay values for every frame.

#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureGraph.h"
#include "capture/CaptureEventSink.h"
#include "capture/FrameTransform.h"
#include "capture/Overlay.h"
#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

class CDlgOpcionVideo {
public:
  static constexpr int kCmdDeviceBase = 49000;
  static constexpr int kCmdSizeBase = 49020;
  static constexpr int kCmdTimeBase = 49100;
  static constexpr int kCmdRotateBase = 49110;  // + 0..3: 0, 90, 180, 270 degrees
  static constexpr int kCmdFlipBase = 49120;    // + 0..2: none, horizontal, vertical
  static constexpr std::size_t kMaxCaption = 35;      // characters
  static constexpr std::size_t kMenuNameLength = 25;  // characters of a device name in its menu
  static constexpr double kMaxFrameRate = 30.0;

  enum class Arrow { Up, Down, Left, Right };

  // graph is the main window's capture graph; window hears the restarted capture.
  CDlgOpcionVideo(ConfigStore& config, const ResourceLibrary& resources, MessageSink messages,
                  CaptureGraph& graph, CaptureEventSink& window);

  // Initialisation: show text off, the font from the dialog's own, then the settings
  // (unless the settings file cannot be used yet).
  void OnInitDialog(const OverlayFont& dialogFont, bool loadSettings = true);
  void LoadSettings();
  // Writes the "VIDEO" keys the user changed since the page was loaded; false when a write
  // failed (later keys are then not written). Writes nothing when there is no device or
  // nothing was loaded.
  bool SaveSettings();
  // Takes the graph's device and size lists once they are known.
  void FillLists();

  // Menus: device 49000+i, size 49020+i, time 49100..49103, turn 49110..49113, mirror
  // 49120..49122 (a turn or mirror applies from the next frame on).
  void OnCommand(int command);
  // The Enter key: apply the frame rate typed in the box.
  void OnEnter();
  void OnPropertyPages();
  // Whether OnPropertyPages can show anything: only a running capture has a device open.
  bool PropertyPagesAvailable() const { return graph_.Stopped() == 0; }
  void OnArrow(Arrow arrow);
  void OnResetPosition();
  // The font chooser was confirmed.
  void OnFontChosen(const OverlayFont& font, std::uint32_t colour);

  // Texts of the page's labels and boxes.
  const std::string& DeviceLabel() const { return deviceLabel_; }
  const std::string& SizeLabel() const { return sizeLabel_; }
  // The size as the picture is shown: the size label, width and height swapped when the
  // picture is turned sideways.
  std::string ShownSizeLabel() const;
  const std::string& FrameRateText() const { return frameRateText_; }
  const std::string& CaptionText() const { return captionText_; }
  std::string TimeLabel() const { return resources_.String(timeMode_); }
  void SetFrameRateText(std::string text);
  // Keeps at most 35 characters, as the caption box does.
  void SetCaptionText(const std::string& text);

  // The menus: titles and items, with the checked item.
  std::vector<std::string> DeviceMenuItems() const;
  const std::vector<std::string>& SizeNames() const { return sizeNames_; }
  const std::vector<std::string>& DeviceNames() const { return deviceNames_; }

  int DeviceIndex() const { return deviceIndex_; }
  int SizeIndex() const { return sizeIndex_; }
  int TimeMode() const { return timeMode_; }
  std::int32_t X() const { return x_; }
  std::int32_t Y() const { return y_; }
  const OverlayFont& Font() const { return font_; }
  std::uint32_t Colour() const { return colour_; }
  bool ShowText() const { return showText_ != 0; }
  const FrameTurn& Turn() const { return turn_; }
  // "KEEPSERVING": a camera that goes away leaves the server serving a no-signal picture
  // instead of stopping it. Read only: the file's value is never written over.
  bool KeepServing() const { return keepServing_; }

  // The overlay for the next frame; Adopt writes back the clamped position.
  OverlaySettings Overlay(FramePreview* preview) const;
  void AdoptPosition(std::int32_t x, std::int32_t y) { x_ = x; y_ = y; }

private:
  struct SettingKey {
    const char* section;
    const char* key;
  };
  void Restart();
  void TakeSizesOfDevice();
  // The user changed what these keys hold; LoadSettings forgets it.
  void MarkEdited(std::initializer_list<SettingKey> keys);
  bool Edited(std::string_view section, std::string_view key) const;

  ConfigStore& config_;
  const ResourceLibrary& resources_;
  MessageSink messages_;
  CaptureGraph& graph_;
  CaptureEventSink& window_;

  std::vector<std::string> deviceNames_;
  std::vector<std::string> sizeNames_;
  int deviceIndex_ = 0;
  int sizeIndex_ = 0;
  int timeMode_ = kTimeNone;
  bool outline_ = false;
  std::int32_t x_ = 0;
  std::int32_t y_ = 20;
  OverlayFont font_;
  std::uint32_t colour_ = 0;
  std::uint8_t showText_ = 0;
  FrameTurn turn_;
  bool keepServing_ = false;
  bool loaded_ = false;
  std::set<std::string> edited_;  // "SECTION\\KEY" of every key the user changed

  std::string deviceLabel_;
  std::string sizeLabel_;
  std::string frameRateText_ = "20";
  std::string captionText_;
};

}  // namespace orbiscope
