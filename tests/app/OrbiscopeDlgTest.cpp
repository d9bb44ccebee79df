#include "app/OrbiscopeDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>

#include "app/WebServerAdapter.h"
#include "capture/TestPattern.h"
#include "capture/V4L2Backend.h"
#include "httpd/camera/CameraRoutes.h"
#include "httpd/client/Md5Hex.h"
#include "tests/capture/FakeCapture.h"
#include "tests/capture/FakeV4L2Device.h"
#include "tests/httpd/camera/CameraTestSupport.h"
#include "tests/httpd/camera/StreamReader.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::FakeBackend;
using testing::FakeDeviceScript;
using testing::ReadFile;
using testing::Rgb;
using testing::TempDir;
using testing::WriteFile;

struct ServerRecord {
  int created = 0;
  int stops = 0;
  int frames = 0;
  bool initResult = true;
  std::string address;
  std::uint16_t port = 0;
  std::string folder, user, password;
  unsigned char phone = 0;
  bool openCamera = false, digestAuth = false;
  std::string corsOrigin;
  std::vector<CaptureReport> reports;  // what the controller told the servers, in order
  std::shared_ptr<const CPicture> lastFrame;
  FrameInfo lastInfo;
};

class FakeServer final : public WebServerHandle {
public:
  explicit FakeServer(ServerRecord& r) : r_(r) { ++r_.created; }
  bool InitServer(LogXML&, const WebServerStart& start) override {
    r_.address = start.address;
    r_.port = start.port;
    r_.folder = start.contentFolder;
    r_.user = start.cameraUser;
    r_.password = start.cameraPassword;
    r_.phone = start.phonePages ? 1 : 0;
    r_.openCamera = start.openCamera;
    r_.digestAuth = start.digestAuth;
    r_.corsOrigin = start.corsOrigin;
    return r_.initResult;
  }
  void Stop() override { ++r_.stops; }
  void ReportCapture(const CaptureReport& report) override { r_.reports.push_back(report); }
  void UpdateFrame(std::shared_ptr<const CPicture> frame, const FrameInfo& info) override {
    std::lock_guard lock(mutex);
    ++r_.frames;
    r_.lastFrame = std::move(frame);
    r_.lastInfo = info;
  }
  static inline std::mutex mutex;

private:
  ServerRecord& r_;
};

class RecordingView final : public ControllerView {
public:
  std::pair<int, int> WindowPosition() const override { return position; }
  void LayOut(int x, int y) override { position = {x, y}; }
  void PostClose() override { ++closesPosted; }
  void EndDialog() override { ++dialogsEnded; }
  void SetButtons(bool play, bool pause, bool stop) override { buttons = {play, pause, stop}; }
  void SetStatusText(const std::string& text) override { status = text; }
  void SetWindowIcon(bool running) override { runningIcon = running; }
  std::pair<int, int> position{0, 0};
  int closesPosted = 0;
  int dialogsEnded = 0;
  std::array<bool, 3> buttons{};
  std::string status;
  bool runningIcon = false;
};

// The UI thread's queue: work posted from capture threads waits here until a test drains it.
class Queue {
public:
  void Post(std::function<void()> f) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(f));
    cv_.notify_all();
  }
  std::size_t Size() {
    std::lock_guard lock(mutex_);
    return work_.size();
  }
  // Runs queued work until done() holds; false when nothing arrives for ten seconds.
  bool RunUntil(const std::function<bool()>& done) {
    while (!done()) {
      std::function<void()> f;
      {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !work_.empty(); })) return false;
        f = std::move(work_.front());
        work_.pop_front();
      }
      f();
    }
    return true;
  }

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> work_;
};

class ControllerTest : public ::testing::Test {
protected:
  ControllerTest() {
    resources_.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    config_.SetFileName(dir_.File("orbiscope.CONFIG.XML"));
    log_.SetExecutablePath(dir_.File("orbiscope"));
    log_.Open();
    devices_.resize(1);
    devices_[0].name = "Camera";
    devices_[0].caps = {Rgb(640, 480)};
    SetCredentials();
  }

  // A camera user and password, without which start-up asks for them.
  void SetCredentials() {
    config_.SetValue("SERVER", "USER", "cam");
    config_.SetValue("SERVER", "PASS", kDigest);
  }
  static constexpr const char* kDigest = "25D55AD283AA400AF464C76D713C07AD";  // of "12345678"

  // The controller over the given back-end, by default the scripted devices_.
  std::unique_ptr<COrbiscopeDlg> Make(std::unique_ptr<CaptureBackend> backend = nullptr) {
    std::vector<std::unique_ptr<CaptureBackend>> backends;
    backends.push_back(backend ? std::move(backend) : std::make_unique<FakeBackend>(&devices_));
    COrbiscopeDlg::Dependencies deps{
        .config = config_,
        .log = log_,
        .resources = resources_,
        .messages = [this](std::string_view c, std::string_view t) {
          boxes_.push_back(std::string(c) + "|" + std::string(t));
        },
        .view = view_,
        .post = [this](std::function<void()> f) { queue_.Post(std::move(f)); },
        .serverFactory = [this] { return std::make_unique<FakeServer>(server_); },
        .captureBackends = std::move(backends),
        .exeFolder = dir_.path().string(),
        .addresses = [this] { return addresses_; },
    };
    deps.checks = checks_;
    if (adjust_) adjust_(deps);
    return std::make_unique<COrbiscopeDlg>(std::move(deps));
  }

  std::string Log() {
    log_.Close();
    return ReadFile(log_.FilePath());
  }

  TempDir dir_;
  ConfigStore config_;
  LogXML log_;
  ResourceLibrary resources_;
  std::vector<FakeDeviceScript> devices_;
  RecordingView view_;
  Queue queue_;
  ServerRecord server_;
  std::vector<std::string> addresses_{"127.0.0.1"};
  SystemChecks checks_ = DefaultSystemChecks();
  std::vector<std::string> boxes_;
  std::function<void(COrbiscopeDlg::Dependencies&)> adjust_;  // last word on a controller's parts
};

