#include "app/MainWindow.h"

#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QToolButton>
#include <QtTest>

#include "app/DlgVistaPrevia.h"
#include "app/OrbiscopeDlg.h"
#include "app/SkinButton.h"
#include "app/SplashScreenEx.h"
#include "app/VideoArea.h"
#include "capture/TestPattern.h"
#include "image/Picture.h"
#include "tests/dialogs/WidgetTestSupport.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

// What one start of the web server was given.
struct ServerStart {
  std::string address;
  int port = 0;
  int phonePages = 0;
  bool operator==(const ServerStart&) const = default;
};

class AlwaysStartsServer final : public WebServerHandle {
public:
  explicit AlwaysStartsServer(std::vector<ServerStart>& starts) : starts_(starts) {}
  bool InitServer(LogXML&, const WebServerStart& start) override {
    starts_.push_back({start.address, start.port, static_cast<unsigned char>(start.phonePages)});
    return true;
  }
  void Stop() override {}
  void UpdateFrame(std::shared_ptr<const CPicture>, const FrameInfo&) override {}

private:
  std::vector<ServerStart>& starts_;
};

// The real window over a controller running the test pattern, with a server that always
// starts, never listens and records what it was started with.
struct Rig {
  explicit Rig(bool credentials = true) {
    qputenv(CSplashScreenEx::kTimingVariable, "0,0,0,0");  // the splash's texts have their own test
    resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
    config.SetFileName(dir.File("orbiscope.CONFIG.XML"));
    config.SetValue("SERVER", "PORT", "8080");
    if (credentials) {
      config.SetValue("SERVER", "USER", "cam");
      config.SetValue("SERVER", "PASS", "25D55AD283AA400AF464C76D713C07AD");
    }
    log.SetExecutablePath(dir.File("orbiscope"));
    log.Open();
    window = std::make_unique<MainWindow>(resources);
    std::vector<std::unique_ptr<CaptureBackend>> backends;
    backends.push_back(MakeTestPatternBackend());
    COrbiscopeDlg::Dependencies deps{
        .config = config,
        .log = log,
        .resources = resources,
        .messages = [this](std::string_view c, std::string_view t) { boxes << QString::fromUtf8(c.data(), c.size()) + ": " + QString::fromUtf8(t.data(), t.size()); },
        .view = *window,
        .post = window->Poster(),
        .serverFactory = [this] { return std::make_unique<AlwaysStartsServer>(starts); },
        .captureBackends = std::move(backends),
        .exeFolder = dir.path().string(),
        .addresses = [] { return std::vector<std::string>{"127.0.0.1", "192.0.2.7"}; },
    };
    dlg = std::make_unique<COrbiscopeDlg>(std::move(deps));
    window->SetController(dlg.get());
  }
  ~Rig() {
    dlg->OnClose();
    dlg.reset();  // capture threads end before the window they post to
  }
  bool Start() {
    if (!dlg->OnInitDialog()) return false;
    window->AttachPages();
    window->show();
    return QTest::qWaitForWindowExposed(window.get());
  }
  SkinButton& Button(int id) { return *window->Button(id); }
  // Enabled states of Play, Pause and Stop in the notification menu.
  std::array<bool, 3> TrayStates() {
    std::array<bool, 3> states{};
    for (QAction* a : window->TrayMenu()->actions()) {
      const QString text = QString(a->text()).remove('&');
      if (text == "Play") states[0] = a->isEnabled();
      if (text == "Pause") states[1] = a->isEnabled();
      if (text == "Stop") states[2] = a->isEnabled();
    }
    return states;
  }
  // Waits for a processed frame whose pixels differ from `than` (any frame when null).
  bool WaitForNewFrame(const QImage& than = {}) {
    return QTest::qWaitFor([&] {
      const QImage now = FrameToImage(dlg->Graph().LatestImage());
      return !now.isNull() && now != than;
    }, 10000);
  }

  // Shows a page of the unfolded panel.
  QWidget* Page(MainWindow::Page page) {
    if (!window->PanelExpanded()) window->TogglePanel();
    if (!QTest::qWaitFor([&] { return !window->PanelSliding(); }, 5000)) return nullptr;
    window->SelectPage(page);
    return window->ShownPage();
  }
  // Clicks a menu field of a page and chooses an entry of the menu it opens.
  static bool ChooseFromMenu(QWidget* page, const char* field, const QString& entry) {
    QTest::mouseClick(page->findChild<QPushButton*>(field), Qt::LeftButton);
    return testing::OpenMenu().Choose(entry);
  }
  // Types into an edit of a page, replacing its text, and presses Enter there.
  static void Enter(QWidget* page, const char* edit, const QString& text) {
    auto* line = page->findChild<QLineEdit*>(edit);
    line->setFocus();
    line->selectAll();
    QTest::keyClicks(line, text);
    QTest::keyClick(line, Qt::Key_Return);
  }
  QString Box(int text) const {
    return QString::fromStdString(resources.String(131) + ": " + resources.String(text));
  }

