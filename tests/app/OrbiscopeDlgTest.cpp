#include "app/OrbiscopeDlg.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "capture/TestPattern.h"
#include "capture/V4L2Backend.h"
#include "tests/capture/FakeCapture.h"
#include "tests/capture/FakeV4L2Device.h"
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
  void UpdateFrame(const CPicture&, std::int32_t, std::int32_t) override {
    std::lock_guard lock(mutex);
    ++r_.frames;
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
  }

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
};

TEST_F(ControllerTest, StartUpRunsServerThenCapture) {
  config_.SetValue("SERVER", "PORT", "8080");
  config_.SetValue("SERVER", "USER", "cam");
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), 2);
  EXPECT_EQ(dlg->CaptureState(), 2);
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
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(dlg->CaptureState(), 0);
  EXPECT_EQ(devices_[0].runs, 0);
  EXPECT_FALSE(view_.runningIcon);
  EXPECT_NE(Log().find("<Entry>No se ha iniciado servidor WEB</Entry>"), std::string::npos);
}

TEST_F(ControllerTest, CaptureThatCannotOpenStopsTheServerAgain) {
  devices_[0].runResult = CaptureError::kFailed;
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(dlg->CaptureState(), 0);
  EXPECT_EQ(dlg->Server(), nullptr);
  EXPECT_EQ(server_.stops, 1);
}

TEST_F(ControllerTest, PortAndAddressRules) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  for (const char* refused : {"0", "65536", "", "-80"}) {
    boxes_.clear();
    dlg->ServerPage()->SetPortText(refused);
    EXPECT_FALSE(dlg->StartServer()) << refused;
    ASSERT_EQ(boxes_.size(), 1u) << refused;
    EXPECT_EQ(boxes_[0], resources_.String(163) + "|" + resources_.String(167));
    EXPECT_EQ(dlg->ServerState(), 0);
  }
  for (const auto& [text, port] : std::vector<std::pair<const char*, int>>{{"1", 1}, {"65535", 65535}, {"80abc", 80}}) {
    dlg->ServerPage()->SetPortText(text);
    EXPECT_TRUE(dlg->StartServer()) << text;
    EXPECT_EQ(server_.port, port);
  }
  dlg->OnClose();
  const std::string log = Log();
  EXPECT_NE(log.find("No se ha iniciado servidor WEB. N\xBA Puerto incorrecto"), std::string::npos);

  addresses_.clear();
  boxes_.clear();
  LogXML otherLog;
  auto noAddress = Make();
  ASSERT_TRUE(noAddress->OnInitDialog());
  EXPECT_EQ(noAddress->ServerState(), 0);
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
  EXPECT_EQ(dlg->CaptureState(), 1);
  EXPECT_EQ(dlg->ServerState(), 2);
  EXPECT_EQ(devices_[0].pauses, 1);
  EXPECT_EQ(lastRun(), CaptureRun::Paused);
  dlg->OnPlay();  // rebuilds capture, keeps the server
  EXPECT_EQ(dlg->CaptureState(), 2);
  EXPECT_EQ(devices_[0].runs, 2);
  EXPECT_EQ(server_.created, 1);
  EXPECT_EQ(lastRun(), CaptureRun::Running);

  dlg->OnStop();
  EXPECT_EQ(dlg->CaptureState(), 0);
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_TRUE(dlg->StoppedByUser());
  const int stops = server_.stops;
  const int deviceStops = devices_[0].stops;
  dlg->OnStop();  // the second Stop changes nothing
  EXPECT_EQ(server_.stops, stops);
  EXPECT_EQ(devices_[0].stops, deviceStops);

  server_.reports.clear();
  dlg->OnPlay();
  EXPECT_EQ(dlg->ServerState(), 2);
  EXPECT_EQ(dlg->CaptureState(), 2);
  EXPECT_FALSE(dlg->StoppedByUser());
  EXPECT_EQ(server_.created, 2);
  ASSERT_EQ(server_.reports.size(), 2u);  // the new server hears the stop, then the start
  EXPECT_EQ(server_.reports[0].run, CaptureRun::Stopped);
  EXPECT_EQ(lastRun(), CaptureRun::Running);

  dlg->SendStopServer();  // the device was removed: the server stops, capture state stays
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(dlg->CaptureState(), 2);
}