TEST_F(ControllerTest, StartUpRunsServerThenCapture) {
  config_.SetValue("SERVER", "PORT", "8080");
  config_.SetValue("SERVER", "USER", "cam");
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(server_.address, "127.0.0.1");
  EXPECT_EQ(server_.port, 8080);
  EXPECT_EQ(server_.folder, dir_.File("root"));
  EXPECT_EQ(server_.user, "cam");
  EXPECT_EQ(devices_[0].runs, 1);
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{false, true, true}));
  EXPECT_EQ(view_.status, resources_.String(168));
  EXPECT_TRUE(boxes_.empty());
  dlg->OnClose();
  const std::string log = Log();
  const auto pos = [&](const char* text) { return log.find(text); };
  ASSERT_NE(pos("<Entry>Iniciado Servidor Web</Entry>"), std::string::npos);
  EXPECT_LT(pos("Iniciado Servidor Web"), pos("Listados dispositivos"));
  EXPECT_LT(pos("Listados dispositivos"), pos("Creados dialogos de opciones"));
  EXPECT_LT(pos("Creados dialogos de opciones"), pos("Parada captura web"));
  EXPECT_LT(pos("Parada captura web"), pos("Finalizado Servidor Web"));
  EXPECT_NE(pos("<Filename>OrbiscopeDlg</Filename>\n    <Function>COrbiscopeDlg::StartServer</Function>"),
            std::string::npos);
}

// The compatibility routes' keys reach the server; only TRUE opens the camera, and an open
// camera is said once at start-up.
TEST_F(ControllerTest, CompatibilityKeysReachTheServer) {
  config_.SetValue("SERVER", "PORT", "8080");
  for (const char* open : {"FALSE", "yes", "TRUE"}) {
    config_.SetValue("SERVER", "OPENCAMERA", open);
    config_.SetValue("SERVER", "DIGESTAUTH", "TRUE");
    config_.SetValue("SERVER", "CORSORIGIN", "http://mainsail.local");
    auto dlg = Make();
    ASSERT_TRUE(dlg->OnInitDialog());
    EXPECT_EQ(server_.openCamera, std::string(open) == "TRUE") << open;
    EXPECT_TRUE(server_.digestAuth);
    EXPECT_EQ(server_.corsOrigin, "http://mainsail.local");
    dlg->OnClose();
  }
  const std::string log = Log();
  const std::size_t first = log.find("OPENCAMERA is TRUE");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("OPENCAMERA is TRUE", first + 1), std::string::npos);
}

TEST_F(ControllerTest, FailedServerStartLeavesBothStopped) {
  server_.initResult = false;
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kStopped);
  EXPECT_EQ(devices_[0].runs, 0);
  EXPECT_FALSE(view_.runningIcon);
  EXPECT_NE(Log().find("<Entry>No se ha iniciado servidor WEB</Entry>"), std::string::npos);
}

TEST_F(ControllerTest, CaptureThatCannotOpenStopsTheServerAgain) {
  devices_[0].runResult = CaptureError::kFailed;
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kStopped);
  EXPECT_EQ(dlg->Server(), nullptr);
  EXPECT_EQ(server_.stops, 1);
}

TEST_F(ControllerTest, PortAndAddressRules) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  // The server starts on the stored port, or on one applied by Enter; never on a typed one.
  for (const char* refused : {"0", "65536", "", "-80"}) {
    boxes_.clear();
    config_.SetValue("SERVER", "PORT", refused);
    dlg->ServerPage()->FillControls();
    EXPECT_FALSE(dlg->StartServer()) << refused;
    ASSERT_EQ(boxes_.size(), 1u) << refused;
    EXPECT_EQ(boxes_[0], resources_.String(163) + "|" + resources_.String(167));
    EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  }
  for (const auto& [text, port] : std::vector<std::pair<const char*, int>>{{"1", 1}, {"65535", 65535}, {"80abc", 80}}) {
    config_.SetValue("SERVER", "PORT", text);
    dlg->ServerPage()->FillControls();
    EXPECT_TRUE(dlg->StartServer()) << text;
    EXPECT_EQ(server_.port, port);
  }
  dlg->ServerPage()->SetPortText("8081");
  EXPECT_TRUE(dlg->StartServer());
  EXPECT_EQ(server_.port, 80) << "a typed port waits for Enter";
  dlg->ServerPage()->OnEnter();
  EXPECT_EQ(server_.port, 8081);
  dlg->OnClose();
  const std::string log = Log();
  EXPECT_NE(log.find("No se ha iniciado servidor WEB. N\xBA Puerto incorrecto"), std::string::npos);

  addresses_.clear();
  boxes_.clear();
  LogXML otherLog;
  auto noAddress = Make();
  ASSERT_TRUE(noAddress->OnInitDialog());
  EXPECT_EQ(noAddress->ServerState(), ServerPhase::kStopped);
  ASSERT_FALSE(boxes_.empty());
  EXPECT_EQ(boxes_[0], resources_.String(163) + "|" + resources_.String(166));
}

