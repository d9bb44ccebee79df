// Shows one settings page or the device settings dialog with sample values, for screenshots
// and for looking at the widgets without the main window:
//
//   page_preview server|video|controls|menu [OUT.png]
//
// With OUT the widget is drawn into that PNG file and the program ends (the offscreen
// platform will do); without it the widget stays on the screen until it is closed. "menu"
// is the server page's address menu.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <QApplication>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>

#include "capture/CaptureEventSink.h"
#include "capture/TestPattern.h"
#include "dialogs/PageWidgets.h"
#include "httpd/client/Md5Hex.h"
#include "tests/dialogs/SampleControls.h"

namespace {

using namespace orbiscope;

struct RunningHost final : ServerPageHost {
  ServerPhase ServerState() const override { return ServerPhase::kRunning; }
  void RestartServer() override {}
};

struct IdleWindow final : CaptureEventSink {
  void PostFrameReady() override {}
  void PostGraphEvent(long) override {}
  void SendStopServer() override {}
  void SendDeviceBack() override {}
  CaptureError ShowDeviceControls(DeviceControls&) override { return CaptureError::kNone; }
};

int Finish(QWidget& widget, const QString& out) {
  if (out.isEmpty()) {
    widget.show();
    return QApplication::exec();
  }
  return widget.grab().save(out) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  const QString what = args.value(1);
  const QString out = args.value(2);
  if (what != "server" && what != "video" && what != "controls" && what != "menu") {
    std::fprintf(stderr, "usage: page_preview server|video|controls|menu [OUT.png]\n");
    return 2;
  }
  ResourceLibrary resources;
  if (!resources.Load((QApplication::applicationDirPath() + "/Resource.so").toStdString()))
    std::fprintf(stderr, "page_preview: Resource.so not found beside the program; texts stay blank\n");
  QTemporaryDir home;
  ConfigStore config;
  config.SetFileName(home.filePath("orbiscope.CONFIG.XML").toStdString());
  LogXML log;
  log.SetExecutablePath(home.filePath("orbiscope").toStdString());
  const MessageSink quiet = [](std::string_view, std::string_view) {};

  if (what == "controls") {
    testing::SampleControls controls;
    if (!out.isEmpty()) {
      QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
          if (w->objectName() != "deviceControls") continue;
          if (!w->grab().save(out)) std::fprintf(stderr, "page_preview: cannot write %s\n", qPrintable(out));
          w->close();
        }
      });
    }
    return ShowDeviceControlsDialog(controls, resources, nullptr) == CaptureError::kNone ? 0 : 1;
  }

  if (what == "video") {
    config.SetValue("VIDEO\\OVERLAYTEXT", "TEXT", "Front door");
    config.SetValue("VIDEO\\OVERLAYTEXT", "TIMEDATA", "128");
    config.SetValue("VIDEO\\OVERLAYTEXT\\FONT", "NAME", "DejaVu Serif");
    config.SetValue("VIDEO\\OVERLAYTEXT\\FONT", "COLOR", "3402751");  // amber
    std::vector<std::unique_ptr<CaptureBackend>> backends;
    backends.push_back(MakeTestPatternBackend());
    CaptureGraph graph(resources, quiet, log, std::move(backends));
    IdleWindow window;
    graph.EnumerateDevices();
    GraphVideoHost host(graph, window);
    CDlgOpcionVideo page(config, resources, quiet, graph, host);
    OverlayFont font;
    font.faceName = resources.String(res::kStrSplashFont);
    page.OnInitDialog(font);
    ApplyVideoSettings(page.Settings(), graph);
    graph.ListSizes("");
    page.FillLists();
    graph.Open(window, 0, 0);
    VideoPageWidget widget(page, resources);
    const int result = Finish(widget, out);
    graph.Stop();
    return result;
  }

  std::string digest;
  Md5Hex("orbiscope", digest);
  config.SetValue("SERVER", "IP", "192.168.1.20");
  config.SetValue("SERVER", "PORT", "8080");
  config.SetValue("SERVER", "USER", "admin");
  config.SetValue("SERVER", "PASS", digest);
  config.SetValue("SERVER", "VIRTDIR", "/var/lib/orbiscope/root");
  RunningHost host;
  CDlgOpcionServer page(config, log, resources, quiet, host, home.path().toStdString(),
                        [] { return std::vector<std::string>{"192.168.1.20", "10.8.0.3", "127.0.0.1"}; });
  page.OnInitDialog();
  page.FillControls();
  page.SetServerState(ServerPhase::kRunning);
  ServerPageWidget widget(page, resources);
  if (what == "menu") {
    widget.show();
    widget.findChild<QPushButton*>("address")->click();
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) return 1;
    if (out.isEmpty()) return QApplication::exec();
    return menu->grab().save(out) ? 0 : 1;
  }
  return Finish(widget, out);
}
