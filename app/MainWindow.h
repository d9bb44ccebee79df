#pragma once
// The desktop window over the main controller: a frameless window painted by its
// background picture, with the camera on the left and the settings pages in a panel that
// folds away to the right, an icon in the notification area while minimised, and the
// splash at start-up. Every decision stays in the controller; this is its view.

#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "app/ControllerView.h"
#include "app/OrbiscopeDlg.h"
#include "app/Skin.h"

namespace orbiscope {

class CDlgVistaPrevia;
class ClipPlayer;
class ServerPageWidget;
class SkinButton;
class VideoArea;
class VideoPageWidget;

// The widths the window takes while the panel slides: unfolding from 0.4 x the background's
// width (rounded down) in 10-pixel steps up to the largest not above the full width;
// folding from the full width down in 10-pixel steps while at least the folded width, then
// the folded width itself.
std::vector<int> PanelWidths(int backgroundWidth, bool unfold);
// 0.4 x the background's width, rounded down.
constexpr int FoldedWidth(int backgroundWidth) { return backgroundWidth * 2 / 5; }

class MainWindow final : public QWidget, public ControllerView {
  Q_OBJECT
public:
  // Control identifiers of the window's layout.
  enum Control {
    kVideoArea = 1000,
    kPlay = 1003,
    kPanel = 1004,
    kVideoSelector = 1018,
    kServerSelector = 1019,
    kInfoSelector = 1020,
    kPause = 1042,
    kStop = 1043,
    kMinimise = 1090,
    kClose = 1091,
  };
  enum class Page { Video = 0, Server = 1, Information = 2 };
  // Commands of the notification menu (menu 130) and the window menu; the numbers are the
  // ones the menu resource gives its lines.
  enum class Command {
    About = 16,
    Exit = 32771,
    Play = 32775,
    Restore = 32777,
    Stop = 40004,
    Pause = 40006,
  };
  // Where the pages sit in the unfolded part.
  static constexpr QRect kPageArea{262, 84, 368, 288};
  // Milliseconds between two widths of the sliding panel.
  static constexpr int kSlideStepMs = 8;

  explicit MainWindow(const ResourceLibrary& resources, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The controller this window shows; set before its OnInitDialog.
  void SetController(COrbiscopeDlg* dlg) { dlg_ = dlg; }
  // Queues work to this window's thread from any thread. Work that arrives during the Play
  // command's pause runs after that command, in order, as it would behind a blocked thread.
  UiPoster Poster();
  // Puts the page widgets over the controller's pages, once its initialisation is done.
  void AttachPages();

  // ControllerView
  void AddAboutItem(const std::string& text) override;
  void ShowSplash() override;
  void LayOut(int x, int y) override;
  std::pair<int, int> WindowPosition() const override;
  bool CreateInformationPage() override;
  void ShowServerPage() override { openServerPage_ = true; }
  void SetWindowIcon(bool running) override;
  void SetTrayLook(bool running) override;
  void SetStatusText(const std::string& text) override;
  void ShowVideoArea(bool shown) override;
  void PlayClip(int clipId) override;
  void SetButtons(bool play, bool pause, bool stop) override;
  void Repaint() override;
  void Wait(std::chrono::milliseconds duration) override;
  FramePreview* Preview() override;
  CaptureError ShowDeviceControls(DeviceControls& controls) override;
  void PostClose() override;
  void EndDialog() override;

  // The panel button: folds or unfolds, always the opposite of now.
  void TogglePanel();
  bool PanelExpanded() const { return expanded_; }
  bool PanelSliding() const { return slide_.isActive(); }
  void SelectPage(Page page);
  // The page shown in the panel; nullptr while none is.
  QWidget* ShownPage() const;
  // A click on the video area: a new snapshot preview replaces the old one.
  void OpenPreview();
  // Minimise: into the notification area where there is one, else an ordinary minimise.
  void Minimise();
  // Back from the notification area; the menu's Restore also unfolds the panel.
  void Restore(bool unfold);
  bool InTray() const { return inTray_; }
  // A command of the notification menu or the window menu.
  void OnMenuCommand(Command command);

  // What the window shows, for tests and the screenshot script.
  SkinButton* Button(int id) const;
  QMenu* TrayMenu() const { return trayMenu_; }
  CDlgVistaPrevia* PreviewWindow() const { return preview_.get(); }
  VideoArea* Video() const { return video_; }
  ClipPlayer* Clip() const { return clip_; }
  QString StatusText() const { return status_; }
  QWidget* PageWidget(Page page) const { return pages_[static_cast<int>(page)]; }
  const Skin& Pictures() const { return skin_; }

signals:
  // The controller's dialog ended: the front-end leaves its event loop.
  void ended();
  // The panel finished sliding.
  void panelSettled();

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

private:
  SkinButton* AddButton(int id, const QRect& rect, int normal, int pointedAt, int disabled, int tipId);
  void BuildTrayMenu();
  void StartSlide(bool unfold);
  void ShowAbout();
  void RefreshPages();
  QString WebAddress() const;
  void Deliver(std::function<void()> work);

  Skin skin_;
  COrbiscopeDlg* dlg_ = nullptr;
  QSize background_;

  std::map<int, SkinButton*> buttons_;
  VideoArea* video_ = nullptr;
  ClipPlayer* clip_ = nullptr;
  std::array<QWidget*, 3> pages_{};
  ServerPageWidget* serverPage_ = nullptr;
  VideoPageWidget* videoPage_ = nullptr;
  std::unique_ptr<CDlgVistaPrevia> preview_;

  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QMenu* windowMenu_ = nullptr;
  std::map<Command, QAction*> trayActions_;
  QString aboutText_;

  QString status_;
  bool expanded_ = false;
  bool openServerPage_ = false;  // unfold on the server page once it is attached
  bool inTray_ = false;
  bool waiting_ = false;       // inside the Play command's pause
  bool closePending_ = false;  // a close asked for during that pause
  std::vector<std::function<void()>> deferred_;  // work queued during that pause
  bool ended_ = false;
  QTimer slide_;
  std::vector<int> slideWidths_;
  std::size_t slideStep_ = 0;
  QPoint dragOffset_;
  bool dragging_ = false;
};

}  // namespace orbiscope