TEST_F(ControllerTest, PausePlayStopStateTable) {
  // The servers' status pages hear each state the controller shows, from before the start.
  const auto lastRun = [this] {
    return server_.reports.empty() ? CaptureRun::Stopped : server_.reports.back().run;
  };
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_EQ(server_.created, 1);
  ASSERT_FALSE(server_.reports.empty());
  EXPECT_EQ(server_.reports.front().run, CaptureRun::Stopped);
  EXPECT_EQ(lastRun(), CaptureRun::Running);
  EXPECT_EQ(server_.reports.back().device, "Camera");
  EXPECT_EQ(server_.reports.back().width, 640);
  EXPECT_EQ(server_.reports.back().height, 480);
  dlg->OnPause(false);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kPaused);
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(devices_[0].pauses, 1);
  EXPECT_EQ(lastRun(), CaptureRun::Paused);
  dlg->OnPlay();  // rebuilds capture, keeps the server
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(devices_[0].runs, 2);
  EXPECT_EQ(server_.created, 1);
  EXPECT_EQ(lastRun(), CaptureRun::Running);

  dlg->OnStop();
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kStopped);
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_TRUE(dlg->StoppedByUser());
  const int stops = server_.stops;
  const int deviceStops = devices_[0].stops;
  dlg->OnStop();  // the second Stop changes nothing
  EXPECT_EQ(server_.stops, stops);
  EXPECT_EQ(devices_[0].stops, deviceStops);

  server_.reports.clear();
  dlg->OnPlay();
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_FALSE(dlg->StoppedByUser());
  EXPECT_EQ(server_.created, 2);
  ASSERT_EQ(server_.reports.size(), 2u);  // the new server hears the stop, then the start
  EXPECT_EQ(server_.reports[0].run, CaptureRun::Stopped);
  EXPECT_EQ(lastRun(), CaptureRun::Running);

  dlg->SendStopServer();  // the device was removed: the server stops, capture state stays
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
}

TEST_F(ControllerTest, ServerPageRestartRebuildsBoth) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  dlg->ServerPage()->OnCommand(ServerCommand::kPhonePagesOn);
  EXPECT_EQ(server_.created, 2);
  EXPECT_EQ(server_.phone, 1);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(devices_[0].runs, 2);
}

TEST_F(ControllerTest, FailedChecksCloseThroughOnCloseAndStillSave) {
  struct Case {
    std::function<int(unsigned&)> version;
    std::function<bool()> components;
    std::string caption;
    int text;
  };
  const Case cases[] = {
      {[](unsigned&) { return -1; }, [] { return true; }, "Error: 0x000003", 124},
      {[](unsigned& v) { v = 0x70000; return 0; }, [] { return true; }, "Error: 0x000002", 124},
      {[](unsigned& v) { v = 0x90003; return 0; }, [] { return false; }, "Error: 0x000004 ", 125},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(config_.FileName());
    SetCredentials();
    boxes_.clear();
    view_ = RecordingView{};
    view_.position = {0, 0};
    checks_.videoRuntimeVersion = c.version;
    checks_.initComponents = c.components;
    auto dlg = Make();
    EXPECT_FALSE(dlg->OnInitDialog()) << c.caption;
    ASSERT_EQ(boxes_.size(), 1u) << c.caption;
    EXPECT_EQ(boxes_[0], c.caption + "|" + resources_.String(c.text));
    EXPECT_EQ(view_.closesPosted, 1);
    // The posted close runs OnClose, which saves the position and the server page.
    view_.position = {33, 44};
    dlg->OnClose();
    EXPECT_EQ(view_.dialogsEnded, 1);
    EXPECT_EQ(config_.GetInt("GENERAL", "MAINWNDPOSX", -1), 33);
    EXPECT_EQ(config_.GetInt("GENERAL", "MAINWNDPOSY", -1), 44);
    EXPECT_EQ(config_.GetValue("SERVER", "PORT", "none"), "none") << "unchanged, so not written";
  }
  EXPECT_NE(Log().find("<Entry>Error initializate COM objets!</Entry>"), std::string::npos);
}

TEST_F(ControllerTest, PositionYIsNotWrittenWhenXFailed) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  WriteFile(config_.FileName(), "<broken");
  view_.position = {5, 5};  // moved, so there is something to write
  int malformed = 0;
  config_.SetMessageSink([&](std::string_view, std::string_view) { ++malformed; });
  EXPECT_FALSE(dlg->SaveWindowPosition());
  EXPECT_EQ(malformed, 1) << "one write was tried, so one malformed-file message";
}

// A settings file that exists but does not parse is never taken for the defaults (which
// would serve the camera to anyone): one message naming file and line, no server, no
// write; the server starts once the file is mended and the settings are reloaded.
TEST_F(ControllerTest, BrokenSettingsFileKeepsTheServerStoppedUntilItIsMended) {
  config_.SetMessageSink([this](std::string_view c, std::string_view t) {
    boxes_.push_back(std::string(c) + "|" + std::string(t));
  });
  const std::string broken =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<ORBISCOPEConfigSettings>\n"
      "<SERVER><IP>127.0.0.1</IP><PORT>8080</PORT><USER>cam</USER>\n<PASS>AB</PASS>";
  WriteFile(config_.FileName(), broken);
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kStopped);
  EXPECT_EQ(server_.address, "") << "nothing may start from the defaults";
  // The window shows that stopped state, rather than Stop and Pause for nothing running.
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{true, false, false}));
  EXPECT_EQ(view_.status, resources_.String(169));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("LoadXML Malformed XML Error|", 0), 0u) << boxes_[0];
  EXPECT_NE(boxes_[0].find(config_.FileName() + ", line 4: "), std::string::npos) << boxes_[0];

  dlg->OnPlay();  // the window's Play checks again and refuses again, once
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(boxes_.size(), 2u);

  // A reload while the file is still broken changes nothing.
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(ReadFile(config_.FileName()), broken);

  WriteFile(config_.FileName(), broken + "</SERVER></ORBISCOPEConfigSettings>");
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(server_.port, 8080);
  EXPECT_EQ(server_.user, "cam");
  EXPECT_EQ(server_.password, "AB");

  // Broken again while running: the running server keeps its values, and closing writes
  // nothing over the user's file.
  WriteFile(config_.FileName(), broken);
  const int created = server_.created;
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(server_.created, created);
  dlg->OnClose();
  EXPECT_EQ(ReadFile(config_.FileName()), broken);
  EXPECT_EQ(boxes_.size(), 5u);
  const std::string log = Log();
  EXPECT_NE(log.find("Fichero de configuracion mal formado: " + config_.FileName() + ", line 4: "),
            std::string::npos);
}

