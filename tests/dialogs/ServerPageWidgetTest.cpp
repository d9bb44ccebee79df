#include "dialogs/ServerPageWidget.h"

#include <filesystem>
#include <memory>

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "httpd/client/Md5Hex.h"
#include "tests/dialogs/WidgetTestSupport.h"
#include "tests/support/TempDir.h"

namespace orbiscope {
namespace {

using testing::Boxes;
using testing::FakePickers;
using testing::OpenMenu;
using testing::TempDir;

struct FakeHost final : ServerPageHost {
  ServerPhase ServerState() const override { return state; }
  void RestartServer() override { ++restarts; }
  ServerPhase state = ServerPhase::kStopped;
  int restarts = 0;
};

std::string Digest(const std::string& text) {
  std::string digest;
  Md5Hex(text, digest);
  return digest;
}

// One page as the main window fills it, with its widget inside a dialog, so that a key
// the page let through would reach the dialog's own Enter handling.
struct Fixture {
  Fixture() {
    testing::LoadResources(resources);
    config.SetFileName(dir.File("orbiscope.CONFIG.XML"));
    log.SetExecutablePath(dir.File("orbiscope"));
    log.Open();
  }
  void Make() {
    page = std::make_unique<CDlgOpcionServer>(config, log, resources, boxes.Sink(), host, dir.path().string(),
                                              [] { return std::vector<std::string>{"192.168.1.5", "127.0.0.1"}; });
    page->OnInitDialog();
    page->FillControls();
    window = std::make_unique<QDialog>();
    auto* layout = new QVBoxLayout(window.get());
    widget = new ServerPageWidget(*page, resources, window.get());
    layout->addWidget(widget);
    auto* ok = new QPushButton("OK", window.get());  // what a leaked Enter would press
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, window.get(), &QDialog::accept);
    layout->addWidget(ok);
    auto owned = std::make_unique<FakePickers>();
    pickers = owned.get();
    widget->SetPickers(std::move(owned));
    window->show();
  }
  template <typename T>
  T* Find(const char* name) const { return widget->findChild<T*>(name); }
  QLineEdit* Edit(const char* name) const { return Find<QLineEdit>(name); }
  // Types into an edit as the user does: click, replace everything, type, Enter.
  void Type(const char* name, const QString& text) {
    QLineEdit* edit = Edit(name);
    QTest::mouseClick(edit, Qt::LeftButton);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }
  void Enter(const char* name) { QTest::keyClick(Edit(name), Qt::Key_Return); }
  std::string Box(int text) const { return resources.String(131) + "|" + resources.String(text); }

  TempDir dir;
  ConfigStore config;
  LogXML log;
  ResourceLibrary resources;
  FakeHost host;
  Boxes boxes;
  std::unique_ptr<CDlgOpcionServer> page;
  std::unique_ptr<QDialog> window;
  ServerPageWidget* widget = nullptr;
  FakePickers* pickers = nullptr;
};

}  // namespace

class ServerPageWidgetTest : public QObject {
  Q_OBJECT

private slots:
  // Every comparison of a text below would hold trivially with an empty library.
  void initTestCase() {
    ResourceLibrary resources;
    QVERIFY(testing::LoadResources(resources));
  }

  void showsTheStoredSettings() {
    Fixture f;
    f.config.SetValue("SERVER", "IP", "127.0.0.1");
    f.config.SetValue("SERVER", "PORT", "8080");
    f.config.SetValue("SERVER", "USER", "cam");
    f.config.SetValue("SERVER", "PASS", Digest("12345678"));
    f.config.SetValue("SERVER", "ENABLEWAP", "TRUE");
    f.Make();
    QCOMPARE(f.widget->size(), QSize(368, 288));
    QCOMPARE(f.Find<QPushButton>("address")->text(), QString("127.0.0.1"));
    QCOMPARE(f.Find<QPushButton>("address")->toolTip().toStdString(), f.resources.String(153));
    QCOMPARE(f.Edit("port")->text(), QString("8080"));
    QCOMPARE(f.Edit("user")->text(), QString("cam"));
    QCOMPARE(f.Edit("password")->text().toStdString(), Digest("12345678"));
    QCOMPARE(f.Edit("password")->echoMode(), QLineEdit::Password);
    QCOMPARE(f.Edit("folder")->text().toStdString(), f.dir.File("root"));
    QCOMPARE(f.Find<QPushButton>("phonePages")->text().toStdString(), f.resources.String(158));
    // The window re-reads the page after the controller changed it.
    f.config.SetValue("SERVER", "PORT", "81");
    f.page->FillControls();
    f.widget->Refresh();
    QCOMPARE(f.Edit("port")->text(), QString("81"));
  }

