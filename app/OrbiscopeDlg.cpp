#include "app/OrbiscopeDlg.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <tuple>

#include "capture/CaptureStatus.h"
#include "capture/FramePreview.h"
#include "capture/FrameTransform.h"
#include "log/PlatformTexts.h"
#include "sysinfo/DirectXVersion.h"

namespace orbiscope {
namespace {

constexpr const char* kModule = "OrbiscopeDlg";
constexpr const char* kFnInit = "COrbiscopeDlg::OnInitDialog";
constexpr const char* kFnStartServer = "COrbiscopeDlg::StartServer";
constexpr const char* kFnClose = "COrbiscopeDlg::OnClose";
constexpr const char* kFnPlay = "COrbiscopeDlg::OnBnClickedBtnPlay";
constexpr const char* kFnReload = "COrbiscopeDlg::ReloadSettings";
constexpr const char* kFnGraphEvent = "COrbiscopeDlg::OnGraphEvent";
constexpr const char* kFnStartCapture = "COrbiscopeDlg::StartCapture";
constexpr const char* kGeneral = "GENERAL";
constexpr std::chrono::milliseconds kPlayDelay{1000};
// The no-signal picture's size while no camera has told one: the size most cameras start in.
constexpr std::int32_t kNoSignalWidth = 640;
constexpr std::int32_t kNoSignalHeight = 480;

}  // namespace

SystemChecks DefaultSystemChecks() {
  SystemChecks checks;
  checks.videoRuntimeVersion = [](unsigned& version) {
    std::uint32_t number = 0;
    const int result = GetDirectXVersion(&number, nullptr, 0);
    version = number;
    return result;
  };
  // Nothing needs initialising per thread here; the call point is kept for the check.
  checks.initComponents = [] { return true; };
  return checks;
}

COrbiscopeDlg::COrbiscopeDlg(Dependencies deps)
    : config_(deps.config),
      log_(deps.log),
      resources_(deps.resources),
      messages_(std::move(deps.messages)),
      view_(deps.view),
      post_(std::move(deps.post)),
      serverFactory_(std::move(deps.serverFactory)),
      exeFolder_(std::move(deps.exeFolder)),
      addresses_(std::move(deps.addresses)),
      checks_(std::move(deps.checks)),
      dialogFont_(std::move(deps.dialogFont)),
      noSignalPeriod_(deps.noSignalPeriod),
      wallClock_(std::move(deps.wallClock)),
      graph_(deps.resources, messages_, deps.log, std::move(deps.captureBackends)) {}

COrbiscopeDlg::~COrbiscopeDlg() {
  // A controller torn down without a close still must not leave threads running.
  noSignalTimer_ = std::jthread();
  graph_.Stop();
  if (server_) server_->Stop();
}

void COrbiscopeDlg::Log(const char* text, const char* function) {
  log_.WriteEntry(text, kModule, function);
}

void COrbiscopeDlg::Box(const std::string& caption, int textId) {
  if (messages_) messages_(caption, resources_.String(textId));
}

bool COrbiscopeDlg::SettingsUsable(const char* function) {
  const std::optional<ConfigStore::ParseProblem> problem = config_.Malformed();
  if (!problem) return true;
  // A file that could not be read at all has no line to name.
  const std::string where = config_.FileName() +
                            (problem->line > 0 ? ", line " + std::to_string(problem->line) : std::string()) +
                            ": " + problem->reason;
  Log(("Fichero de configuracion mal formado: " + where).c_str(), function);
  if (messages_) messages_(ConfigStore::kMalformedCaption, resources_.String(res::kStrSettingsBroken, where));
  return false;
}

void COrbiscopeDlg::LoadPages() {
  serverPage_->FillControls();
  videoPage_->LoadSettings();
  ApplyVideoSettings(videoPage_->Settings(), graph_);
  videoPage_->FillLists();
  settingsLoaded_ = true;
}

bool COrbiscopeDlg::OnInitDialog() {
  if (const std::string about = resources_.String(res::kStrAbout); !about.empty()) view_.AddAboutItem(about);
  view_.SetWindowIcon(true);
  view_.ShowSplash();
  // A settings file that cannot be parsed is never taken for the defaults, which would
  // serve the camera to anyone on port 80: nothing is read, and the server stays stopped.
  settingsLoaded_ = SettingsUsable(kFnInit);
  if (settingsLoaded_) RestoreWindowPosition();
  view_.LayOut(windowX_, windowY_);
  panelExpanded_ = false;
  if (!view_.CreateInformationPage()) return false;

  serverPage_ = std::make_unique<CDlgOpcionServer>(config_, log_, resources_, messages_, *this,
                                                   exeFolder_, addresses_);
  if (!serverPage_->OnInitDialog()) return false;
  if (settingsLoaded_) {
    serverPage_->FillControls();
    StartServer();
    WarnWithoutCameraPassword();
  }

  unsigned version = 0;
  if (!checks_.videoRuntimeVersion || checks_.videoRuntimeVersion(version) < 0) {
    Box("Error: 0x000003", res::kStrDirectX);
    view_.PostClose();
    return false;
  }
  if (version < kDirectXMinimumVersion) {
    Box("Error: 0x000002", res::kStrDirectX);
    view_.PostClose();
    return false;
  }
  if (checks_.initComponents && !checks_.initComponents()) {
    Log(platform_texts::kComInitFailed, kFnInit);
    Box("Error: 0x000004 ", res::kStrCom);
    view_.PostClose();
    return false;
  }

  if (Failed(graph_.EnumerateDevices())) {
    Log("Error listando dispositivos de captura", kFnInit);
    Box("Error: 0x000005", res::kStrNoDevice);
  }
  Log("Listados dispositivos", kFnInit);

  videoPage_ = std::make_unique<CDlgOpcionVideo>(config_, resources_, messages_, graph_, videoHost_);
  videoPage_->OnInitDialog(dialogFont_, settingsLoaded_);
  if (settingsLoaded_) ApplyVideoSettings(videoPage_->Settings(), graph_);

  std::string device = videoPage_->DeviceLabel();
  if (!graph_.ContainsDevice(device)) device.clear();
  if (Failed(graph_.ListSizes(device))) {
    Log("Error iniciando filtro de Video", kFnInit);
    Box("Error:0x000006", res::kStrDeviceNotAdded);
    // Under "KEEPSERVING" the server stays: the capture start below serves the no-signal
    // picture until a camera can be opened.
    if (!KeepsServing()) StopServer();
  }
  videoPage_->FillLists();

  if (serverState_ == ServerPhase::kRunning) {
    StartCapture();
  } else {
    // A broken settings file kept the server from being tried at all, so no stop has
    // shown the stopped controls yet; without them the window would offer Stop and Pause.
    if (!settingsLoaded_) ShowStoppedControls();
    ShowStoppedLook();
  }
  Log("Creados dialogos de opciones", kFnInit);
  return true;
}

void COrbiscopeDlg::WarnWithoutCameraPassword() {
  const ServerSettings settings = serverPage_->Settings();
  if (!settings.user.empty() && !settings.passwordDigest.empty()) return;
  Log("No hay usuario o password de camara: las imagenes de la camara no se sirven a nadie", kFnInit);
  if (messages_)
    messages_(resources_.String(res::kStrAppTitle),
              resources_.String(res::kStrNoCameraPassword, config_.FileName()));
  view_.ShowServerPage();
}

void COrbiscopeDlg::ShowStoppedControls() {
  view_.SetStatusText(resources_.String(res::kStrStopped));
  view_.ShowVideoArea(false);
  view_.PlayClip(res::kClipStopped);
  view_.SetButtons(/*play=*/true, /*pause=*/false, /*stop=*/false);
}

void COrbiscopeDlg::SetCaptureState(CapturePhase state) {
  captureState_ = state;
  ReportCapture();
}

void COrbiscopeDlg::ReportCapture() {
  if (!server_) return;
  CaptureReport report;
  report.run = noCamera_                         ? CaptureRun::NoCamera
               : captureState_ == CapturePhase::kRunning ? CaptureRun::Running
               : captureState_ == CapturePhase::kPaused ? CaptureRun::Paused
                                                 : CaptureRun::Stopped;
  // A camera missing since start-up was never opened: the one awaited is named.
  report.device = noCamera_ && videoPage_ ? videoPage_->DeviceLabel() : graph_.DeviceName();
  std::tie(report.width, report.height) = ServedSize();
  server_->ReportCapture(report);
}

void COrbiscopeDlg::ShowStoppedLook() {
  view_.SetWindowIcon(false);
  view_.SetTrayLook(false);
}

bool COrbiscopeDlg::StartServer() {
  if (serverState_ == ServerPhase::kRunning) StopServer();
  if (!settingsLoaded_) {
    // Start-up found the file broken; once it parses, the pages take its values first.
    if (!serverPage_ || !videoPage_ || !SettingsUsable(kFnStartServer)) {
      StopServer();
      return false;
    }
    LoadPages();
  }
  if (!server_ && serverFactory_) server_ = serverFactory_();

  // The values in force, never the edits: a half-typed or refused password is no digest.
  const ServerSettings settings = serverPage_ ? serverPage_->Settings() : ServerSettings{};
  const std::string& address = settings.address;
  if (address.empty()) {
    Box(resources_.String(res::kStrAppTitle), res::kStrNoAddress);
    Log("No se ha iniciado servidor WEB. IP incorrecta.", kFnStartServer);
    StopServer();
    return false;
  }
  const std::string& portText = settings.port;
  const long port = AtoL(portText);
  // A negative number would wrap to a valid-looking 16-bit port, so it is refused too.
  if (portText.empty() || port < 1 || port > 65535) {
    Log("No se ha iniciado servidor WEB. N\xC2\xBA Puerto incorrecto", kFnStartServer);
    Box(resources_.String(res::kStrAppTitle), res::kStrBadPort);
    StopServer();
    return false;
  }
  // Before the start: the first request may already ask what capture does.
  ReportCapture();
  WebServerStart start;
  start.address = address;
  start.port = static_cast<std::uint16_t>(port);
  start.contentFolder = settings.contentFolder;
  start.cameraUser = settings.user;
  start.cameraPassword = settings.passwordDigest;
  start.phonePages = settings.phonePages;
  start.openCamera = config_.GetValue("SERVER", "OPENCAMERA", "FALSE") == "TRUE";
  start.digestAuth = config_.GetValue("SERVER", "DIGESTAUTH", "FALSE") == "TRUE";
  start.corsOrigin = config_.GetValue("SERVER", "CORSORIGIN", "");
  if (server_ && server_->InitServer(log_, start)) {
    Log("Iniciado Servidor Web", kFnStartServer);
    if (start.openCamera) {
      Log("OPENCAMERA is TRUE: /?action=snapshot and /?action=stream are served without "
          "credentials", kFnStartServer);
    }
    serverState_ = ServerPhase::kRunning;
    return true;
  }
  Log("No se ha iniciado servidor WEB", kFnStartServer);
  StopServer();
  return false;
}

void COrbiscopeDlg::StopServer() {
  EndNoCamera();
  if (server_) {
    server_->Stop();
    serverState_ = ServerPhase::kStopped;
    server_.reset();
    ShowStoppedControls();
    if (serverPage_) serverPage_->SetServerState(ServerPhase::kStopped);
  }
  view_.Repaint();
}

void COrbiscopeDlg::StopCapture() {
  graph_.Stop();
  if (server_) server_->CaptureStopped();
}

bool COrbiscopeDlg::StartCapture() {
  graph_.Stop();
  const int device = videoPage_ ? videoPage_->DeviceIndex() : 0;
  const int size = videoPage_ ? videoPage_->SizeIndex() : 0;
  // A camera the settings name is waited for while it is away, not stood in for by
  // whichever device is listed first.
  const bool away = KeepsServing() && !videoPage_->DeviceLabel().empty() &&
                    !graph_.ContainsDevice(videoPage_->DeviceLabel());
  if (away || Failed(graph_.Open(*this, device, size))) {
    if (KeepsServing()) {
      graph_.Stop();  // the next try builds afresh
      ServeWithoutCamera();
      if (!openFailureLogged_) {
        openFailureLogged_ = true;
        Log("No se puede abrir el dispositivo de captura: se sirve la imagen sin se\xC3\xB1" "al "
            "y se reintenta cada segundo", kFnStartCapture);
      }
      return false;
    }
    SetCaptureState(CapturePhase::kStopped);
    StopCapture();
    StopServer();
    return false;
  }
  if (noCamera_) {
    EndNoCamera();
    Log("Dispositivo de captura recuperado", kFnGraphEvent);
  }
  ShowCapturing();
  return true;
}

void COrbiscopeDlg::ShowCapturing() {
  SetCaptureState(CapturePhase::kRunning);
  view_.PlayClip(0);
  view_.ShowVideoArea(true);
  view_.SetStatusText(resources_.String(res::kStrRunning));
  view_.SetButtons(/*play=*/false, /*pause=*/true, /*stop=*/true);
  if (serverPage_) serverPage_->SetServerState(ServerPhase::kRunning);
  view_.SetWindowIcon(true);
  view_.SetTrayLook(true);
  view_.Repaint();
}

bool COrbiscopeDlg::RestoreWindowPosition() {
  windowX_ = static_cast<int>(config_.GetInt(kGeneral, "MAINWNDPOSX", 0));
  windowY_ = static_cast<int>(config_.GetInt(kGeneral, "MAINWNDPOSY", 0));
  return true;
}

bool COrbiscopeDlg::SaveWindowPosition() {
  const auto [x, y] = view_.WindowPosition();
  // Unmoved, the file's position (perhaps edited by hand meanwhile) stays.
  if (x == windowX_ && y == windowY_) return true;
  if (config_.SetInt(kGeneral, "MAINWNDPOSX", x) != 0) return false;
  return config_.SetInt(kGeneral, "MAINWNDPOSY", y) == 0;
}

void COrbiscopeDlg::OnClose() {
  if (closed_) return;
  closed_ = true;
  EndNoCamera();
  StopCapture();
  SetCaptureState(CapturePhase::kStopped);
  Log("Parada captura web", kFnClose);
  if (server_) {
    server_->Stop();
    Log("Finalizado Servidor Web", kFnClose);
    server_.reset();
    serverState_ = ServerPhase::kStopped;
  }
  // Pages that never held the file's values would write defaults over it, and a file that
  // no longer parses is left for the user to mend.
  if (settingsLoaded_ && SettingsUsable(kFnClose)) {
    bool saved = SaveWindowPosition();
    if (serverPage_) saved = serverPage_->SaveSettings() && saved;
    if (videoPage_) saved = videoPage_->SaveSettings() && saved;
    if (!saved) {
      // The file is whole (every write replaces it at once); the user learns which changes
      // did not reach it.
      Log(("No se han podido guardar los ajustes en " + config_.FileName()).c_str(), kFnClose);
      if (messages_)
        messages_(resources_.String(res::kStrAppTitle),
                  resources_.String(res::kStrSettingsNotSaved, config_.FileName()));
    }
  }
  serverPage_.reset();
  videoPage_.reset();
  view_.EndDialog();
}

void COrbiscopeDlg::OnPlay() {
  if (closed_) return;
  if (captureState_ == CapturePhase::kPaused) {
    StartCapture();
    return;
  }
  stoppedByUser_ = false;
  view_.PlayClip(res::kClipStarting);
  view_.Wait(kPlayDelay);
  StartServer();
  if (serverState_ == ServerPhase::kRunning) StartCapture();
}

void COrbiscopeDlg::OnStop() {
  if (closed_) return;
  if (stoppedByUser_) {
    view_.Repaint();
    return;
  }
  stoppedByUser_ = true;
  StopCapture();
  SetCaptureState(CapturePhase::kStopped);
  Log("Parada captura Web", kFnPlay);
  StopServer();
  view_.SetButtons(/*play=*/true, /*pause=*/false, /*stop=*/false);
  ShowStoppedLook();
  view_.Repaint();
}

void COrbiscopeDlg::OnPause(bool fromTrayMenu) {
  // Without a camera there is nothing to pause, and the server goes on either way.
  if (closed_ || noCamera_) return;
  view_.SetButtons(/*play=*/true, /*pause=*/false, /*stop=*/true);
  if (!Failed(graph_.Pause())) SetCaptureState(CapturePhase::kPaused);
  if (fromTrayMenu) view_.SetTrayLook(false);
}

void COrbiscopeDlg::OnExit() { OnClose(); }

void COrbiscopeDlg::ReloadSettings() {
  if (closed_ || !serverPage_ || !videoPage_) return;
  // A file that cannot be parsed changes nothing: what runs keeps its values.
  if (!SettingsUsable(kFnReload)) return;
  LoadPages();
  if (captureState_ == CapturePhase::kPaused) SetCaptureState(CapturePhase::kStopped);  // Play rebuilds all
  OnPlay();
}

void COrbiscopeDlg::RestartServer() {
  StopCapture();
  SetCaptureState(CapturePhase::kStopped);
  StopServer();
  if (StartServer()) StartCapture();
}

void COrbiscopeDlg::OnFrameReady() {
  // Cleared before the frame is read, so a frame arriving meanwhile is announced again.
  framePending_.store(false);
  if (closed_ || !videoPage_) return;
  OverlaySettings overlay = videoPage_->Overlay(view_.Preview());
  // The caption is placed on the frame as shown: turned sideways, width and height swap.
  ClampOverlayPosition(overlay.x, overlay.y, graph_.TurnedWidth(), graph_.TurnedHeight());
  videoPage_->AdoptPosition(overlay.x, overlay.y);
  if (graph_.ProcessFrame(overlay) && server_) {
    const SharedFrame frame = graph_.Latest();
    server_->UpdateFrame(frame.image, FrameInfo{frame.width, frame.height});
  }
}

void COrbiscopeDlg::OnGraphEvent(long instance) {
  if (closed_ || instance != kGraphEventInstance) return;
  graph_.HandleGraphEvents(*this);
}

void COrbiscopeDlg::PostFrameReady() {
  // At most one notice waits: a UI slower than the camera skips frames instead of queueing
  // them, so commands and signals queued behind are handled at once.
  if (framePending_.exchange(true)) return;
  post_([this] { OnFrameReady(); });
}

void COrbiscopeDlg::PostGraphEvent(long instance) {
  post_([this, instance] { OnGraphEvent(instance); });
}

bool COrbiscopeDlg::KeepsServing() const {
  return server_ && serverState_ == ServerPhase::kRunning && videoPage_ && videoPage_->KeepServing();
}

void COrbiscopeDlg::SendStopServer() {
  if (KeepsServing()) {
    Log("Dispositivo de captura perdido: se sirve la imagen sin se\xC3\xB1" "al", kFnGraphEvent);
    ServeWithoutCamera();
    return;
  }
  StopServer();
}

void COrbiscopeDlg::SendDeviceBack() {
  // Queued rather than run inside the graph's event handling, which Play rebuilds; a Stop
  // the user gave meanwhile wins.
  post_([this] {
    if (closed_ || stoppedByUser_) return;
    if (!noCamera_) {
      OnPlay();
      return;
    }
    // The server never stopped: capture alone starts again, so the streams that stayed
    // open go on with live frames. A camera that will not open yet is tried again.
    StartCapture();
  });
}

void COrbiscopeDlg::ServeWithoutCamera() {
  if (noCamera_) return;
  noCamera_ = true;
  SetCaptureState(CapturePhase::kStopped);
  // The video area shows what the viewers get, time advancing, rather than the stopped
  // animation: the server is not stopped, and the window should not say so.
  view_.PlayClip(0);
  view_.ShowVideoArea(true);
  view_.SetStatusText(resources_.String(res::kStrNoCamera));
  // Play would restart the server the viewers are on; the camera's return resumes by itself.
  view_.SetButtons(/*play=*/false, /*pause=*/false, /*stop=*/true);
  // A camera missing since start-up: no capture start has said yet that the server runs.
  if (serverPage_) serverPage_->SetServerState(ServerPhase::kRunning);
  PublishNoSignal();
  noSignalTimer_ = std::jthread([this, post = post_, period = noSignalPeriod_](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait_for(lock, stop, period, [] { return false; });
      if (stop.stop_requested()) return;
      post([this] { OnNoSignalTimer(); });
    }
  });
  view_.Repaint();
}