TEST_F(ControllerTest, BrokenSettingsFileIsNeverOverwrittenAtClose) {
  WriteFile(config_.FileName(), "");  // a save cut short by another editor
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].find(", line 1: "), std::string::npos) << boxes_[0];
  // Mended while stopped: the pages were never loaded, so closing still writes nothing.
  WriteFile(config_.FileName(), "<R/>");
  dlg->OnClose();
  EXPECT_EQ(ReadFile(config_.FileName()), "<R/>");
}

// The camera unplugged stops the server; plugged back, it runs Play, so that a box without
// anyone at it serves again.
TEST_F(ControllerTest, ACameraThatComesBackStartsServerAndCaptureAgain) {
  constexpr const char* kPath = "/dev/video0";
  auto device = std::make_shared<testing::FakeV4L2Device>();
  testing::FakeCamera camera;
  camera.path = kPath;
  camera.card = "Camera";
  camera.formats = {{V4L2_PIX_FMT_BGR24, {{320, 240}}}};
  device->AddCamera(camera);
  auto dlg = Make(MakeV4L2Backend(device));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  ASSERT_TRUE(device->WaitUntilStreaming(kPath));

  device->Unplug(kPath);
  ASSERT_TRUE(queue_.RunUntil([&] { return dlg->ServerState() == ServerPhase::kStopped; }));
  EXPECT_EQ(boxes_, std::vector<std::string>{"Error!|" + resources_.String(105)});
  EXPECT_EQ(dlg->Graph().Stopped(), 1);

  device->Plug(kPath);
  ASSERT_TRUE(queue_.RunUntil([&] { return dlg->ServerState() == ServerPhase::kRunning && dlg->Graph().Stopped() == 0; }));
  EXPECT_EQ(server_.created, 2);
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{false, true, true}));
  ASSERT_TRUE(device->WaitUntilStreaming(kPath));
  ASSERT_TRUE(device->PushFrame(kPath, 1));
  EXPECT_TRUE(queue_.RunUntil([&] {
    std::lock_guard lock(FakeServer::mutex);
    return server_.frames >= 1;
  }));
  dlg->OnClose();
  const std::string log = Log();
  std::size_t starts = 0;
  for (std::size_t at = 0; (at = log.find("<Entry>Iniciado Servidor Web</Entry>", at)) != std::string::npos; ++at)
    ++starts;
  EXPECT_EQ(starts, 2u) << "the return is logged as a Play is";
}

// However many frames the camera announces, one notice at most waits for the UI thread.
TEST_F(ControllerTest, FrameNoticesAreCoalescedToOneWaiting) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_EQ(queue_.Size(), 0u);
  for (int i = 0; i < 100; ++i) dlg->PostFrameReady();
  EXPECT_EQ(queue_.Size(), 1u);
  ASSERT_TRUE(queue_.RunUntil([&] { return queue_.Size() == 0; }));
  dlg->PostFrameReady();  // handled: the next frame is announced again
  EXPECT_EQ(queue_.Size(), 1u);
}

TEST_F(ControllerTest, FramesFromTheTestPatternReachTheServer) {
  auto dlg = Make(MakeTestPatternBackend());
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(dlg->Graph().Width(), 640);
  EXPECT_TRUE(queue_.RunUntil([&] {
    std::lock_guard lock(FakeServer::mutex);
    return server_.frames >= 3;
  }));
  EXPECT_EQ(dlg->Graph().LatestImage().Width(), 640u);
  {
    // The server is handed the very frame the window shows, not a copy of it.
    std::lock_guard lock(FakeServer::mutex);
    EXPECT_EQ(server_.lastFrame.get(), &dlg->Graph().LatestImage());
    EXPECT_EQ(server_.lastInfo.width, 640);
    EXPECT_EQ(server_.lastInfo.height, 480);
    server_.lastFrame.reset();
  }
  // The unplaced caption was clamped to the bottom-left and written back to the page.
  EXPECT_EQ(dlg->VideoPage()->X(), 0);
  EXPECT_EQ(dlg->VideoPage()->Y(), 480);
  const std::string before = ReadFile(config_.FileName());
  dlg->OnClose();
  // The device, size and position the program picked by itself are no edits to save.
  EXPECT_EQ(ReadFile(config_.FileName()), before);
}

}  // namespace
}  // namespace orbiscope

namespace orbiscope {
namespace {

// The settings' life-cycle as a user and a hand editor drive it, in random order: the
// stored password changes only by an accepted Enter (or by hand), the server always runs
// with the stored credentials, a close keeps every hand edit of a key the program did not
// change, and no wrong or empty password ever opens a camera route.
class LifeCycleTest : public ControllerTest {
protected:
  using Keys = std::map<std::string, std::string>;  // "SECTION/KEY" -> value

  static std::pair<std::string, std::string> Split(const std::string& key) {
    const std::size_t slash = key.rfind('/');
    std::string section = key.substr(0, slash);
    std::replace(section.begin(), section.end(), '/', '\\');
    return {section, key.substr(slash + 1)};
  }
  std::string Stored(const std::string& key) {
    const auto [section, name] = Split(key);
    return config_.GetValue(section, name, "");
  }
  std::string Random(std::size_t length) {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += kAlphabet[rng_() % (sizeof kAlphabet - 1)];
    return text;
  }
  static std::string Md5(const std::string& text) {
    std::string digest;
    Md5Hex(text, digest);
    return digest;
  }

