#include "app/MainWindow.h"

#include <utility>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <QWindow>

#include "app/DlgVistaPrevia.h"
#include "app/OrbiscopeDlg.h"
#include "app/SkinButton.h"
#include "app/SplashScreenEx.h"
#include "app/VideoArea.h"
#include "dialogs/PageWidgets.h"

namespace orbiscope {
namespace {

// Pictures of the layout table.
constexpr int kPicPlay = 214, kPicPlayPointed = 143, kPicPlayDisabled = 215;
constexpr int kPicPause = 220, kPicPausePointed = 219, kPicPausedDisabled = 221;
constexpr int kPicStop = 217, kPicStopPointed = 216, kPicStopDisabled = 218;
constexpr int kPicFolded = 185, kPicFoldedPointed = 146, kPicUnfolded = 182, kPicUnfoldedPointed = 184;
constexpr int kPicServerLampOn = 176, kPicServerLampOff = 138;
constexpr int kPicCameraLampOn = 140, kPicCameraLampOff = 139;
constexpr int kPicInformation = 223;
constexpr int kPicHandCursor = 226;
constexpr QPoint kHandHotSpot{11, 2};
constexpr int kPicMinimise = 190, kPicMinimisePointed = 191, kPicClose = 192, kPicClosePointed = 193;

// Strings.
constexpr int kStrTipStop = 148, kStrTipPause = 149, kStrTipPlay = 150, kStrTipPanel = 151;
constexpr int kStrTipMinimise = 190, kStrTipClose = 191;
constexpr int kStrVersion = 192, kStrAboutText = 193;
constexpr int kStrMinimise = 196, kStrClose = 197, kStrNotServing = 199;

// Page selectors: the picture while its page is shown, then the normal and pointed-at pair.
struct Selector {
  int id;
  QRect rect;
  int shown, normal, pointedAt;
};
constexpr Selector kSelectors[] = {
    {MainWindow::kVideoSelector, QRect(406, 55, 77, 25), 169, 180, 168},
    {MainWindow::kServerSelector, QRect(328, 55, 78, 25), 164, 179, 165},
    {MainWindow::kInfoSelector, QRect(483, 55, 79, 25), 167, 178, 172},
};

constexpr int kTitleBand = 44;
constexpr QRect kMark{8, 6, 32, 32};  // the mark on the title band opens the window menu
constexpr QRect kAddressArea{26, 306, 198, 18};  // the web address, under its caption
const QColor kInk(0x1d, 0x27, 0x33), kMuted(0x5b, 0x68, 0x78), kAccent(0x1f, 0x6f, 0xeb);
const QColor kStatusInk(0xc9, 0xd3, 0xdf);

}  // namespace

std::vector<int> PanelWidths(int backgroundWidth, bool unfold) {
  std::vector<int> widths;
  const int folded = FoldedWidth(backgroundWidth);
  if (unfold) {
    for (int w = folded; w <= backgroundWidth; w += 10) widths.push_back(w);
  } else {
    for (int w = backgroundWidth; w >= folded; w -= 10) widths.push_back(w);
    widths.push_back(folded);
  }
  return widths;
}

MainWindow::MainWindow(const ResourceLibrary& resources, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), skin_(resources) {
  setWindowTitle(skin_.String(res::kStrAppTitle));
  background_ = skin_.Picture(res::kPicMainBackground).size();
  if (background_.isEmpty()) background_ = QSize(640, 400);  // a missing picture leaves the default background
  setFixedHeight(background_.height());
  setMinimumWidth(FoldedWidth(background_.width()));
  setMaximumWidth(background_.width());
  resize(FoldedWidth(background_.width()), background_.height());
  setFont(QFont(skin_.String(res::kStrSplashFont), 9));

  video_ = new VideoArea(QRect(35, 79, 180, 146), this);
  video_->setCursor(skin_.Cursor(kPicHandCursor, kHandHotSpot));
  connect(video_, &VideoArea::clicked, this, &MainWindow::OpenPreview);
  clip_ = new ClipPlayer(QRect(35, 79, 180, 148), this);

  AddButton(kPause, QRect(72, 229, 30, 30), kPicPause, kPicPausePointed, kPicPausePointed, kStrTipPause);
  AddButton(kPlay, QRect(107, 229, 38, 38), kPicPlay, kPicPlayPointed, kPicPlayDisabled, kStrTipPlay);
  AddButton(kStop, QRect(149, 229, 30, 30), kPicStop, kPicStopPointed, kPicStopDisabled, kStrTipStop);
  AddButton(kPanel, QRect(242, 307, 8, 72), kPicFolded, kPicFoldedPointed, 0, kStrTipPanel);
  for (const Selector& s : kSelectors) AddButton(s.id, s.rect, s.normal, s.pointedAt, 0, 0);
  AddButton(kMinimise, QRect(0, 11, 22, 22), kPicMinimise, kPicMinimisePointed, 0, kStrTipMinimise);
  AddButton(kClose, QRect(0, 11, 22, 22), kPicClose, kPicClosePointed, 0, kStrTipClose);

  connect(buttons_[kPlay], &QAbstractButton::clicked, this, [this] { if (dlg_) dlg_->OnPlay(); });
  connect(buttons_[kPause], &QAbstractButton::clicked, this, [this] { if (dlg_) dlg_->OnPause(false); });
  connect(buttons_[kStop], &QAbstractButton::clicked, this, [this] { if (dlg_) dlg_->OnStop(); });
  connect(buttons_[kPanel], &QAbstractButton::clicked, this, &MainWindow::TogglePanel);
  connect(buttons_[kVideoSelector], &QAbstractButton::clicked, this, [this] { SelectPage(Page::Video); });
  connect(buttons_[kServerSelector], &QAbstractButton::clicked, this, [this] { SelectPage(Page::Server); });
  connect(buttons_[kInfoSelector], &QAbstractButton::clicked, this, [this] { SelectPage(Page::Information); });
  connect(buttons_[kMinimise], &QAbstractButton::clicked, this, &MainWindow::Minimise);
  connect(buttons_[kClose], &QAbstractButton::clicked, this, &QWidget::close);

  windowMenu_ = new QMenu(this);
  connect(&slide_, &QTimer::timeout, this, [this] {
    resize(slideWidths_[slideStep_], height());
    if (++slideStep_ < slideWidths_.size()) return;
    slide_.stop();
    if (!expanded_) {
      for (QWidget* page : pages_)
        if (page) page->hide();
    }
    emit panelSettled();
  });
  slide_.setInterval(kSlideStepMs);
}

MainWindow::~MainWindow() = default;

SkinButton* MainWindow::AddButton(int id, const QRect& rect, int normal, int pointedAt, int disabled, int tipId) {
  auto* button = new SkinButton(skin_, id, rect, this);
  button->SetPictures(normal, pointedAt, disabled);
  if (tipId != 0) button->setToolTip(skin_.String(tipId));
  buttons_[id] = button;
  return button;
}

SkinButton* MainWindow::Button(int id) const {
  auto it = buttons_.find(id);
  return it == buttons_.end() ? nullptr : it->second;
}

void MainWindow::AddAboutItem(const std::string& text) {
  aboutText_ = QString::fromStdString(text);
  windowMenu_->clear();
  windowMenu_->addAction(aboutText_, this, [this] { OnMenuCommand(Command::About); });
  windowMenu_->addSeparator();
  windowMenu_->addAction(skin_.String(kStrMinimise), this, &MainWindow::Minimise);
  windowMenu_->addAction(skin_.String(kStrClose), this, &QWidget::close);
}

void MainWindow::ShowSplash() {
  CSplashScreenEx splash(skin_, SplashTimings::FromEnvironment(), this);
  splash.Run();
}

void MainWindow::LayOut(int x, int y) {
  BuildTrayMenu();
  move(x, y);  // a position off the screen is kept as it was saved
  resize(FoldedWidth(background_.width()), background_.height());
  video_->hide();
}

void MainWindow::BuildTrayMenu() {
  if (trayMenu_ != nullptr) return;
  trayMenu_ = new QMenu(this);
  // Menu 130: the items of its first sub-menu are the pop-up menu.
  const QString text = QString::fromUtf8(skin_.Resources().Menu(res::kMenuTray));
  int depth = 0;
  bool done = false;
  for (const QString& line : text.split('\n')) {
    if (done || line.isEmpty()) continue;
    if (line.startsWith('>')) {
      ++depth;
    } else if (line == "<") {
      done = --depth == 0;
    } else if (depth == 1 && line == "-") {
      trayMenu_->addSeparator();
    } else if (depth == 1) {
      const int tab = line.indexOf('\t');
      const auto command = static_cast<Command>(line.left(tab).toInt());
      QAction* action = trayMenu_->addAction(line.mid(tab + 1), this, [this, command] { OnMenuCommand(command); });
      trayActions_[command] = action;
      if (trayMenu_->defaultAction() == nullptr) trayMenu_->setDefaultAction(action);
    }
  }
  tray_ = new QSystemTrayIcon(skin_.Icon(res::kIconRunning), this);
  tray_->setToolTip(skin_.String(res::kStrAppTitle));
  tray_->setContextMenu(trayMenu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) Restore(false);
  });
  SetTrayLook(true);
}