  testing::TempDir dir;
  ConfigStore config;
  LogXML log;
  ResourceLibrary resources;
  QStringList boxes;
  std::vector<ServerStart> starts;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<COrbiscopeDlg> dlg;
};

using Pictures = std::array<int, 3>;  // shown by Play, Pause, Stop

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
private slots:
  void transportButtonsShowTheStateInPicturesAndTheTrayMenu() {
    Rig rig;
    QVERIFY(rig.Start());
    auto shown = [&] {
      return Pictures{rig.Button(MainWindow::kPlay).ShownPicture(), rig.Button(MainWindow::kPause).ShownPicture(),
                      rig.Button(MainWindow::kStop).ShownPicture()};
    };
    using Tray = std::array<bool, 3>;
    QCOMPARE(shown(), (Pictures{215, 220, 217}));  // running: Play disabled
    QCOMPARE(rig.TrayStates(), (Tray{false, true, true}));

    QTest::mouseClick(&rig.Button(MainWindow::kPause), Qt::LeftButton);
    QCOMPARE(rig.dlg->CaptureState(), CapturePhase::kPaused);
    QCOMPARE(shown(), (Pictures{214, 221, 217}));  // paused: the pause button shows it
    QCOMPARE(rig.TrayStates(), (Tray{false, true, true}));  // the button leaves the menu as it was

    QTest::mouseClick(&rig.Button(MainWindow::kStop), Qt::LeftButton);
    QCOMPARE(rig.dlg->ServerState(), ServerPhase::kStopped);
    QCOMPARE(shown(), (Pictures{214, 219, 218}));
    QCOMPARE(rig.TrayStates(), (Tray{true, false, false}));
    QCOMPARE(rig.window->StatusText(), rig.window->Pictures().String(169));
    QVERIFY(!rig.window->Video()->isVisible());
    QVERIFY(rig.window->Clip()->isVisible());
    QCOMPARE(rig.window->Clip()->Clip(), 128);

    QTest::mouseClick(&rig.Button(MainWindow::kPlay), Qt::LeftButton);  // waits its second
    QCOMPARE(rig.dlg->CaptureState(), CapturePhase::kRunning);
    QCOMPARE(shown(), (Pictures{215, 220, 217}));
    QCOMPARE(rig.TrayStates(), (Tray{false, true, true}));
    QVERIFY(rig.window->Video()->isVisible());
    QVERIFY(!rig.window->Clip()->isVisible());
    QCOMPARE(rig.window->StatusText(), rig.window->Pictures().String(168));

    // Work queued during Play's pause (a frame, a device notice) runs after the command.
    QTest::mouseClick(&rig.Button(MainWindow::kStop), Qt::LeftButton);
    std::optional<CapturePhase> seenState;
    QTimer::singleShot(100, rig.window.get(), [&] { rig.window->Poster()([&] { seenState = rig.dlg->CaptureState(); }); });
    QTest::mouseClick(&rig.Button(MainWindow::kPlay), Qt::LeftButton);
    QTRY_VERIFY(seenState == CapturePhase::kRunning);

    rig.window->OnMenuCommand(MainWindow::Command::Pause);  // from the menu, the menu follows
    QCOMPARE(rig.dlg->CaptureState(), CapturePhase::kPaused);
    QCOMPARE(rig.TrayStates(), (Tray{true, false, false}));
    QVERIFY(rig.boxes.isEmpty());
  }

  void panelWidthsFollowTheBackground_data() {
    QTest::addColumn<int>("background");
    QTest::addColumn<int>("folded");
    QTest::addColumn<int>("unfolded");
    QTest::newRow("the skin") << 640 << 256 << 636;
    QTest::newRow("odd width") << 335 << 134 << 334;
    QTest::newRow("exact steps") << 650 << 260 << 650;
  }
  void panelWidthsFollowTheBackground() {
    QFETCH(int, background);
    QFETCH(int, folded);
    QFETCH(int, unfolded);
    const std::vector<int> open = PanelWidths(background, true);
    const std::vector<int> shut = PanelWidths(background, false);
    QCOMPARE(open.front(), folded);
    QCOMPARE(open.back(), unfolded);
    QCOMPARE(shut.front(), background);
    QCOMPARE(shut.back(), folded);
    for (std::size_t i = 1; i + 1 < shut.size(); ++i) QCOMPARE(shut[i - 1] - shut[i], 10);
    QVERIFY(shut[shut.size() - 2] >= folded);
  }

  // Without a camera password the window says so once and opens on the server page.
  void withoutACameraPasswordTheServerPageOpens() {
    Rig rig(false);
    QVERIFY(rig.Start());
    QCOMPARE(rig.boxes.size(), 1);
    QVERIFY(rig.boxes[0].contains(QStringLiteral("No camera user name and password are set")));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
    QVERIFY(rig.window->PanelExpanded());
    QCOMPARE(rig.window->ShownPage(), rig.window->PageWidget(MainWindow::Page::Server));
  }

  void panelButtonFoldsAndUnfoldsTheWindow() {
    Rig rig;
    QVERIFY(rig.Start());
    QCOMPARE(rig.window->width(), 256);
    QCOMPARE(rig.window->ShownPage(), nullptr);
    for (int round = 0; round < 2; ++round) {
      QTest::mouseClick(&rig.Button(MainWindow::kPanel), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
      QCOMPARE(rig.window->width(), 636);
      QCOMPARE(rig.window->ShownPage(), rig.window->PageWidget(MainWindow::Page::Server));
      QCOMPARE(rig.Button(MainWindow::kPanel).ShownPicture(), 182);

      QTest::mouseClick(&rig.Button(MainWindow::kPanel), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
      QCOMPARE(rig.window->width(), 256);
      QCOMPARE(rig.window->ShownPage(), nullptr);
      QCOMPARE(rig.Button(MainWindow::kPanel).ShownPicture(), 185);
    }
    // A click while sliding turns straight back.
    QTest::mouseClick(&rig.Button(MainWindow::kPanel), Qt::LeftButton);
    QTest::mouseClick(&rig.Button(MainWindow::kPanel), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
    QCOMPARE(rig.window->width(), 256);
    QVERIFY(!rig.window->PanelExpanded());
  }

  void selectorsShowOnePageAtATime() {
    Rig rig;
    QVERIFY(rig.Start());
    rig.window->TogglePanel();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
    struct Case {
      int selector;
      MainWindow::Page page;
      Pictures pictures;  // shown by the video, server and information selectors
    };
    for (const Case& c : {Case{MainWindow::kVideoSelector, MainWindow::Page::Video, {169, 179, 178}},
                          Case{MainWindow::kInfoSelector, MainWindow::Page::Information, {180, 179, 167}},
                          Case{MainWindow::kServerSelector, MainWindow::Page::Server, {180, 164, 178}}}) {
      QTest::mouseClick(&rig.Button(c.selector), Qt::LeftButton);
      QVERIFY(rig.window->PageWidget(c.page) != nullptr);
      QCOMPARE(rig.window->ShownPage(), rig.window->PageWidget(c.page));
      QCOMPARE((Pictures{rig.Button(MainWindow::kVideoSelector).ShownPicture(),
                         rig.Button(MainWindow::kServerSelector).ShownPicture(),
                         rig.Button(MainWindow::kInfoSelector).ShownPicture()}),
               c.pictures);
    }
  }

  // The pages as the window holds them, over the real controller: their menus and Enter
  // restart the server and the camera, refusals leave both running, and Enter on a page
  // never reaches the window.
  void serverPageRestartsTheServerItDescribes() {
    Rig rig;
    QVERIFY(rig.Start());
    QWidget* page = rig.Page(MainWindow::Page::Server);
    QVERIFY(page != nullptr);
    using Starts = std::vector<ServerStart>;
    QCOMPARE(rig.starts, (Starts{{"127.0.0.1", 8080, 0}}));

    Rig::Enter(page, "port", "8081");  // Enter on a running server restarts it on the new port
    QVERIFY(Rig::ChooseFromMenu(page, "address", "192.0.2.7"));
    QVERIFY(Rig::ChooseFromMenu(page, "phonePages", rig.window->Pictures().String(158)));
    QCOMPARE(rig.starts, (Starts{{"127.0.0.1", 8080, 0}, {"127.0.0.1", 8081, 0}, {"192.0.2.7", 8081, 0},
                                 {"192.0.2.7", 8081, 1}}));
    QCOMPARE(rig.dlg->CaptureState(), CapturePhase::kRunning);

    Rig::Enter(page, "port", "0");
    Rig::Enter(page, "port", "8081");
    Rig::Enter(page, "password", "short");
    QCOMPARE(rig.boxes, (QStringList{rig.Box(161), rig.Box(160)}));
    QCOMPARE(rig.starts.size(), std::size_t(6));  // all but the refused port restarted it
    QVERIFY(rig.window->isVisible());
    QVERIFY(!rig.dlg->Closed());
  }

  void videoPageRestartsTheCameraItDescribes() {
    Rig rig;
    QVERIFY(rig.Start());
    QWidget* page = rig.Page(MainWindow::Page::Video);
    QVERIFY(page != nullptr);
    QVERIFY(Rig::ChooseFromMenu(page, "size", "320 x 240"));
    QCOMPARE(rig.dlg->Graph().Width(), 320);
    QVERIFY(Rig::ChooseFromMenu(page, "time", rig.window->Pictures().String(127)));
    QCOMPARE(rig.dlg->VideoPage()->TimeMode(), 127);

    Rig::Enter(page, "frameRate", "31");
    QCOMPARE(rig.boxes, QStringList{rig.Box(130)});
    Rig::Enter(page, "frameRate", "30");
    QCOMPARE(rig.dlg->Graph().FrameRate(), 30.0);
    QCOMPARE(rig.dlg->CaptureState(), CapturePhase::kRunning);
    QVERIFY(rig.window->isVisible());

    // The test pattern's own controls, through the same dialog a camera's get.
    QStringList listed;
    QTimer::singleShot(0, rig.window.get(), [&] {
      QWidget* dialog = QApplication::activeModalWidget();
      if (dialog == nullptr) return;
      for (QWidget* w : dialog->findChildren<QWidget*>())
        if (qobject_cast<QSlider*>(w) || qobject_cast<QCheckBox*>(w) || qobject_cast<QComboBox*>(w))
          listed << w->objectName();
      dialog->close();
    });
    QTest::mouseClick(page->findChild<QToolButton*>("deviceSettings"), Qt::LeftButton);
    QCOMPARE(listed, (QStringList{"Brightness", "Contrast", "Saturation", "Show moving block", "Pattern"}));
  }

  void twoClicksOnTheVideoLeaveOnePreviewOfTheSecondFrame() {
    Rig rig;
    QVERIFY(rig.Start());
    QVERIFY(rig.WaitForNewFrame());
    QTest::mouseClick(rig.window->Video(), Qt::LeftButton);
    const QImage first = rig.window->PreviewWindow()->Picture();
    QVERIFY(rig.WaitForNewFrame(first));
    const QImage second = FrameToImage(rig.dlg->Graph().LatestImage());
    QTest::mouseClick(rig.window->Video(), Qt::LeftButton);

    QCOMPARE(rig.window->findChildren<CDlgVistaPrevia*>().size(), 1);
    CDlgVistaPrevia* preview = rig.window->PreviewWindow();
    QCOMPARE(preview->Picture(), second);
    QCOMPARE(preview->CaptureSize(), QSize(640, 480));
    QCOMPARE(preview->size(), QSize(640, 480 + CDlgVistaPrevia::kBandHeight));
    // The preview is a snapshot: later frames leave it alone.
    QVERIFY(rig.WaitForNewFrame(second));
    QCOMPARE(preview->Picture(), second);
  }

  void enterMovesOnAndClosingRunsTheControllersClose() {
    Rig rig;
    rig.config.SetInt("GENERAL", "MAINWNDPOSX", 50);
    rig.config.SetInt("GENERAL", "MAINWNDPOSY", 60);
    QVERIFY(rig.Start());
    QCOMPARE(rig.window->pos(), QPoint(50, 60));
    QSignalSpy ended(rig.window.get(), &MainWindow::ended);
    QTest::keyClick(rig.window.get(), Qt::Key_Return);
    QTest::keyClick(rig.window.get(), Qt::Key_Escape);
    QVERIFY(rig.window->isVisible());
    QVERIFY(!rig.dlg->Closed());

    rig.window->move(37, 41);
    rig.window->close();
    QVERIFY(rig.dlg->Closed());
    QCOMPARE(ended.size(), 1);
    QVERIFY(!rig.window->isVisible());
    QCOMPARE(rig.config.GetInt("GENERAL", "MAINWNDPOSX", -1), 37);
    QCOMPARE(rig.config.GetInt("GENERAL", "MAINWNDPOSY", -1), 41);
  }

  void withoutANotificationAreaMinimisingKeepsAWayBack() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this platform has a notification area");
    Rig rig;
    QVERIFY(rig.Start());
    rig.window->Minimise();
    QVERIFY(!rig.window->InTray());
    QVERIFY(rig.window->isVisible());  // minimised, never hidden
    rig.window->OnMenuCommand(MainWindow::Command::Restore);  // restores and unfolds the panel
    QVERIFY(!rig.window->isMinimized());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->PanelSliding(), 5000);
    QCOMPARE(rig.window->width(), 636);
  }

  void splashShowsItsTextsInOrder() {
    ResourceLibrary resources;
    QVERIFY(resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so"));
    Skin skin(resources);
    CSplashScreenEx splash(skin, SplashTimings{0, 1, 1, 0});
    QSignalSpy texts(&splash, &CSplashScreenEx::textShown);
    splash.Run();
    QStringList seen;
    for (const QList<QVariant>& t : texts) seen << t.at(0).toString();
    QCOMPARE(seen, (QStringList{skin.String(164), skin.String(162), skin.String(163), skin.String(162)}));
    QVERIFY(!splash.isVisible());
    QCOMPARE(splash.size(), skin.Picture(res::kPicSplash).size());
    QVERIFY(!splash.mask().contains(QPoint(0, 0)));  // the magenta corner is not part of it
    QVERIFY(splash.mask().contains(splash.rect().center()));
  }

  void splashTimingsParse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::newRow("defaults") << "500,1000,1500,200" << true;
    QTest::newRow("zeros, blanks") << "0, 0,0 ,0" << true;
    QTest::newRow("three") << "1,2,3" << false;
    QTest::newRow("five") << "1,2,3,4,5" << false;
    QTest::newRow("negative") << "-1,0,0,0" << false;
    QTest::newRow("a minute and more") << "60001,0,0,0" << false;
    QTest::newRow("words") << "fast,0,0,0" << false;
  }
  void splashTimingsParse() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    SplashTimings t{7, 7, 7, 7};
    QCOMPARE(SplashTimings::Parse(text.toLatin1().constData(), t), ok);
    if (!ok) QCOMPARE(t.stepMs, 7);  // a refused value changes nothing
  }

  void framesAreScaledByTheMeanOfWhatEachPixelCovers() {
    // 4 x 2 frame, stored bottom-up: top row red, red, green, green; bottom row all blue.
    CPicture frame(4, 2, 24, kFormatBmp);
    auto put = [&](int x, int yFromTop, QRgb c) {
      std::uint8_t* p = frame.Row(static_cast<std::uint32_t>(1 - yFromTop)) + 3 * x;
      p[0] = static_cast<std::uint8_t>(qBlue(c));
      p[1] = static_cast<std::uint8_t>(qGreen(c));
      p[2] = static_cast<std::uint8_t>(qRed(c));
    };
    for (int x = 0; x < 4; ++x) put(x, 1, qRgb(0, 0, 200));
    put(0, 0, qRgb(200, 0, 0));
    put(1, 0, qRgb(100, 0, 0));
    put(2, 0, qRgb(0, 200, 0));
    put(3, 0, qRgb(0, 200, 0));
    QImage two(2, 2, QImage::Format_RGB32);
    ScaleFrameInto(frame, two);
    QCOMPARE(two.pixel(0, 0), qRgb(150, 0, 0));
    QCOMPARE(two.pixel(1, 0), qRgb(0, 200, 0));
    QCOMPARE(two.pixel(0, 1), qRgb(0, 0, 200));
    QImage one(1, 1, QImage::Format_RGB32);
    ScaleFrameInto(frame, one);
    QCOMPARE(one.pixel(0, 0), qRgb(37, 50, 100));
    QImage wide(8, 4, QImage::Format_RGB32);  // larger than the frame: each pixel repeats
    ScaleFrameInto(frame, wide);
    QCOMPARE(wide.pixel(7, 0), qRgb(0, 200, 0));
    QCOMPARE(wide.pixel(0, 3), qRgb(0, 0, 200));
    QCOMPARE(FrameToImage(frame).pixel(1, 0), qRgb(100, 0, 0));
    CPicture empty;
    ScaleFrameInto(empty, two);
    QCOMPARE(two.pixel(1, 1), qRgb(0, 0, 0));
  }
};

}  // namespace orbiscope

QTEST_MAIN(orbiscope::MainWindowTest)
#include "MainWindowTest.moc"