  // The program read the file: what it holds is what runs, and no page edit is pending. A
  // reload does not move the window, so a move before it is still the program's change.
  void Read(bool restarted) {
    digest_ = Stored("SERVER/PASS");
    user_ = Stored("SERVER/USER");
    handEdits_.clear();
    const bool moved = programChanged_.count("GENERAL/MAINWNDPOSX") != 0;
    programChanged_.clear();
    if (moved && !restarted) programChanged_ = {"GENERAL/MAINWNDPOSX", "GENERAL/MAINWNDPOSY"};
  }

  void Start() {
    dlg_ = Make();
    ASSERT_TRUE(dlg_->OnInitDialog());
    Read(true);
    typedUser_.reset();
    typedPassword_.reset();
  }

  void Close() {
    const std::string before = ReadFile(config_.FileName());
    dlg_->OnClose();
    for (const auto& [key, value] : handEdits_) {
      if (programChanged_.count(key) == 0) {
        ASSERT_EQ(Stored(key), value) << "a hand edit of " << key << " was lost";
      }
    }
    if (programChanged_.empty()) {
      ASSERT_EQ(ReadFile(config_.FileName()), before) << "a close that changed nothing wrote";
    }
    dlg_.reset();
  }

  void CheckInvariants(const std::string& step) {
    ASSERT_EQ(Stored("SERVER/PASS"), expectedPass_) << step;
    if (dlg_->ServerState() != ServerPhase::kRunning) return;
    ASSERT_EQ(server_.password, digest_) << step;
    ASSERT_EQ(server_.user, user_) << step;
    if (handEdits_.count("SERVER/PASS") == 0) {
      ASSERT_EQ(digest_, expectedPass_) << step;
    }
    if (handEdits_.count("SERVER/USER") == 0) {
      ASSERT_EQ(user_, Stored("SERVER/USER")) << step;
    }
    // What the routes decide with the running server's values.
    const auto admits = [this](CameraRoute route, const std::string& password) {
      CameraQuery q;
      q.user = server_.user;
      q.password = password;
      return CheckCameraCredentials(route, q, server_.user, server_.password);
    };
    std::vector<std::string> wrong = {"", "wrong", Md5(""), Md5("wrong")};
    if (typedPassword_ && Md5(*typedPassword_) != server_.password) {
      wrong.push_back(*typedPassword_);
      wrong.push_back(Md5(*typedPassword_));
    }
    for (CameraRoute route : {CameraRoute::Jpeg, CameraRoute::Png, CameraRoute::Status, CameraRoute::Gif,
                              CameraRoute::Wbmp, CameraRoute::Stream}) {
      for (const std::string& password : wrong) {
        ASSERT_FALSE(admits(route, password)) << step << " " << password;
      }
    }
    if (plainPassword_ && Md5(*plainPassword_) == server_.password && !server_.user.empty()) {
      ASSERT_TRUE(admits(CameraRoute::Gif, *plainPassword_)) << step;
    }
  }

  void Step() {
    const int op = static_cast<int>(rng_() % 12);
    switch (op) {
      case 0: {  // a hand edit of the file
        static const char* const kKeys[] = {"SERVER/USER", "SERVER/PASS", "SERVER/PORT", "SERVER/ENABLEWAP",
                                            "GENERAL/MAINWNDPOSX", "VIDEO/OVERLAYTEXT/TEXT"};
        const std::string key = kKeys[rng_() % std::size(kKeys)];
        std::string value = key == "SERVER/PASS" ? Md5(Random(9))
                            : key == "SERVER/PORT" ? std::to_string(1 + rng_() % 65535)
                            : key == "GENERAL/MAINWNDPOSX" ? std::to_string(rng_() % 500)
                                                           : Random(rng_() % 6);
        if (key == "SERVER/USER" && rng_() % 4 == 0) value.clear();
        const auto [section, name] = Split(key);
        ConfigStore editor;
        editor.SetFileName(config_.FileName());
        ASSERT_EQ(editor.SetValue(section, name, value), 0);
        handEdits_[key] = value;
        if (key == "SERVER/PASS") expectedPass_ = value;
        break;
      }
      case 1:  // SIGHUP
        dlg_->ReloadSettings();
        Read(false);
        typedUser_.reset();
        typedPassword_.reset();
        break;
      case 2:
      case 3: {  // a password typed, long enough or not (cleared, even)
        typedPassword_ = Random(op == 2 ? 8 + rng_() % 5 : rng_() % 8);
        dlg_->ServerPage()->SetPasswordText(*typedPassword_);
        break;
      }
      case 4:
        typedUser_ = Random(1 + rng_() % 5);
        dlg_->ServerPage()->SetUserText(*typedUser_);
        programChanged_.insert("SERVER/USER");
        break;
      case 5:
      case 6: {  // Enter
        const bool accepted = typedPassword_ && typedPassword_->size() >= 8;
        dlg_->ServerPage()->OnEnter();
        if (accepted) {
          expectedPass_ = digest_ = Md5(*typedPassword_);
          plainPassword_ = typedPassword_;
          typedPassword_.reset();
          programChanged_.insert("SERVER/PASS");
          handEdits_.erase("SERVER/PASS");
        }
        if (typedUser_) {
          user_ = *typedUser_;
          typedUser_.reset();
          handEdits_.erase("SERVER/USER");
        }
        break;
      }
      case 7:  // an address chosen
        dlg_->ServerPage()->OnCommand(ServerCommand::kAddress, static_cast<int>(rng_() % 2));
        programChanged_.insert("SERVER/IP");
        break;
      case 8:  // the phone pages switched
        dlg_->ServerPage()->OnCommand(rng_() % 2 ? ServerCommand::kPhonePagesOn
                                                 : ServerCommand::kPhonePagesOff);
        programChanged_.insert("SERVER/ENABLEWAP");
        break;
      case 9:  // a new content folder chosen
        dlg_->ServerPage()->OnFolderChosen(dir_.File("root" + std::to_string(++folders_)));
        programChanged_.insert("SERVER/VIRTDIR");
        break;
      case 10:  // the window moved
        view_.position = {static_cast<int>(rng_() % 300), static_cast<int>(rng_() % 300)};
        programChanged_.insert("GENERAL/MAINWNDPOSX");
        programChanged_.insert("GENERAL/MAINWNDPOSY");
        break;
      case 11:  // close, and start again
        Close();
        if (HasFatalFailure()) return;
        view_.position = {0, 0};
        Start();
        break;
    }
  }

