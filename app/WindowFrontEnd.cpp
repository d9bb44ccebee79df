#include "app/WindowFrontEnd.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <vector>

#include "app/MainWindow.h"
#include "app/OrbiscopeDlg.h"
#include "app/ProgramParts.h"
#include "config/ConfigStore.h"

namespace orbiscope {
namespace {

// Menus and boxes in the colours of the skin (those of the desktop viewer page).
constexpr const char* kStyleSheet = R"(
QMenu { background: #ffffff; border: 1px solid #c4ccd6; padding: 4px; }
QMenu::item { color: #1d2733; padding: 5px 22px 5px 14px; border-radius: 4px; }
QMenu::item:selected { background: #1f6feb; color: #ffffff; }
QMenu::item:disabled { color: #9aa5b1; }
QMenu::separator { height: 1px; background: #e3e8ee; margin: 4px 6px; }
QMessageBox, QDialog#about { background: #ffffff; }
QMessageBox QLabel, QDialog#about QLabel { color: #1d2733; }
QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }
QMessageBox QPushButton, QDialog#about QPushButton {
  background: #1f6feb; color: #ffffff; border: 0; border-radius: 6px; padding: 6px 18px; min-width: 60px;
}
QMessageBox QPushButton:hover, QDialog#about QPushButton:hover { background: #3b82f6; }
)";

}  // namespace

void ShowMessageBox(std::string_view caption, std::string_view text) {
  if (QApplication::instance() == nullptr || QThread::currentThread() != QApplication::instance()->thread()) {
    PrintMessageToStderr(caption, text);
    return;
  }
  const QString title = QString::fromUtf8(caption.data(), qsizetype(caption.size()));
  QWidget* owner = QApplication::activeWindow();
  QMessageBox box(title.startsWith(QStringLiteral("Error")) ? QMessageBox::Warning : QMessageBox::Information, title,
                  QString::fromUtf8(text.data(), qsizetype(text.size())), QMessageBox::Ok, owner);
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
  app.setStyleSheet(QString::fromLatin1(kStyleSheet));
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
