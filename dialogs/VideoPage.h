#pragma once
// Glossary: CDlgOpcionVideo ("options dialog: video") is the page's model, without widgets.
// The video page: device, frame size, frame rate, caption with its font, colour and
// position, and the time display.
//
// This class is the page without widgets; the desktop front-end puts a view over it. It
// asks its host to restart capture when the device, the size or the frame rate change,
// and the main window reads its overlay values for every frame.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture/CaptureGraph.h"
#include "capture/CaptureEventSink.h"
#include "capture/FrameTransform.h"
#include "capture/Overlay.h"
#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "dialogs/VideoSettings.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

// What the page asks of capture, which is the main controller's to change: the page only
// reads the graph.
class VideoPageHost {
public:
  virtual ~VideoPageHost() = default;
  // Stops capture, before it opens on another device, size or rate.
  virtual void StopCapture() = 0;
  // Lists the sizes of the named device into the graph; false when it offers none.
  virtual bool ListSizes(const std::string& device) = 0;
  // Opens capture on the device and size at these indexes of the graph's lists.
  virtual void OpenCapture(int deviceIndex, int sizeIndex) = 0;
  // The frame rate the next open asks for.
  virtual void SetFrameRate(double rate) = 0;
  // How frames are turned, from the next frame on.
  virtual void SetTurn(const FrameTurn& turn) = 0;
  // Shows the settings of the device capture runs on.
  virtual void ShowDeviceControls() = 0;
};

// The host that hands the page's requests to a capture graph, whose events window hears.
class GraphVideoHost final : public VideoPageHost {
public:
  GraphVideoHost(CaptureGraph& graph, CaptureEventSink& window) : graph_(graph), window_(window) {}
  void StopCapture() override { graph_.Stop(); }
  bool ListSizes(const std::string& device) override { return !Failed(graph_.ListSizes(device)); }
  void OpenCapture(int deviceIndex, int sizeIndex) override { graph_.Open(window_, deviceIndex, sizeIndex); }
  void SetFrameRate(double rate) override { graph_.SetFrameRate(rate); }
  void SetTurn(const FrameTurn& turn) override { graph_.SetTurn(turn); }
  void ShowDeviceControls() override { graph_.ShowPropertyPages(window_); }

private:
  CaptureGraph& graph_;
  CaptureEventSink& window_;
};

// The page's menus; a choice is the menu and the index of the item chosen in it.
enum class VideoCommand {
  kDevice,  // the device list
  kSize,    // the device's sizes
  kTime,    // no time, time of day, day and time, the locale's form
  kTurn,    // 0, 90, 180, 270 degrees clockwise
  kMirror,  // none, horizontal, vertical
};

class CDlgOpcionVideo {
public:
  static constexpr std::size_t kMaxCaption = VideoSettings::kMaxCaption;  // characters
  static constexpr std::size_t kMenuNameLength = 25;  // characters of a device name in its menu
  static constexpr double kMaxFrameRate = 30.0;

  enum class Arrow { Up, Down, Left, Right };

  // graph is the main window's capture graph, read here; host changes it.
  CDlgOpcionVideo(ConfigStore& config, const ResourceLibrary& resources, MessageSink messages,
                  const CaptureGraph& graph, VideoPageHost& host);

  // Initialisation: show text off, the font from the dialog's own, then the settings
  // (unless the settings file cannot be used yet). Capture takes them from Settings(): the
  // page does not hand them to the graph.
  void OnInitDialog(const OverlayFont& dialogFont, bool loadSettings = true);
  void LoadSettings();
  // The values in force, as the file would hold them after a close.
  const VideoSettings& Settings() const { return settings_; }
  // Writes the "VIDEO" keys the user changed since the page was loaded; false when a write
  // failed (later keys are then not written). Writes nothing when there is no device or
  // nothing was loaded.
  bool SaveSettings();
  // Takes the graph's device and size lists once they are known.
  void FillLists();

  // A menu choice; an item outside the menu does nothing. A turn or mirror applies from
  // the next frame on.
  void OnCommand(VideoCommand command, int item);
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
  const std::string& DeviceLabel() const { return settings_.device; }
  const std::string& SizeLabel() const { return sizeLabel_; }
  // The size as the picture is shown: the size label, width and height swapped when the
  // picture is turned sideways.
  std::string ShownSizeLabel() const;
  const std::string& FrameRateText() const { return settings_.frameRate; }
  const std::string& CaptionText() const { return settings_.caption; }
  std::string TimeLabel() const { return resources_.String(settings_.timeMode); }
  void SetFrameRateText(std::string text);
  // Keeps at most 35 characters, as the caption box does.
  void SetCaptionText(const std::string& text);

  // The menus: titles and items, with the checked item.
  std::vector<std::string> DeviceMenuItems() const;
  const std::vector<std::string>& SizeNames() const { return sizeNames_; }
  // The size menu's items as the picture is shown, in the order of SizeNames: turned
  // sideways, each with width and height swapped. The choice stays the camera's size.
  std::vector<std::string> ShownSizeNames() const;
  const std::vector<std::string>& DeviceNames() const { return deviceNames_; }

  int DeviceIndex() const { return deviceIndex_; }
  int SizeIndex() const { return sizeIndex_; }
  int TimeMode() const { return settings_.timeMode; }
  std::int32_t X() const { return settings_.x; }
  std::int32_t Y() const { return settings_.y; }
  const OverlayFont& Font() const { return settings_.font; }
  std::uint32_t Colour() const { return settings_.colour; }
  bool ShowText() const { return settings_.showText; }
  const FrameTurn& Turn() const { return settings_.turn; }
  // "KEEPSERVING": a camera that goes away leaves the server serving a no-signal picture
  // instead of stopping it. Read only: the file's value is never written over.
  bool KeepServing() const { return settings_.keepServing; }

  // The overlay for the next frame; Adopt writes back the clamped position.
  OverlaySettings Overlay(FramePreview* preview) const;
  void AdoptPosition(std::int32_t x, std::int32_t y) {
    settings_.x = x;
    settings_.y = y;
  }

private:
  void Restart();
  void TakeSizesOfDevice();
  // A size name of the camera's as the picture is shown.
  std::string Shown(const std::string& sizeName) const;
  // The user changed what these hold; LoadSettings forgets it.
  void MarkEdited(std::initializer_list<VideoField> fields) { edited_.insert(fields); }

  ConfigStore& config_;
  const ResourceLibrary& resources_;
  MessageSink messages_;
  const CaptureGraph& graph_;
  VideoPageHost& host_;

  std::vector<std::string> deviceNames_;
  std::vector<std::string> sizeNames_;
  int deviceIndex_ = 0;
  int sizeIndex_ = 0;
  VideoSettings settings_;  // the device holds the label shown, perhaps of a device gone
  bool loaded_ = false;
  VideoEdits edited_;       // what the user changed since the page was loaded

  std::string sizeLabel_;
};

}  // namespace orbiscope