  std::mt19937 rng_;
  std::unique_ptr<COrbiscopeDlg> dlg_;
  std::string expectedPass_, digest_, user_;
  std::optional<std::string> typedPassword_, typedUser_, plainPassword_;
  Keys handEdits_;
  std::set<std::string> programChanged_;
  int folders_ = 0;
};

TEST_F(LifeCycleTest, RandomSequencesKeepTheCredentialsAndHandEdits) {
  addresses_ = {"127.0.0.1", "127.0.0.2"};
  std::filesystem::create_directories(dir_.File("root"));
  for (const unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng_.seed(seed);
    plainPassword_ = "12345678";
    expectedPass_ = Stored("SERVER/PASS");
    Start();
    for (int i = 0; i < 600 && !HasFatalFailure(); ++i) {
      Step();
      if (!HasFatalFailure()) CheckInvariants("step " + std::to_string(i));
    }
    if (HasFatalFailure()) return;
    Close();
  }
}

// The program's own server, counting what the controller hands it (on the UI thread).
class CountingServer final : public WebServerHandle {
public:
  CountingServer(std::unique_ptr<WebServerHandle> real, int& live, int& noSignal)
      : real_(std::move(real)), live_(live), noSignal_(noSignal) {}
  bool InitServer(LogXML& log, const WebServerStart& start) override { return real_->InitServer(log, start); }
  void Stop() override { real_->Stop(); }
  void UpdateFrame(std::shared_ptr<const CPicture> frame, const FrameInfo& info) override {
    real_->UpdateFrame(std::move(frame), info);
    ++live_;
  }
  void PublishNoSignal(CPicture&& frame, std::int32_t height, std::int32_t width) override {
    real_->PublishNoSignal(std::move(frame), height, width);
    ++noSignal_;
  }
  void ReportCapture(const CaptureReport& report) override { real_->ReportCapture(report); }
  void CaptureStopped() override { real_->CaptureStopped(); }

private:
  std::unique_ptr<WebServerHandle> real_;
  int& live_;
  int& noSignal_;
};

std::uint16_t UnusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

// The mean of a JPEG's bytes per channel: the fake camera's frames are mid-grey on
// average, the no-signal picture is dark.
double MeanLevel(const std::string& jpeg) {
  CPicture picture(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), kFormatJpeg);
  if (!picture.HasPixels()) return -1;
  double sum = 0;
  for (std::uint32_t y = 0; y < picture.Height(); ++y)
    for (std::uint32_t x = 0; x < 3 * picture.Width(); ++x) sum += picture.Row(y)[x];
  return sum / (3.0 * picture.Width() * picture.Height());
}
bool IsNoSignal(const std::string& jpeg) { return MeanLevel(jpeg) >= 0 && MeanLevel(jpeg) < 50; }
bool IsLive(const std::string& jpeg) { return MeanLevel(jpeg) > 80; }

// The camera unplugged and plugged back under KEEPSERVING, watched through the program's
// own server by a stream viewer, a polling viewer and the status page.
class CameraAwayTest : public ControllerTest {
protected:
  static constexpr const char* kPath = "/dev/video0";

  CameraAwayTest() {
    port_ = UnusedLoopbackPort();
    std::filesystem::copy_file(std::string(ORBISCOPE_BIN_DIR) + "/WebServer.config.xml",
                               dir_.File("WebServer.config.xml"));
    std::filesystem::create_directories(dir_.File("root"));
    config_.SetValue("SERVER", "IP", "127.0.0.1");
    config_.SetValue("SERVER", "PORT", std::to_string(port_));
    config_.SetValue("SERVER", "VIRTDIR", dir_.File("root"));
    config_.SetValue("SERVER", "USER", testing::kUser);
    config_.SetValue("SERVER", "PASS", testing::Digest(testing::kPassword));
    config_.SetValue("VIDEO", "KEEPSERVING", "TRUE");
    config_.SetValue("VIDEO\\OVERLAYTEXT", "TIMEDATA", std::to_string(kTimeOfDay));
    config_.SetValue("VIDEO\\OVERLAYTEXT\\FONT", "COLOR", "16777215");
    testing::FakeCamera camera;
    camera.path = kPath;
    camera.card = "Camera";
    camera.formats = {{V4L2_PIX_FMT_BGR24, {{320, 240}}}};
    device_->AddCamera(camera);
    adjust_ = [this](COrbiscopeDlg::Dependencies& deps) {
      deps.serverFactory = [this, real = MakeWebServerFactory(resources_, {}, dir_.path().string())] {
        return std::make_unique<CountingServer>(real(), live_, noSignal_);
      };
      // Renewed at once and a second later each time: the test runs the timer fast.
      deps.noSignalPeriod = std::chrono::milliseconds(5);
      deps.wallClock = [this] { return std::time_t{1'000'000} + clockReadings_++; };
    };
  }