std::pair<int, int> MainWindow::WindowPosition() const { return {pos().x(), pos().y()}; }

bool MainWindow::CreateInformationPage() {
  auto* page = new QLabel(this);
  page->setGeometry(kPageArea);
  page->setPixmap(skin_.Picture(kPicInformation));
  page->hide();
  pages_[static_cast<int>(Page::Information)] = page;
  return true;
}

void MainWindow::AttachPages() {
  if (dlg_ == nullptr) return;
  if (CDlgOpcionServer* page = dlg_->ServerPage(); page != nullptr && serverPage_ == nullptr) {
    serverPage_ = new ServerPageWidget(*page, skin_.Resources(), this);
    pages_[static_cast<int>(Page::Server)] = serverPage_;
  }
  if (CDlgOpcionVideo* page = dlg_->VideoPage(); page != nullptr && videoPage_ == nullptr) {
    videoPage_ = new VideoPageWidget(*page, skin_.Resources(), this);
    pages_[static_cast<int>(Page::Video)] = videoPage_;
  }
  for (QWidget* page : {static_cast<QWidget*>(serverPage_), static_cast<QWidget*>(videoPage_)}) {
    if (page == nullptr) continue;
    page->setGeometry(kPageArea);
    page->hide();
  }
  if (expanded_) SelectPage(Page::Server);
  if (std::exchange(openServerPage_, false) && serverPage_ != nullptr && !expanded_) StartSlide(true);
}

