#include "dialogs/VideoPageWidget.h"

#include <memory>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "log/LogXML.h"
#include "tests/capture/FakeCapture.h"
#include "tests/dialogs/WidgetTestSupport.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::Boxes;
using testing::FakePickers;
using testing::OpenMenu;

// Start-up as the main window runs it, over two scripted devices.
struct Fixture {
  Fixture() {
    testing::LoadResources(resources);
    config.SetFileName(dir.File("orbiscope.CONFIG.XML"));
    devices.resize(2);
    devices[0].name = "USB Camera";
    devices[0].caps = {testing::Rgb(640, 480), testing::Rgb(320, 240)};
    devices[1].name = "Second";
    devices[1].caps = {testing::Rgb(800, 600)};
    std::vector<std::unique_ptr<CaptureBackend>> backends;
    backends.push_back(std::make_unique<testing::FakeBackend>(&devices));
    graph = std::make_unique<CaptureGraph>(resources, nullptr, log, std::move(backends));
    graph->EnumerateDevices();
    host = std::make_unique<GraphVideoHost>(*graph, window);
    page = std::make_unique<CDlgOpcionVideo>(config, resources, boxes.Sink(), *graph, *host);
    page->OnInitDialog(OverlayFont{});
    graph->ListSizes("");
    page->FillLists();
    widget = std::make_unique<VideoPageWidget>(*page, resources);
    auto owned = std::make_unique<FakePickers>();
    pickers = owned.get();
    widget->SetPickers(std::move(owned));
    widget->show();
  }
  template <typename T>
  T* Find(const char* name) const { return widget->findChild<T*>(name); }
  QString Shown(const char* field) const { return Find<QPushButton>(field)->text(); }
  QString String(int id) const { return QString::fromStdString(resources.String(id)); }

  testing::TempDir dir;
  ConfigStore config;
  LogXML log;
  ResourceLibrary resources;
  Boxes boxes;
  std::vector<testing::FakeDeviceScript> devices;
  testing::RecordingSink window;
  std::unique_ptr<CaptureGraph> graph;
  std::unique_ptr<GraphVideoHost> host;
  std::unique_ptr<CDlgOpcionVideo> page;
  std::unique_ptr<VideoPageWidget> widget;
  FakePickers* pickers = nullptr;
};

}  // namespace

class VideoPageWidgetTest : public QObject {
  Q_OBJECT

private slots:
  // Every comparison of a text below would hold trivially with an empty library.
  void initTestCase() {
    ResourceLibrary resources;
    QVERIFY(testing::LoadResources(resources));
  }

  void menusRestartCaptureWithTheChoice() {
    Fixture f;
    QCOMPARE(f.widget->size(), QSize(368, 288));
    QTest::mouseClick(f.Find<QPushButton>("size"), Qt::LeftButton);
    OpenMenu sizes;
    QCOMPARE(sizes.Title(), f.String(133));
    QCOMPARE(sizes.Items(), QStringList({"640 x 480", "320 x 240"}));
    QCOMPARE(sizes.Checked(), QString("640 x 480"));
    QVERIFY(sizes.Choose("320 x 240"));
    QCOMPARE(f.page->SizeIndex(), 1);
    QCOMPARE(f.Shown("size"), QString("320 x 240"));
    QCOMPARE(f.devices[0].runs, 1);
    QCOMPARE(f.devices[0].formatsSet.back().width, 320);

    QTest::mouseClick(f.Find<QPushButton>("device"), Qt::LeftButton);
    OpenMenu devices;
    QCOMPARE(devices.Title(), f.String(132));
    QCOMPARE(devices.Items(), QStringList({"USB Camera", "Second"}));
    QVERIFY(devices.Choose("Second"));
    QCOMPARE(f.page->DeviceIndex(), 1);
    QCOMPARE(f.Shown("device"), QString("Second"));
    QCOMPARE(f.devices[1].runs, 1);

    QTest::mouseClick(f.Find<QPushButton>("time"), Qt::LeftButton);
    OpenMenu times;
    QCOMPARE(times.Title(), f.String(134));
    QCOMPARE(times.Items(), QStringList({f.String(126), f.String(127), f.String(128), f.String(129)}));
    QCOMPARE(times.Checked(), f.String(126));
    QVERIFY(times.Choose(f.String(128)));
    QCOMPARE(f.page->TimeMode(), 128);
    QCOMPARE(f.Shown("time"), f.String(128));
  }