  // The body of the answer to a route with the camera's credentials.
  std::string Get(const std::string& route, const char* separator = "&", const std::string& more = "") {
    return testing::Body(testing::Exchange(port_, "GET " + route + "?user=" + testing::kUser + separator +
                                                      "pass=" + testing::Digest(testing::kPassword) + more +
                                                      " HTTP/1.0\r\n\r\n"));
  }
  bool Run(const std::function<bool()>& done) { return queue_.RunUntil(done); }
  // A second camera, "Spare" at /dev/video1.
  void AddSpareCamera() {
    testing::FakeCamera spare;
    spare.path = "/dev/video1";
    spare.card = "Spare";
    spare.formats = {{V4L2_PIX_FMT_BGR24, {{320, 240}}}};
    device_->AddCamera(spare);
  }
  // The stream at the camera's size; the answer's head.
  std::string OpenStream(testing::StreamReader& stream) {
    return stream.Open("/stream.mjpg?user=" + std::string(testing::kUser) + "&pass=" +
                       testing::Digest(testing::kPassword) + "&w=320&h=240");
  }
  // Whether a live part comes within the next fifty, after the no-signal ones still queued.
  static bool LivePartFollows(testing::StreamReader& stream) {
    for (int i = 0; i < 50; ++i) {
      const std::optional<std::string> part = stream.NextPart();
      if (!part) return false;
      if (IsLive(*part)) return true;
    }
    return false;
  }

  std::uint16_t port_ = 0;
  std::shared_ptr<testing::FakeV4L2Device> device_ = std::make_shared<testing::FakeV4L2Device>();
  int live_ = 0;
  int noSignal_ = 0;
  std::time_t clockReadings_ = 0;
};

TEST_F(CameraAwayTest, ServesNoSignalWhileAwayAndLiveFramesOnTheSameStreamOnceBack) {
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  testing::StreamReader stream(port_);
  const std::string head = OpenStream(stream);
  ASSERT_EQ(testing::StatusLine(head), "HTTP/1.0 200 OK") << head;
  ASSERT_TRUE(device_->PushFrame(kPath, 1));
  ASSERT_TRUE(Run([&] { return live_ >= 1; }));
  std::optional<std::string> part = stream.NextPart();
  ASSERT_TRUE(part && IsLive(*part)) << (part ? MeanLevel(*part) : -2.0);

  device_->Unplug(kPath);
  ASSERT_TRUE(Run([&] { return dlg->NoCamera() && noSignal_ >= 1; }));
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_EQ(boxes_, std::vector<std::string>{"Error!|" + resources_.String(105)});
  EXPECT_EQ(view_.status, resources_.String(res::kStrNoCamera));
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{false, false, true}));
  const std::optional<std::string> first = stream.NextPart();
  ASSERT_TRUE(first && IsNoSignal(*first));
  // Each renewal shows a later time, so some later part differs from the first.
  bool advanced = false;
  for (int i = 0; i < 20 && !advanced; ++i) {
    const int published = noSignal_;
    ASSERT_TRUE(Run([&] { return noSignal_ > published; }));
    part = stream.NextPart();
    ASSERT_TRUE(part && IsNoSignal(*part));
    advanced = *part != *first;
  }
  EXPECT_TRUE(advanced);
  const std::string picture = Get("/image%20", "%20", "%20w=320%20h=240");
  EXPECT_TRUE(IsNoSignal(picture));
  CPicture decoded(reinterpret_cast<const std::uint8_t*>(picture.data()), picture.size(), kFormatJpeg);
  EXPECT_EQ(decoded.Width(), 320u);
  EXPECT_EQ(decoded.Height(), 240u);
  const std::string away = Get("/status.json");
  EXPECT_NE(away.find("\"state\":\"no camera\",\"device\":\"Camera\",\"width\":320,\"height\":240"),
            std::string::npos) << away;
  EXPECT_NE(away.find("\"streams\":1"), std::string::npos) << away;

  device_->Plug(kPath);
  ASSERT_TRUE(Run([&] { return !dlg->NoCamera() && dlg->CaptureState() == CapturePhase::kRunning; }));
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{false, true, true}));
  EXPECT_EQ(view_.status, resources_.String(res::kStrRunning));
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  ASSERT_TRUE(device_->PushFrame(kPath, 2));
  ASSERT_TRUE(Run([&] { return live_ >= 2; }));
  const int noSignalAtReturn = noSignal_;
  EXPECT_TRUE(LivePartFollows(stream)) << "live parts follow on the connection that stayed open";
  EXPECT_NE(Get("/status.json").find("\"state\":\"running\""), std::string::npos);
  dlg->OnClose();
  EXPECT_EQ(noSignal_, noSignalAtReturn) << "the timer ended with the return";
  const std::string log = Log();
  EXPECT_NE(log.find("Dispositivo de captura perdido"), std::string::npos);
  EXPECT_NE(log.find("Dispositivo de captura recuperado"), std::string::npos);
  EXPECT_EQ(log.find("Iniciado Servidor Web"), log.rfind("Iniciado Servidor Web")) << "the server never restarted";
}

// Another device chosen on the video page while the camera is away is the live camera now:
// the no-signal state ends with the next renewal, and its frames are served.
TEST_F(CameraAwayTest, ADeviceChosenMeanwhileEndsTheNoSignalState) {
  AddSpareCamera();
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  device_->Unplug(kPath);
  ASSERT_TRUE(Run([&] { return dlg->NoCamera(); }));
  dlg->VideoPage()->OnCommand(VideoCommand::kDevice, 1);
  ASSERT_TRUE(Run([&] { return !dlg->NoCamera(); }));
  EXPECT_EQ(dlg->CaptureState(), CapturePhase::kRunning);
  EXPECT_EQ(view_.status, resources_.String(res::kStrRunning));
  ASSERT_TRUE(device_->WaitUntilStreaming("/dev/video1"));
  ASSERT_TRUE(device_->PushFrame("/dev/video1", 1));
  const int live = live_;
  EXPECT_TRUE(Run([&] { return live_ > live; }));
  EXPECT_NE(Get("/status.json").find("\"state\":\"running\",\"device\":\"Spare\""), std::string::npos);
  dlg->OnClose();
}

