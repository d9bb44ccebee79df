#include "app/HeadlessFrontEnd.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "app/OrbiscopeDlg.h"
#include "app/UiLoop.h"
#include "app/ProgramParts.h"

namespace orbiscope {
namespace {

// Ends the signal thread; never sent from outside.
constexpr int kQuitSignal = SIGUSR2;

class HeadlessView final : public ControllerView {
public:
  explicit HeadlessView(UiLoop& loop) : loop_(loop) {}
  void SetController(COrbiscopeDlg* dlg) { dlg_ = dlg; }

  void LayOut(int x, int y) override { position_ = {x, y}; }
  std::pair<int, int> WindowPosition() const override { return position_; }
  void Wait(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  void PostClose() override {
    loop_.Post([this] {
      if (dlg_ != nullptr) dlg_->OnClose();
    });
  }
  void EndDialog() override { loop_.Quit(0); }

private:
  UiLoop& loop_;
  COrbiscopeDlg* dlg_ = nullptr;
  std::pair<int, int> position_{0, 0};
};

void PrintServing(COrbiscopeDlg& dlg) {
  if (dlg.ServerState() != ServerPhase::kRunning || dlg.ServerPage() == nullptr) {
    std::fprintf(stdout, "Orbiscope is stopped: the web server is not running.\n");
  } else {
    std::fprintf(stdout, "Orbiscope serves http://%s:%ld/\n", dlg.ServerPage()->SelectedAddress().c_str(),
                 AtoL(dlg.ServerPage()->PortText()));
  }
  std::fflush(stdout);
}

}  // namespace

int RunHeadless(ConfigStore& config, LogXML& log, const ResourceLibrary& resources,
                const std::string& exeFolder) {
  // Every thread started from here on inherits the blocked set, so the signals reach only
  // the thread that waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, kQuitSignal}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  UiLoop loop;
  HeadlessView view(loop);
  COrbiscopeDlg dlg(ProgramParts(config, log, resources, view,
                                  [&loop](std::function<void()> work) { loop.Post(std::move(work)); },
                                  PrintMessageToStderr, exeFolder));
  view.SetController(&dlg);

  std::thread signalThread([&] {
    for (;;) {
      int s = 0;
      if (sigwait(&signals, &s) != 0 || s == kQuitSignal) return;
      if (s == SIGHUP) {
        loop.Post([&] {
          dlg.ReloadSettings();
          PrintServing(dlg);
        });
      } else {
        loop.Post([&] { dlg.OnClose(); });
      }
    }
  });

  dlg.OnInitDialog();
  if (!dlg.Closed()) PrintServing(dlg);
  const int code = loop.Run();
  dlg.OnClose();  // a no-op after a close; makes sure nothing runs on when the loop ends
  pthread_kill(signalThread.native_handle(), kQuitSignal);
  signalThread.join();
  return code;
}

}  // namespace orbiscope