  void turnAndMirrorMenusApplyLive() {
    Fixture f;
    for (const char* name : {"rotate", "flip"}) {
      QWidget* field = f.Find<QPushButton>(name);
      const QRect onPage(field->mapTo(f.widget.get(), QPoint(0, 0)), field->size());
      QVERIFY2(f.widget->rect().contains(onPage) && field->height() >= 16, name);
    }
    QCOMPARE(f.Shown("rotate"), f.String(res::kStrTurnUpright));
    QTest::mouseClick(f.Find<QPushButton>("rotate"), Qt::LeftButton);
    OpenMenu turns;
    QCOMPARE(turns.Title(), f.String(140));
    QCOMPARE(turns.Items(), QStringList({"Upright", QString::fromUtf8("90\u00b0 clockwise"), "Upside down",
                                         QString::fromUtf8("90\u00b0 anticlockwise")}));
    QCOMPARE(turns.Checked(), f.String(res::kStrTurnUpright));
    QVERIFY(turns.Choose(f.String(res::kStrTurnUpright + 3)));
    QCOMPARE(f.graph->Turn().rotate, 270);
    QCOMPARE(f.Shown("rotate"), f.String(res::kStrTurnUpright + 3));
    QCOMPARE(f.Shown("size"), QString("480 x 640"));
    // The size menu lists the sizes as the label shows them.
    QTest::mouseClick(f.Find<QPushButton>("size"), Qt::LeftButton);
    OpenMenu sizes;
    QCOMPARE(sizes.Items(), QStringList({"480 x 640", "240 x 320"}));
    QCOMPARE(sizes.Checked(), QString("480 x 640"));
    QVERIFY(sizes.menu != nullptr);
    sizes.menu->close();

    QTest::mouseClick(f.Find<QPushButton>("flip"), Qt::LeftButton);
    OpenMenu mirrors;
    QCOMPARE(mirrors.Title(), f.String(141));
    QCOMPARE(mirrors.Items(), QStringList({"None", "Left to right", "Top to bottom"}));
    QVERIFY(mirrors.Choose("Left to right"));
    QCOMPARE(f.graph->Turn().flip, FrameFlip::kHorizontal);
    QCOMPARE(f.Shown("flip"), QString("Left to right"));
    QCOMPARE(f.devices[0].runs, 0);  // applied to the next frame, no restart
  }

  void frameRateOnEnter_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<double>("rate");   // the graph's rate afterwards
    QTest::addColumn<int>("runs");      // restarts of capture
    QTest::addColumn<bool>("refused");
    QTest::newRow("30 restarts") << "30" << 30.0 << 1 << false;
    QTest::newRow("unchanged 15") << "15" << 15.0 << 0 << false;
    QTest::newRow("31 refused") << "31" << 15.0 << 0 << true;
    QTest::newRow("0 refused") << "0" << 15.0 << 0 << true;
    QTest::newRow("words refused") << "fast" << 15.0 << 0 << true;
  }
  void frameRateOnEnter() {
    QFETCH(QString, typed);
    QFETCH(double, rate);
    QFETCH(int, runs);
    QFETCH(bool, refused);
    Fixture f;
    auto* edit = f.Find<QLineEdit>("frameRate");
    QCOMPARE(edit->text(), QString("15"));
    edit->selectAll();
    QTest::keyClicks(edit, typed);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(f.graph->FrameRate(), rate);
    QCOMPARE(f.devices[0].runs, runs);
    QCOMPARE(f.boxes.shown.size(), std::size_t(refused ? 1 : 0));
    if (refused) QCOMPARE(QString::fromStdString(f.boxes.shown[0]), f.String(131) + "|" + f.String(130));
    QCOMPARE(edit->text(), typed);
  }

  void captionAndItsPosition() {
    Fixture f;
    auto* caption = f.Find<QLineEdit>("caption");
    QTest::keyClicks(caption, "A caption that is far longer than thirty-five characters");
    QCOMPARE(f.page->CaptionText(), "A caption that is far longer than t");
    f.graph->SetWidth(640);
    f.graph->SetHeight(480);
    f.page->AdoptPosition(0, 11);
    std::vector<int> ys;
    for (int i = 0; i < 3; ++i) {
      QTest::mouseClick(f.Find<QToolButton>("up"), Qt::LeftButton);
      ys.push_back(f.page->Y());
    }
    QCOMPARE(ys, (std::vector<int>{9, 10, 8}));
    QTest::mouseClick(f.Find<QToolButton>("right"), Qt::LeftButton);
    QTest::mouseClick(f.Find<QToolButton>("down"), Qt::LeftButton);
    QCOMPARE(f.page->X(), 2);
    QCOMPARE(f.page->Y(), 10);
    QTest::mouseClick(f.Find<QToolButton>("resetPosition"), Qt::LeftButton);
    QCOMPARE(f.page->X(), 0);
    QCOMPARE(f.page->Y(), 478);
  }

  void fontChooserTakesFontAndColour() {
    Fixture f;
    auto* button = f.Find<QPushButton>("font");
    QTest::mouseClick(button, Qt::LeftButton);  // cancelled
    QCOMPARE(f.page->Font().height, -13);
    QCOMPARE(f.pickers->shownFont.pixelSize(), 13);
    f.pickers->answer = true;
    f.pickers->font = QFont("DejaVu Serif");
    f.pickers->font.setPointSize(15);
    f.pickers->font.setItalic(true);
    f.pickers->colour = QColor(255, 128, 0);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(f.page->Font().faceName, "DejaVu Serif");
    QCOMPARE(f.page->Font().height, -20);
    QCOMPARE(f.page->Font().italic, 1);
    QCOMPARE(f.page->Colour(), 0x0080FFu);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(f.pickers->shownColour, QColor(255, 128, 0));
  }

  void deviceSettingsOnlyWhileCaptureRuns() {
    Fixture f;
    auto* button = f.Find<QToolButton>("deviceSettings");
    QVERIFY(!button->isEnabled());
    f.graph->Open(f.window, 0, 0);
    f.widget->Refresh();
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(f.window.log, std::vector<std::string>{"controls"});
    f.graph->Stop();
  }
};

int RunVideoPageWidgetTests(int argc, char** argv) {
  VideoPageWidgetTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace orbiscope

#include "VideoPageWidgetTest.moc"