// How often text stands in the log.
std::size_t Count(const std::string& log, const std::string& text) {
  std::size_t n = 0;
  for (std::size_t at = 0; !text.empty() && (at = log.find(text, at)) != std::string::npos; at += text.size()) ++n;
  return n;
}

// No camera at all when the program starts: the server serves the no-signal picture at the
// stored size, and the camera, once plugged in, goes live on the stream that stayed open.
TEST_F(CameraAwayTest, ACameraMissingAtStartUpGoesLiveWhenItAppears) {
  config_.SetValue("VIDEO\\SIZE", "WIDHT", "320");
  config_.SetValue("VIDEO\\SIZE", "HEIGTH", "240");
  device_->Unplug(kPath);
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  EXPECT_TRUE(dlg->NoCamera());
  EXPECT_EQ(view_.status, resources_.String(res::kStrNoCamera));
  testing::StreamReader stream(port_);
  const std::string head = OpenStream(stream);
  ASSERT_EQ(testing::StatusLine(head), "HTTP/1.0 200 OK") << head;
  ASSERT_TRUE(Run([&] { return noSignal_ >= 5; }));  // several looks for the camera meanwhile
  std::optional<std::string> part = stream.NextPart();
  ASSERT_TRUE(part && IsNoSignal(*part));
  const std::string picture = Get("/image%20", "%20", "%20w=320%20h=240");
  CPicture decoded(reinterpret_cast<const std::uint8_t*>(picture.data()), picture.size(), kFormatJpeg);
  EXPECT_TRUE(IsNoSignal(picture));
  EXPECT_EQ(decoded.Width(), 320u);
  const std::string away = Get("/status.json");
  EXPECT_NE(away.find("\"state\":\"no camera\""), std::string::npos) << away;
  EXPECT_NE(away.find("\"width\":320,\"height\":240"), std::string::npos) << away;

  device_->Plug(kPath);
  ASSERT_TRUE(Run([&] { return !dlg->NoCamera() && dlg->CaptureState() == CapturePhase::kRunning; }));
  EXPECT_EQ(view_.status, resources_.String(res::kStrRunning));
  EXPECT_EQ(dlg->VideoPage()->DeviceLabel(), "Camera");
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  ASSERT_TRUE(device_->PushFrame(kPath, 1));
  ASSERT_TRUE(Run([&] { return live_ >= 1; }));
  EXPECT_TRUE(LivePartFollows(stream));
  EXPECT_NE(Get("/status.json").find("\"state\":\"running\",\"device\":\"Camera\""), std::string::npos);
  dlg->OnClose();
  const std::string log = Log();
  EXPECT_EQ(Count(log, "Iniciado Servidor Web"), 1u);
  EXPECT_EQ(Count(log, "No se puede abrir el dispositivo de captura"), 1u) << "logged once, not per look";
  EXPECT_EQ(Count(log, "Dispositivo de captura recuperado"), 1u);
}

// The camera is back but will not stream yet (another program holds it): the no-signal
// picture goes on, and a later try opens it.
TEST_F(CameraAwayTest, AReopenThatFailsAfterTheReturnIsTriedAgainUntilItStreams) {
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  device_->Unplug(kPath);
  ASSERT_TRUE(Run([&] { return dlg->NoCamera(); }));
  device_->Plug(kPath);
  device_->FailStreamOn(kPath, 3);
  const int published = noSignal_;
  ASSERT_TRUE(Run([&] { return !dlg->NoCamera() && dlg->CaptureState() == CapturePhase::kRunning; }));
  EXPECT_GE(noSignal_, published + 2) << "the no-signal picture was renewed between the tries";
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kRunning);
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  ASSERT_TRUE(device_->PushFrame(kPath, 1));
  EXPECT_TRUE(Run([&] { return live_ >= 1; }));
  dlg->OnClose();
  const std::string log = Log();
  EXPECT_EQ(Count(log, "Iniciado Servidor Web"), 1u);
  EXPECT_EQ(Count(log, "No se puede abrir el dispositivo de captura"), 1u);
  EXPECT_LE(Count(log, resources_.String(108)), 1u) << "the failed tries do not repeat in the log";
}

// A camera the settings name is waited for while it is missing, not stood in for by
// another device that happens to be there.
TEST_F(CameraAwayTest, ANamedCameraMissingAtStartUpIsWaitedForNotReplaced) {
  AddSpareCamera();
  config_.SetValue("VIDEO", "DEVICE", "Camera");
  device_->Unplug(kPath);
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_TRUE(Run([&] { return noSignal_ >= 3; }));
  EXPECT_TRUE(dlg->NoCamera());
  EXPECT_FALSE(dlg->Graph().Running());
  EXPECT_NE(Get("/status.json").find("\"state\":\"no camera\",\"device\":\"Camera\""), std::string::npos);
  device_->Plug(kPath);
  ASSERT_TRUE(Run([&] { return dlg->CaptureState() == CapturePhase::kRunning; }));
  EXPECT_EQ(dlg->Graph().DeviceName(), "Camera");
  dlg->OnClose();
}

// Stop while the camera is away ends the no-signal state with the server, as Stop always does.
TEST_F(CameraAwayTest, StopWhileAwayStopsTheServerAndTheTimer) {
  auto dlg = Make(MakeV4L2Backend(device_));
  ASSERT_TRUE(dlg->OnInitDialog());
  ASSERT_TRUE(device_->WaitUntilStreaming(kPath));
  device_->Unplug(kPath);
  ASSERT_TRUE(Run([&] { return noSignal_ >= 2; }));
  dlg->OnStop();
  EXPECT_FALSE(dlg->NoCamera());
  EXPECT_EQ(dlg->ServerState(), ServerPhase::kStopped);
  EXPECT_EQ(view_.status, resources_.String(res::kStrStopped));
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{true, false, false}));
}

}  // namespace
}  // namespace orbiscope
