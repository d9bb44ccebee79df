#include "app/SplashScreenEx.h"

#include <QBitmap>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>

#include "app/Skin.h"
#include "resources/ResourceIds.h"

namespace orbiscope {
namespace {

constexpr int kSplashPicture = res::kPicSplash;
constexpr int kTexts[] = {164, 162, 163, 162};
constexpr int kMaxMs = 60000;

}  // namespace

bool SplashTimings::Parse(const char* text, SplashTimings& timings) {
  if (text == nullptr) return false;
  const QStringList parts = QString::fromLatin1(text).split(',');
  if (parts.size() != 4) return false;
  int values[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    values[i] = parts[i].trimmed().toInt(&ok);
    if (!ok || values[i] < 0 || values[i] > kMaxMs) return false;
  }
  timings = {values[0], values[1], values[2], values[3]};
  return true;
}

SplashTimings SplashTimings::FromEnvironment() {
  SplashTimings timings;
  const char* text = std::getenv(CSplashScreenEx::kTimingVariable);
  if (text != nullptr && !Parse(text, timings))
    std::fprintf(stderr, "orbiscope: %s=\"%s\" is not four numbers of milliseconds; the usual timing is used\n",
                 CSplashScreenEx::kTimingVariable, text);
  return timings;
}

void PumpEvents(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

CSplashScreenEx::CSplashScreenEx(const Skin& skin, SplashTimings timings, QWidget* owner)
    : QWidget(owner, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      skin_(skin),
      timings_(timings) {
  setWindowTitle(skin.String(res::kStrAppTitle));
  setAttribute(Qt::WA_TranslucentBackground);
  const QPixmap& picture = skin.Picture(kSplashPicture);
  if (!picture.isNull()) {
    resize(picture.size());
    // The window is exactly the picture's non-magenta pixels.
    setMask(picture.mask());
  } else {
    resize(kTextRect.right() + kTextRect.left(), kTextRect.bottom() + kTextRect.top());
  }
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());
}

void CSplashScreenEx::SetText(const QString& text) {
  text_ = text;
  ++textsShown_;
  repaint();
  emit textShown(text_);
}

void CSplashScreenEx::Fade(double from, double to, int ms) {
  if (ms <= 0) return;
  QVariantAnimation fade;
  fade.setStartValue(from);
  fade.setEndValue(to);
  fade.setDuration(ms);
  connect(&fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) { setWindowOpacity(v.toDouble()); });
  QEventLoop loop;
  connect(&fade, &QVariantAnimation::finished, &loop, &QEventLoop::quit);
  fade.start();
  loop.exec();
}

void CSplashScreenEx::Run() {
  setWindowOpacity(timings_.fadeInMs > 0 ? 0.0 : 1.0);
  show();
  raise();
  Fade(0.0, 1.0, timings_.fadeInMs);
  for (int id : kTexts) {
    PumpEvents(timings_.stepMs);
    SetText(skin_.String(id));
  }
  PumpEvents(timings_.holdMs);
  Fade(1.0, 0.0, timings_.fadeOutMs);
  hide();
}

void CSplashScreenEx::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPixmap& picture = skin_.Picture(kSplashPicture);
  if (picture.isNull()) {
    painter.fillRect(rect(), Qt::white);
  } else {
    painter.drawPixmap(0, 0, picture);
  }
  QFont font(skin_.String(res::kStrSplashFont));
  font.setPointSize(18);
  font.setWeight(QFont::Normal);
  painter.setFont(font);
  painter.setPen(QColor(0, 20, 10));
  // Centred on the text rectangle's centre; a line wider than the rectangle runs on into
  // the band's margins instead of being cut.
  const QRect band(20, kTextRect.top(), width() - 40, kTextRect.height());
  const QString line = painter.fontMetrics().elidedText(text_, Qt::ElideRight, band.width());
  painter.drawText(band.translated(kTextRect.center().x() - band.center().x(), 0),
                   Qt::AlignCenter | Qt::TextSingleLine, line);

  // A fifth of the track at once and a fifth more with each text, so the bar is full for
  // the last moment before the window appears, and never looks stuck.
  const int parts = static_cast<int>(std::size(kTexts)) + 1;
  QRect done = kProgressTrack;
  done.setWidth(kProgressTrack.width() * std::min(textsShown_ + 1, parts) / parts);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x6f, 0xeb));
  painter.drawRoundedRect(QRectF(done), kProgressTrack.height() / 2.0, kProgressTrack.height() / 2.0);
}

}  // namespace orbiscope