void MainWindow::SetWindowIcon(bool running) {
  setWindowIcon(skin_.Icon(running ? res::kIconRunning : res::kIconStopped));
}

void MainWindow::SetTrayLook(bool running) {
  if (tray_ != nullptr) tray_->setIcon(skin_.Icon(running ? res::kIconRunning : res::kIconStopped));
  if (auto it = trayActions_.find(Command::Play); it != trayActions_.end()) it->second->setEnabled(!running);
  for (Command command : {Command::Stop, Command::Pause})
    if (auto it = trayActions_.find(command); it != trayActions_.end()) it->second->setEnabled(running);
}

void MainWindow::SetStatusText(const std::string& text) {
  status_ = QString::fromStdString(text);
  update();
}

void MainWindow::ShowVideoArea(bool shown) { video_->setVisible(shown); }

void MainWindow::PlayClip(int clipId) {
  if (clipId == 0) {
    clip_->Stop();
    clip_->hide();
    return;
  }
  clip_->Play(clipId, skin_.ClipFrames(clipId, clip_->width()));
  clip_->show();
  clip_->raise();
}

void MainWindow::SetButtons(bool play, bool pause, bool stop) {
  buttons_[kPlay]->setEnabled(play);
  buttons_[kPause]->setEnabled(pause);
  buttons_[kStop]->setEnabled(stop);
  // A pause shows the paused picture on its button; a stop shows the pointed-at one.
  if (!pause) buttons_[kPause]->SetDisabledPicture(stop ? kPicPausedDisabled : kPicPausePointed);
}

void MainWindow::RefreshPages() {
  if (serverPage_ != nullptr) serverPage_->Refresh();
  if (videoPage_ != nullptr) videoPage_->Refresh();
}

void MainWindow::Repaint() {
  RefreshPages();
  update();
}

UiPoster MainWindow::Poster() {
  return [this](std::function<void()> work) {
    QMetaObject::invokeMethod(this, [this, work = std::move(work)]() mutable { Deliver(std::move(work)); },
                              Qt::QueuedConnection);
  };
}

void MainWindow::Deliver(std::function<void()> work) {
  if (waiting_) {
    deferred_.push_back(std::move(work));
  } else {
    work();
  }
}