  void enterAppliesThePage_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("password");  // empty: not typed
    QTest::addColumn<int>("box");           // string shown, 0 for none
    QTest::addColumn<int>("restarts");      // of the running server
    QTest::addColumn<QString>("stored");    // "PASS" afterwards, "none" when absent
    QTest::newRow("port 0") << "0" << "" << 161 << 0 << "none";
    QTest::newRow("port 65536") << "65536" << "" << 161 << 0 << "none";
    QTest::newRow("port refused before the password") << "0" << "12345678" << 161 << 0 << "none";
    QTest::newRow("short password") << "8080" << "1234567" << 160 << 1 << "none";
    QTest::newRow("password of 8") << "8080" << "12345678" << 0 << 1 << QString::fromStdString(Digest("12345678"));
  }
  void enterAppliesThePage() {
    QFETCH(QString, port);
    QFETCH(QString, password);
    QFETCH(int, box);
    QFETCH(int, restarts);
    QFETCH(QString, stored);
    Fixture f;
    f.Make();
    f.host.state = ServerPhase::kRunning;
    f.Type("port", port);
    if (!password.isEmpty()) f.Type("password", password);
    f.Enter("port");
    QCOMPARE(f.boxes.shown.size(), std::size_t(box == 0 ? 0 : 1));
    if (box != 0) QCOMPARE(f.boxes.shown[0], f.Box(box));
    QCOMPARE(f.host.restarts, restarts);
    QCOMPARE(QString::fromStdString(f.config.GetValue("SERVER", "PASS", "none")), stored);
    // The digest replaces the password in the edit; a refused password stays as typed.
    if (!password.isEmpty()) QCOMPARE(f.Edit("password")->text(), stored == "none" ? password : stored);
    QVERIFY2(f.window->isVisible(), "Enter on the page must not reach the window");
  }

  void typingOverTheStoredDigestReplacesIt() {
    Fixture f;
    f.config.SetValue("SERVER", "PASS", Digest("oldpassword"));
    f.Make();
    QLineEdit* password = f.Edit("password");
    QTest::mouseClick(password, Qt::LeftButton, {}, QPoint(password->width() - 4, password->height() / 2));
    QTest::keyClicks(password, "newpassword");
    f.Enter("password");
    QCOMPARE(f.config.GetValue("SERVER", "PASS", ""), Digest("newpassword"));
    // While the user edits, a click places the cursor as usual.
    QTest::mouseClick(password, Qt::LeftButton, {}, QPoint(password->width() - 4, password->height() / 2));
    QTest::keyClicks(password, "ab");
    QTest::mouseClick(password, Qt::LeftButton, {}, QPoint(4, password->height() / 2));
    QTest::keyClicks(password, "z");
    QCOMPARE(password->text(), QString("zab"));
  }

  void menusChangeTheSettingAndRestartTheServer() {
    Fixture f;
    f.Make();  // stopped: the menus start it anyway
    QTest::mouseClick(f.Find<QPushButton>("address"), Qt::LeftButton);
    OpenMenu addresses;
    QCOMPARE(addresses.Items(), QStringList({"192.168.1.5", "127.0.0.1"}));
    QCOMPARE(addresses.Checked(), QString("192.168.1.5"));
    QVERIFY(addresses.Choose("127.0.0.1"));
    QCOMPARE(f.page->SelectedAddress(), "127.0.0.1");
    QCOMPARE(f.Find<QPushButton>("address")->text(), QString("127.0.0.1"));
    QCOMPARE(f.host.restarts, 1);

    const QString on = QString::fromStdString(f.resources.String(158));
    const QString off = QString::fromStdString(f.resources.String(159));
    QTest::mouseClick(f.Find<QPushButton>("phonePages"), Qt::LeftButton);
    OpenMenu phones;
    QCOMPARE(phones.Items(), QStringList({on, off}));
    QCOMPARE(phones.Checked(), off);
    QVERIFY(phones.Choose(on));
    QVERIFY(f.page->PhonePages());
    QCOMPARE(f.Find<QPushButton>("phonePages")->text(), on);
    QCOMPARE(f.host.restarts, 2);
  }

  void folderPickerMovesTheContent() {
    Fixture f;
    std::filesystem::create_directories(f.dir.path() / "root");
    testing::WriteFile(f.dir.File("root/index.html"), "hello");
    f.Make();
    f.pickers->folder.clear();  // cancelled: nothing happens
    QTest::mouseClick(f.Find<QToolButton>("chooseFolder"), Qt::LeftButton);
    QCOMPARE(f.host.restarts, 0);
    QCOMPARE(f.pickers->asked.size(), std::size_t(1));
    QCOMPARE(f.pickers->asked[0].toStdString(), f.resources.String(170) + "|" + f.dir.File("root"));

    f.pickers->folder = QString::fromStdString(f.dir.File("site"));
    QTest::mouseClick(f.Find<QToolButton>("chooseFolder"), Qt::LeftButton);
    QCOMPARE(f.Edit("folder")->text(), f.pickers->folder);
    QCOMPARE(testing::ReadFile(f.dir.File("site/index.html")), "hello");
    QCOMPARE(f.host.restarts, 1);
  }
};

int RunServerPageWidgetTests(int argc, char** argv) {
  ServerPageWidgetTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace orbiscope

#include "ServerPageWidgetTest.moc"