void COrbiscopeDlg::EndNoCamera() {
  if (!noCamera_) return;
  noCamera_ = false;
  openFailureLogged_ = false;
  noSignalTimer_ = std::jthread();  // stops and joins; a renewal still queued finds the state ended
}

void COrbiscopeDlg::OnNoSignalTimer() {
  if (closed_ || !noCamera_) return;
  if (graph_.Running()) {
    // The video page opened a device meanwhile: its frames are the live ones now.
    EndNoCamera();
    ShowCapturing();
    return;
  }
  RetryCamera();
  if (noCamera_) PublishNoSignal();
}

void COrbiscopeDlg::RetryCamera() {
  if (!videoPage_) return;
  // Listed afresh: a camera missing at start-up is in no list yet, and a returned one may
  // have another place in it.
  graph_.EnumerateDevices();
  const std::string wanted = videoPage_->DeviceLabel();
  const bool present = wanted.empty() ? !graph_.DeviceNames().empty() : graph_.ContainsDevice(wanted);
  if (!present) {
    // The page's menu offers what is there, and its indexes count in the graph's list.
    if (!graph_.DeviceNames().empty() && graph_.DeviceNames() != videoPage_->DeviceNames())
      videoPage_->FillLists();
    return;
  }
  // The first failure was logged; the same ones every second would bury it.
  graph_.SetQuietReports(true);
  graph_.ListSizes(wanted);
  videoPage_->FillLists();
  StartCapture();
  graph_.SetQuietReports(false);
}