void MainWindow::Wait(std::chrono::milliseconds duration) {
  // The controller's thread is blocked for the pause, as far as the controller can tell:
  // clicks and keys wait, and so does queued work; only the window's own timers run, so
  // the status animation keeps playing.
  waiting_ = true;
  QEventLoop loop;
  QTimer::singleShot(duration, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  waiting_ = false;
  // Queued again, so it runs once the command that paused has returned.
  std::vector<std::function<void()>> deferred;
  deferred.swap(deferred_);
  for (auto& work : deferred) QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
  if (closePending_) {
    closePending_ = false;
    PostClose();
  }
}

FramePreview* MainWindow::Preview() { return video_; }

CaptureError MainWindow::ShowDeviceControls(DeviceControls& controls) {
  return ShowDeviceControlsDialog(controls, skin_.Resources(), this);
}

void MainWindow::PostClose() {
  QMetaObject::invokeMethod(this, [this] { if (dlg_) dlg_->OnClose(); }, Qt::QueuedConnection);
}

void MainWindow::EndDialog() {
  ended_ = true;
  preview_.reset();
  if (tray_ != nullptr) tray_->hide();
  hide();
  emit ended();
}

void MainWindow::TogglePanel() { StartSlide(!expanded_); }

void MainWindow::StartSlide(bool unfold) {
  if (slide_.isActive()) {  // a click while sliding: settle at once, then turn back
    resize(slideWidths_.back(), height());
    slide_.stop();
  }
  expanded_ = unfold;
  buttons_[kPanel]->SetPictures(unfold ? kPicUnfolded : kPicFolded, unfold ? kPicUnfoldedPointed : kPicFoldedPointed);
  if (unfold) SelectPage(Page::Server);
  slideWidths_ = PanelWidths(background_.width(), unfold);
  slideStep_ = 0;
  slide_.start();
}

void MainWindow::SelectPage(Page page) {
  for (const Selector& s : kSelectors) {
    const bool chosen = s.id == kSelectors[static_cast<int>(page)].id;
    if (chosen) {
      buttons_[s.id]->SetPictures(s.shown, s.shown);
    } else {
      buttons_[s.id]->SetPictures(s.normal, s.pointedAt);
    }
  }
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i] != nullptr) pages_[i]->setVisible(i == static_cast<std::size_t>(page));
  }
}

QWidget* MainWindow::ShownPage() const {
  for (QWidget* page : pages_)
    if (page != nullptr && page->isVisible()) return page;
  return nullptr;
}

void MainWindow::OpenPreview() {
  if (dlg_ == nullptr) return;
  if (preview_) {
    preview_->showMinimized();
    preview_.reset();
  }
  preview_ = std::make_unique<CDlgVistaPrevia>(skin_, this);
  CaptureGraph& graph = dlg_->Graph();
  preview_->SetImage(graph.LatestImage(), graph.TurnedHeight(), graph.TurnedWidth());
  preview_->show();
  preview_->Redraw();
}

void MainWindow::Minimise() {
  if (tray_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_->show();
    if (tray_->isVisible()) {
      inTray_ = true;
      hide();
      return;
    }
  }
  // No notification area: an ordinary minimise, so the window never vanishes for good.
  showMinimized();
}

void MainWindow::Restore(bool unfold) {
  if (tray_ != nullptr) tray_->hide();
  inTray_ = false;
  showNormal();
  raise();
  activateWindow();
  if (unfold && !expanded_) TogglePanel();
}

void MainWindow::OnMenuCommand(Command command) {
  if (dlg_ == nullptr) return;
  switch (command) {
    case Command::About: ShowAbout(); break;
    case Command::Play: dlg_->OnPlay(); break;
    case Command::Stop: dlg_->OnStop(); break;
    case Command::Pause: dlg_->OnPause(true); break;
    case Command::Restore: Restore(true); break;
    case Command::Exit: dlg_->OnExit(); break;
    default: break;
  }
}

void MainWindow::ShowAbout() {
  // Template 100: the program's icon, name, version and what it does.
  QDialog about(this);
  about.setObjectName(QStringLiteral("about"));
  about.setWindowTitle(QString(aboutText_).remove('&').remove(QStringLiteral("...")));
  auto* icon = new QLabel(&about);
  icon->setPixmap(skin_.Icon(res::kIconRunning).pixmap(64, 64));
  auto* name = new QLabel(QStringLiteral("<b style='font-size:15pt'>Orbiscope</b><br>") +
                              skin_.String(kStrVersion).arg(QStringLiteral(ORBISCOPE_VERSION)),
                          &about);
  auto* text = new QLabel(skin_.String(kStrAboutText), &about);
  text->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
  connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
  auto* top = new QHBoxLayout;
  top->setSpacing(14);
  top->addWidget(icon);
  top->addWidget(name, 1);
  // The margins of the other dialogs (the device's settings), so the boxes read as a set.
  auto* layout = new QVBoxLayout(&about);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(14);
  layout->addLayout(top);
  layout->addWidget(text);
  layout->addWidget(buttons);
  about.setFixedWidth(340);
  about.exec();
}

