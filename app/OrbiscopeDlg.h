#pragma once
// Glossary: COrbiscopeDlg ("dialog") is the main controller, a model without widgets.
// The main controller: the only place where capture and the web server meet. The server
// always starts first, capture only while the server runs, and a capture failure stops the
// server again, so both run together or not at all.
//
// This class has no widgets: the desktop window and the headless front-end put their own
// ControllerView over it and feed it commands and queued events on one thread.

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/ControllerView.h"
#include "app/WebServerHandle.h"
#include "capture/CaptureEventSink.h"
#include "capture/CaptureGraph.h"
#include "capture/NoSignal.h"
#include "config/ConfigStore.h"
#include "config/MessageSink.h"
#include "dialogs/ServerPage.h"
#include "dialogs/VideoPage.h"
#include "log/LogXML.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {

// The start-up checks of the platform; the defaults pass on Linux.
struct SystemChecks {
  // The video runtime's version (major*65536 + minor*256 + letter); negative when unknown.
  std::function<int(unsigned& version)> videoRuntimeVersion;
  // The UI thread's component initialisation; false when it failed.
  std::function<bool()> initComponents;
};
SystemChecks DefaultSystemChecks();

// Queues work to the user-interface thread; safe to call from any thread.
using UiPoster = std::function<void(std::function<void()>)>;

// What capture does, as the controller drives it.
enum class CapturePhase { kStopped, kPaused, kRunning };

class COrbiscopeDlg final : public CaptureEventSink, public ServerPageHost {
public:

  struct Dependencies {
    ConfigStore& config;
    LogXML& log;
    const ResourceLibrary& resources;
    MessageSink messages;
    ControllerView& view;
    UiPoster post;
    WebServerFactory serverFactory;
    std::vector<std::unique_ptr<CaptureBackend>> captureBackends;
    std::string exeFolder;
    CDlgOpcionServer::AddressSource addresses = LocalIPv4Addresses;
    SystemChecks checks = DefaultSystemChecks();
    OverlayFont dialogFont = {};
    // While the camera is away: how often the no-signal picture is renewed, and the clock
    // whose time it shows.
    std::chrono::milliseconds noSignalPeriod{1000};
    std::function<std::time_t()> wallClock = [] { return std::time(nullptr); };
  };

  explicit COrbiscopeDlg(Dependencies deps);
  ~COrbiscopeDlg() override;

  // Start-up in its fixed order; false when it stopped early.
  bool OnInitDialog();
  bool StartServer();
  void StopServer();
  // Stops capture for good (not to restart it), telling the server so its streams end.
  void StopCapture();
  bool StartCapture();
  bool RestoreWindowPosition();
  bool SaveWindowPosition();
  // Stops capture and server, saves the position and both pages, frees the pages and ends
  // the dialog. Runs once; later calls do nothing.
  void OnClose();

  // Commands.
  void OnPlay();
  void OnStop();
  void OnPause(bool fromTrayMenu);
  void OnExit();
  // Reads both pages' settings from the file again and runs Play: how an edited settings
  // file is applied without a window.
  void ReloadSettings();

  // Events queued to the UI thread.
  void OnFrameReady();
  void OnGraphEvent(long instance);

  ServerPhase ServerState() const override { return serverState_; }
  CapturePhase CaptureState() const { return captureState_; }
  bool StoppedByUser() const { return stoppedByUser_; }
  bool Closed() const { return closed_; }
  // True while the camera is away and the server goes on with the no-signal picture.
  bool NoCamera() const { return noCamera_; }
  CaptureGraph& Graph() { return graph_; }
  CDlgOpcionServer* ServerPage() { return serverPage_.get(); }
  CDlgOpcionVideo* VideoPage() { return videoPage_.get(); }
  WebServerHandle* Server() { return server_.get(); }

  // ServerPageHost
  void RestartServer() override;

  // CaptureEventSink: notices from capture.
  void PostFrameReady() override;
  void PostGraphEvent(long instance) override;
  void SendStopServer() override;
  void SendDeviceBack() override;
  CaptureError ShowDeviceControls(DeviceControls& controls) override;

private:
  // True when the settings file can be used: missing (the first-run defaults apply) or
  // well-formed. A file that exists but cannot be parsed is reported once, in a box and
  // in the log, and false is answered: nothing is then read from it or written to it.
  bool SettingsUsable(const char* function);
  // Says once, at start-up, that without a camera user and password no camera route
  // answers, and how to set them.
  void WarnWithoutCameraPassword();
  // Loads both pages from the settings file.
  void LoadPages();
  void Log(const char* text, const char* function);
  void Box(const std::string& caption, int textId);
  void ShowStoppedLook();
  // Capture's new state, told to the server for its status page too.
  void SetCaptureState(CapturePhase state);
  void ReportCapture();
  // Status text, status animation and buttons of a stopped server.
  void ShowStoppedControls();
  // Capture runs: its state, the controls and the running look.
  void ShowCapturing();
  // True when a camera that is away or cannot be opened leaves the server serving
  // ("KEEPSERVING" while the server runs).
  bool KeepsServing() const;
  // The camera went away, or could not be opened, under "KEEPSERVING": the server stays,
  // serving the no-signal picture, renewed by a timer until a camera runs or the server
  // stops. Nothing more when already in that state.
  void ServeWithoutCamera();
  // Ends that state and its timer; nothing when not in it.
  void EndNoCamera();
  void OnNoSignalTimer();
  // Lists the devices afresh and, when the camera the video page names is there, opens it.
  void RetryCamera();
  void PublishNoSignal();
  // The size of the frames served (the capture size, turned): while no camera has ever
  // given one, the no-signal picture's own.
  std::pair<std::int32_t, std::int32_t> ServedSize() const;

  ConfigStore& config_;
  LogXML& log_;
  const ResourceLibrary& resources_;
  MessageSink messages_;
  ControllerView& view_;
  UiPoster post_;
  WebServerFactory serverFactory_;
  std::string exeFolder_;
  CDlgOpcionServer::AddressSource addresses_;
  SystemChecks checks_;
  OverlayFont dialogFont_;
  std::chrono::milliseconds noSignalPeriod_;
  std::function<std::time_t()> wallClock_;

  ServerPhase serverState_ = ServerPhase::kStopped;
  CapturePhase captureState_ = CapturePhase::kStopped;
  bool stoppedByUser_ = false;
  bool panelExpanded_ = false;
  bool closed_ = false;
  bool settingsLoaded_ = false;  // the pages hold the settings file's values
  std::atomic<bool> framePending_{false};  // a frame-ready notice waits in the UI queue
  int windowX_ = 0;
  int windowY_ = 0;

  CaptureGraph graph_;
  GraphVideoHost videoHost_{graph_, *this};  // the video page's changes to capture
  std::unique_ptr<WebServerHandle> server_;
  std::unique_ptr<CDlgOpcionServer> serverPage_;
  std::unique_ptr<CDlgOpcionVideo> videoPage_;
  bool noCamera_ = false;
  bool openFailureLogged_ = false;  // this no-camera spell's failed opens are in the log
  NoSignalPicture noSignal_;
  std::jthread noSignalTimer_;  // only posts the renewal to this thread; ended first
};

}  // namespace orbiscope
