#include "app/PageStandIns.h"

#include <QImage>
#include <QPainter>

#include "dialogs/ServerPage.h"
#include "dialogs/VideoPage.h"

namespace orbiscope {
namespace {

void PaintSummary(QWidget& page, const QString& title, const QStringList& lines, const QImage& background) {
  QPainter painter(&page);
  if (background.isNull()) {
    painter.fillRect(page.rect(), Qt::white);
  } else {
    painter.drawImage(0, 0, background);
  }
  painter.setPen(QColor(0x1d, 0x27, 0x33));
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  painter.drawText(16, 28, title);
  font.setBold(false);
  painter.setFont(font);
  int y = 52;
  for (const QString& line : lines) {
    painter.drawText(16, y, line);
    y += 20;
  }
}

}  // namespace

ServerPageWidget::ServerPageWidget(CDlgOpcionServer& page, const ResourceLibrary& resources, QWidget* parent)
    : QWidget(parent), page_(page), resources_(resources) {}

void ServerPageWidget::Refresh() { update(); }

void ServerPageWidget::paintEvent(QPaintEvent*) {
  QImage background;
  auto bytes = resources_.Picture(159);
  background.loadFromData(bytes.data(), static_cast<int>(bytes.size()));
  PaintSummary(*this, QStringLiteral("Web server"),
               {QStringLiteral("Address: ") + QString::fromStdString(page_.SelectedAddress()),
                QStringLiteral("Port: ") + QString::fromStdString(page_.PortText()),
                QStringLiteral("Content folder: ") + QString::fromStdString(page_.VirtualDirectoryText()),
                QStringLiteral("Camera user: ") + QString::fromStdString(page_.UserText())},
               background);
}

VideoPageWidget::VideoPageWidget(CDlgOpcionVideo& page, const ResourceLibrary&, QWidget* parent)
    : QWidget(parent), page_(page) {}

void VideoPageWidget::Refresh() { update(); }

void VideoPageWidget::paintEvent(QPaintEvent*) {
  PaintSummary(*this, QStringLiteral("Video"),
               {QStringLiteral("Device: ") + QString::fromStdString(page_.DeviceLabel()),
                QStringLiteral("Size: ") + QString::fromStdString(page_.SizeLabel()),
                QStringLiteral("Frame rate: ") + QString::fromStdString(page_.FrameRateText()),
                QStringLiteral("Caption: ") + QString::fromStdString(page_.CaptionText())},
               {});
}

int ShowDeviceControlsDialog(DeviceControls&, const ResourceLibrary&, QWidget*) { return -1; }

}  // namespace orbiscope