void COrbiscopeDlg::PublishNoSignal() {
  if (!server_ || !videoPage_) return;
  // The size viewers had: a turned camera's frames are turned.
  const auto [width, height] = ServedSize();
  OverlaySettings overlay = videoPage_->Overlay(view_.Preview());
  ClampOverlayPosition(overlay.x, overlay.y, width, height);
  CPicture frame = noSignal_.Frame(width, height, resources_.String(res::kStrNoSignal),
                                   overlay.font.faceName);
  if (!frame.HasPixels()) return;
  graph_.Callback().DrawMarks(frame, overlay, wallClock_());
  if (overlay.preview != nullptr) overlay.preview->PaintFrame(frame);
  server_->PublishNoSignal(std::move(frame), height, width);
}

std::pair<std::int32_t, std::int32_t> COrbiscopeDlg::ServedSize() const {
  std::int32_t width = graph_.Width(), height = graph_.Height();
  if (noCamera_ && (width <= 0 || height <= 0)) {
    width = kNoSignalWidth;
    height = kNoSignalHeight;
  }
  std::pair<std::int32_t, std::int32_t> turned;
  TurnedSize(graph_.Turn(), width, height, turned.first, turned.second);
  return turned;
}

CaptureError COrbiscopeDlg::ShowDeviceControls(DeviceControls& controls) {
  return view_.ShowDeviceControls(controls);
}

}  // namespace orbiscope
