#include "app/WindowFrontEnd.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <vector>

#include "app/MainWindow.h"
#include "app/OrbiscopeDlg.h"
#include "app/ProgramParts.h"
#include "config/ConfigStore.h"
#include "dialogs/PageLook.h"

namespace orbiscope {
namespace {

// The pages' look for the whole program (menus, tips and the dialogs they open), with the
// message boxes and the About box on white and their one button in the accent colour.
QString StyleSheet() {
  return look::StyleSheet() + QStringLiteral(R"(
QMessageBox, QDialog#about { background: %1; }
QMessageBox QLabel, QDialog#about QLabel { color: %2; }
QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }
QMessageBox QPushButton, QDialog#about QPushButton {
  background: %3; color: #ffffff; border: 0; border-radius: 6px; padding: 6px 18px; min-width: 60px;
}
QMessageBox QPushButton:hover, QDialog#about QPushButton:hover { background: #3b82f6; }
)").arg(look::kPanel.name(), look::kInk.name(), look::kAccent.name());
}

// The message boxes' sign, drawn in the skin's colours: the style's own are from another
// era and another palette. An "i" on the accent for notices, an "!" on red for errors.
QPixmap BoxSign(bool error) {
  constexpr int kSide = 36;
  constexpr qreal kDensity = 2.0;
  QPixmap sign(QSize(kSide, kSide) * kDensity);
  sign.setDevicePixelRatio(kDensity);
  sign.fill(Qt::transparent);
  QPainter painter(&sign);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(error ? look::kBad : look::kAccent);
  painter.drawEllipse(QRectF(1, 1, kSide - 2, kSide - 2));
  painter.setPen(QPen(Qt::white, 3.6, Qt::SolidLine, Qt::RoundCap));
  const qreal mid = kSide / 2.0;
  const qreal dotY = error ? 26 : 10.5, stemTop = error ? 9.5 : 16, stemBottom = error ? 20 : 26;
  painter.drawLine(QPointF(mid, stemTop), QPointF(mid, stemBottom));
  painter.drawPoint(QPointF(mid, dotY));
  return sign;
}

}  // namespace

void ShowMessageBox(std::string_view caption, std::string_view text) {
  if (QApplication::instance() == nullptr || QThread::currentThread() != QApplication::instance()->thread()) {
    PrintMessageToStderr(caption, text);
    return;
  }
  const QString title = QString::fromUtf8(caption.data(), qsizetype(caption.size()));
  QWidget* owner = QApplication::activeWindow();
  const bool error = title.contains(QStringLiteral("Error"));  // "Error: 0x000001 ", "LoadXML Malformed XML Error"
  QMessageBox box(error ? QMessageBox::Warning : QMessageBox::Information, title,
                  QString::fromUtf8(text.data(), qsizetype(text.size())), QMessageBox::Ok, owner);
  box.setIconPixmap(BoxSign(error));
  box.exec();
}

int RunWindow(ConfigStore& config, LogXML& log, const ResourceLibrary& resources, const std::string& exeFolder) {
  // Blocked before any thread starts, so the signals reach only the descriptor read below.
  sigset_t handled;
  sigemptyset(&handled);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  const int signalFd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);

  static int argc = 1;
  static char name[] = "orbiscope";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Orbiscope"));
  QApplication::setQuitOnLastWindowClosed(false);  // the controller decides when it ends
  QApplication::setStyle(QStringLiteral("Fusion"));   // the same look on every desktop
  app.setStyleSheet(StyleSheet());
  QApplication::setFont(look::PageFont(resources));  // boxes and dialogs in the pages' face and size
  config.SetMessageSink(ShowMessageBox);

  MainWindow window(resources);
  QObject::connect(&window, &MainWindow::ended, &app, [] { QApplication::exit(0); });
  COrbiscopeDlg dlg(ProgramParts(config, log, resources, window, window.Poster(), ShowMessageBox, exeFolder));
  window.SetController(&dlg);

  // A signal acts only from the main event loop: inside any other (the splash during the
  // start-up, Play's pause, a message box shown from within a server start) the controller
  // is in the middle of an operation that a close must not pull the server from under.
  bool inMainLoop = false;
  std::vector<int> pending;
  QTimer retry;
  retry.setInterval(100);
  auto act = [&] {
    if (!inMainLoop || QThread::currentThread()->loopLevel() > 1) {
      retry.start();
      return;
    }
    retry.stop();
    std::vector<int> now;
    now.swap(pending);
    for (int signo : now) {
      if (signo == SIGHUP) {
        dlg.ReloadSettings();
      } else {
        dlg.OnClose();
      }
    }
  };
  QObject::connect(&retry, &QTimer::timeout, &window, act);
  std::unique_ptr<QSocketNotifier> notifier;
  if (signalFd >= 0) {
    notifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&] {
      signalfd_siginfo info{};
      while (read(signalFd, &info, sizeof info) == sizeof info) pending.push_back(static_cast<int>(info.ssi_signo));
      act();
    });
  }

  // A failed initialisation that did not close still shows the window, as the controller
  // leaves it: the user sees the stopped state and the messages given.
  dlg.OnInitDialog();
  int code = 0;
  if (!dlg.Closed()) {
    window.AttachPages();
    window.show();
    inMainLoop = true;
    code = QApplication::exec();
  }
  dlg.OnClose();  // a no-op after a close; makes sure nothing runs on when the loop ends
  notifier.reset();
  if (signalFd >= 0) close(signalFd);
  return code;
}

}  // namespace orbiscope