QString MainWindow::WebAddress() const {
  if (dlg_ == nullptr || dlg_->ServerState() != ServerPhase::kRunning || dlg_->ServerPage() == nullptr)
    return {};
  const CDlgOpcionServer& page = *dlg_->ServerPage();
  const long port = AtoL(page.PortText());
  return QStringLiteral("http://%1%2/")
      .arg(QString::fromStdString(page.SelectedAddress()), port == 80 ? QString() : QStringLiteral(":%1").arg(port));
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPixmap& background = skin_.Picture(res::kPicMainBackground);
  if (background.isNull()) {
    painter.fillRect(rect(), palette().window());
  } else {
    painter.drawPixmap(0, 0, background);
  }
  const bool running = dlg_ != nullptr && dlg_->ServerState() == ServerPhase::kRunning;

  // The web address under the camera.
  const QString address = WebAddress();
  QFont font = this->font();
  font.setPointSizeF(9.5);
  font.setBold(!address.isEmpty());
  painter.setFont(font);
  painter.setPen(address.isEmpty() ? kMuted : kAccent);
  if (address.isEmpty()) {
    // Words, not an address: they wrap onto a second line rather than lose their end.
    painter.drawText(kAddressArea.adjusted(0, 2, 0, kAddressArea.height()), Qt::AlignLeft | Qt::TextWordWrap,
                     skin_.String(kStrNotServing));
  } else {
    painter.drawText(kAddressArea, Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(address, Qt::ElideRight, kAddressArea.width()));
  }

  // Status text and the two lamps on the status bar.
  font.setBold(false);
  font.setPointSizeF(8.5);
  painter.setFont(font);
  painter.setPen(kStatusInk);
  painter.drawText(QRect(5, height() - 16, 395, 32), Qt::AlignLeft | Qt::AlignTop, status_);
  painter.drawPixmap(width() - 18, height() - 14, skin_.Picture(running ? kPicServerLampOn : kPicServerLampOff));
  painter.drawPixmap(width() - 33, height() - 14, skin_.Picture(running ? kPicCameraLampOn : kPicCameraLampOff));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  // The title buttons stay at the right edge whatever the panel does.
  buttons_[kMinimise]->move(width() - 58, 11);
  buttons_[kClose]->move(width() - 32, 11);
  QWidget::resizeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (ended_ || dlg_ == nullptr || dlg_->Closed()) {
    event->accept();
    return;
  }
  event->ignore();
  if (waiting_) {
    closePending_ = true;  // OnClose runs once the Play command's pause is over
    return;
  }
  dlg_->OnClose();  // ends the dialog, which hides the window
}

void MainWindow::changeEvent(QEvent* event) {
  // A minimise from the window system (a key, a task bar) also goes to the notification area.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && !inTray_ && tray_ != nullptr &&
      QSystemTrayIcon::isSystemTrayAvailable()) {
    QMetaObject::invokeMethod(this, [this] {
      setWindowState(windowState() & ~Qt::WindowMinimized);
      Minimise();
    }, Qt::QueuedConnection);
  }
  QWidget::changeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      focusNextChild();  // Enter moves on; it never closes the window
      event->accept();
      return;
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (at.y() >= kTitleBand) return QWidget::mousePressEvent(event);
  if (event->button() == Qt::RightButton || (event->button() == Qt::LeftButton && kMark.contains(at))) {
    windowMenu_->popup(event->button() == Qt::RightButton ? event->globalPosition().toPoint()
                                                          : mapToGlobal(kMark.bottomLeft()));
    return;
  }
  if (event->button() == Qt::LeftButton) {
    // The title band moves the window: by the window system where it can, else by hand.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - pos();
  }
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move(event->globalPosition().toPoint() - dragOffset_);
}

void MainWindow::mouseReleaseEvent(QMouseEvent*) { dragging_ = false; }

}  // namespace orbiscope