TEST_F(ControllerTest, ServerPageRestartRebuildsBoth) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  dlg->ServerPage()->OnCommand(CDlgOpcionServer::kCmdPhonePagesOn);
  EXPECT_EQ(server_.created, 2);
  EXPECT_EQ(server_.phone, 1);
  EXPECT_EQ(dlg->CaptureState(), 2);
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
    EXPECT_EQ(config_.GetValue("SERVER", "PORT", ""), "80");
  }
  EXPECT_NE(Log().find("<Entry>Error initializate COM objets!</Entry>"), std::string::npos);
}

TEST_F(ControllerTest, PositionYIsNotWrittenWhenXFailed) {
  auto dlg = Make();
  ASSERT_TRUE(dlg->OnInitDialog());
  WriteFile(config_.FileName(), "<broken");
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
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(dlg->CaptureState(), 0);
  EXPECT_EQ(server_.address, "") << "nothing may start from the defaults";
  // The window shows that stopped state, rather than Stop and Pause for nothing running.
  EXPECT_EQ(view_.buttons, (std::array<bool, 3>{true, false, false}));
  EXPECT_EQ(view_.status, resources_.String(169));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].rfind("LoadXML Malformed XML Error|", 0), 0u) << boxes_[0];
  EXPECT_NE(boxes_[0].find(config_.FileName() + ", line 4: "), std::string::npos) << boxes_[0];

  dlg->OnPlay();  // the window's Play checks again and refuses again, once
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(boxes_.size(), 2u);

  // A reload while the file is still broken changes nothing.
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), 0);
  EXPECT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(ReadFile(config_.FileName()), broken);

  WriteFile(config_.FileName(), broken + "</SERVER></ORBISCOPEConfigSettings>");
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), 2);
  EXPECT_EQ(dlg->CaptureState(), 2);
  EXPECT_EQ(server_.port, 8080);
  EXPECT_EQ(server_.user, "cam");
  EXPECT_EQ(server_.password, "AB");

  // Broken again while running: the running server keeps its values, and closing writes
  // nothing over the user's file.
  WriteFile(config_.FileName(), broken);
  const int created = server_.created;
  dlg->ReloadSettings();
  EXPECT_EQ(dlg->ServerState(), 2);
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
  EXPECT_EQ(dlg->ServerState(), 0);
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
  ASSERT_EQ(dlg->ServerState(), 2);
  ASSERT_TRUE(device->WaitUntilStreaming(kPath));

  device->Unplug(kPath);
  ASSERT_TRUE(queue_.RunUntil([&] { return dlg->ServerState() == 0; }));
  EXPECT_EQ(boxes_, std::vector<std::string>{"Error!|" + resources_.String(105)});
  EXPECT_EQ(dlg->Graph().Stopped(), 1);

  device->Plug(kPath);
  ASSERT_TRUE(queue_.RunUntil([&] { return dlg->ServerState() == 2 && dlg->Graph().Stopped() == 0; }));
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
  ASSERT_EQ(dlg->CaptureState(), 2);
  EXPECT_EQ(dlg->Graph().Width(), 640);
  EXPECT_TRUE(queue_.RunUntil([&] {
    std::lock_guard lock(FakeServer::mutex);
    return server_.frames >= 3;
  }));
  EXPECT_EQ(dlg->Graph().LatestImage().Width(), 640u);
  // The unplaced caption was clamped to the bottom-left and written back to the page.
  EXPECT_EQ(dlg->VideoPage()->X(), 0);
  EXPECT_EQ(dlg->VideoPage()->Y(), 480);
  dlg->OnClose();
  EXPECT_EQ(config_.GetValue("VIDEO", "DEVICE", ""), kTestPatternName);
  EXPECT_EQ(config_.GetInt("VIDEO\\SIZE", "WIDHT", 0), 640);
}

}  // namespace
}  // namespace orbiscope
