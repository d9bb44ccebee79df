#include "dialogs/PageLook.h"

#include <QActionGroup>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>
#include <QTransform>
#include <QWidgetAction>

#include "resources/ResourceLibrary.h"

namespace orbiscope::look {
namespace {

constexpr int kPagePointSize = 9;
constexpr int kGlyphSize = 16;         // device-independent pixels
constexpr qreal kGlyphDensity = 2.0;   // drawn at twice the size so it stays sharp when scaled
constexpr int kChevronRoom = 22;       // pixels kept free at a menu field's right for its chevron
constexpr int kFieldPadding = 8;
constexpr int kMenuFieldMinWidth = 60;
constexpr int kPageMargin = 16;
constexpr int kColumnGap = 12;
constexpr int kRowGap = 14;
constexpr int kCaptionGap = 4;         // between a field's caption and the field, and within a row

// A V centred in the 16 x 16 box, pointing down, turned by degrees clockwise.
QPainterPath Vee(qreal halfWidth, qreal halfDepth, qreal degrees) {
  QPainterPath p;
  p.moveTo(8 - halfWidth, 8 - halfDepth);
  p.lineTo(8, 8 + halfDepth);
  p.lineTo(8 + halfWidth, 8 - halfDepth);
  return QTransform().translate(8, 8).rotate(degrees).translate(-8, -8).map(p);
}

// A path in a 16 x 16 box.
QPainterPath GlyphPath(Glyph glyph) {
  QPainterPath p;
  switch (glyph) {
    case Glyph::Chevron: return Vee(4, 2, 0);
    case Glyph::Down: return Vee(4.5, 2.5, 0);
    case Glyph::Left: return Vee(4.5, 2.5, 90);
    case Glyph::Up: return Vee(4.5, 2.5, 180);
    case Glyph::Right: return Vee(4.5, 2.5, 270);
    case Glyph::Centre:
      p.addEllipse(QPointF(8, 8), 4.5, 4.5);
      p.addEllipse(QPointF(8, 8), 1.2, 1.2);
      break;
    case Glyph::Folder:
      p.moveTo(2, 4.5);
      p.lineTo(6.5, 4.5);
      p.lineTo(8, 6);
      p.lineTo(14, 6);
      p.lineTo(14, 12.5);
      p.lineTo(2, 12.5);
      p.closeSubpath();
      break;
    case Glyph::Sliders:
      for (int row = 0; row < 3; ++row) {
        const qreal y = 4 + row * 4;
        const qreal knob = row == 1 ? 10.5 : 5.5;
        p.moveTo(2, y);
        p.lineTo(knob - 1.6, y);
        p.moveTo(knob + 1.6, y);
        p.lineTo(14, y);
        p.addEllipse(QPointF(knob, y), 1.6, 1.6);
      }
      break;
  }
  return p;
}

}  // namespace

QString StyleSheet() {
  // Colours come from the palette above; sizes follow the web pages' fields and buttons.
  return QStringLiteral(R"(
QLabel[field="true"] { color: %2; font-size: 8pt; }
QFrame[divider="true"] { background: #e3e8ee; border: none; }
QToolButton[pad="true"] { padding: 0; min-height: 0; }
QCheckBox::indicator { width: 16px; height: 16px; }
QLineEdit {
  background: %4; color: %1; border: 1px solid %6; border-radius: 5px;
  padding: 2px 6px; min-height: 20px; selection-background-color: %3;
}
QLineEdit:focus { border: 1px solid %3; }
QPushButton, QToolButton {
  background: %4; color: %1; border: 1px solid %6; border-radius: 5px;
  padding: 2px %7px; min-height: 20px;
}
QPushButton:hover, QToolButton:hover { border-color: %3; background: #f4f8ff; }
QPushButton:pressed, QToolButton:pressed { background: #dce8fd; }
QPushButton:focus, QToolButton:focus { border-color: %3; }
QPushButton:disabled, QToolButton:disabled { color: #a3adb9; background: %5; border-color: #d5dbe2; }
QPushButton[primary="true"] { background: %3; color: white; border-color: %3; }
QPushButton[primary="true"]:hover { background: #3b82f0; }
QMenu { background: %4; color: %1; border: 1px solid %6; padding: 4px 0; }
QMenu::item { padding: 5px 22px 5px 26px; }
QMenu::item:selected { background: #e5efff; color: %1; }
QMenu::separator { height: 1px; background: #e3e8ee; margin: 4px 8px; }
QLabel[menuTitle="true"] { color: %2; font-size: 8pt; font-weight: bold; padding: 5px 12px 3px 12px; }
QMenu::indicator { width: 14px; height: 14px; left: 7px; }
QSlider::groove:horizontal { height: 4px; background: #dde3ea; border-radius: 2px; }
QSlider::sub-page:horizontal { background: %3; border-radius: 2px; }
QSlider::handle:horizontal {
  width: 14px; margin: -6px 0; border-radius: 7px; background: %4; border: 1px solid %6;
}
QSlider::handle:horizontal:hover { border-color: %3; }
QComboBox {
  background: %4; color: %1; border: 1px solid %6; border-radius: 5px; padding: 2px 8px;
  min-height: 20px;
}
QComboBox:focus { border-color: %3; }
QComboBox::drop-down { border: none; width: 22px; }
QComboBox QAbstractItemView { background: %4; border: 1px solid %6; selection-background-color: #e5efff; selection-color: %1; }
QCheckBox { color: %1; spacing: 8px; }
QScrollArea { background: transparent; border: none; }
QToolTip { background: %8; color: white; border: 0; padding: 4px 6px; }
)")
      .arg(kInk.name(), kMuted.name(), kAccent.name(), kPanel.name(), kPage.name(), kLine.name())
      .arg(kFieldPadding)
      .arg(kDark.name());
}

QFont PageFont(const ResourceLibrary& resources) {
  QFont font;
  if (const QString face = Text(resources, res::kStrSplashFont); !face.isEmpty()) font.setFamily(face);
  font.setPointSize(kPagePointSize);
  return font;
}

QPixmap Picture(const ResourceLibrary& resources, int id) {
  const auto bytes = resources.Picture(id);
  if (bytes.empty()) return {};
  QImage image = QImage::fromData(bytes.data(), static_cast<int>(bytes.size()));
  if (image.isNull()) return {};
  image = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb magenta = qRgb(255, 0, 255);
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((row[x] | 0xFF000000u) == magenta) row[x] = 0;
  }
  return QPixmap::fromImage(image);
}

QString Text(const ResourceLibrary& resources, int id) {
  return QString::fromStdString(resources.String(id));
}

QIcon GlyphIcon(Glyph glyph, const QColor& colour) {
  QPixmap pixmap(QSize(kGlyphSize, kGlyphSize) * kGlyphDensity);
  pixmap.fill(Qt::transparent);
  pixmap.setDevicePixelRatio(kGlyphDensity);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(glyph == Glyph::Folder ? QColor(colour.red(), colour.green(), colour.blue(), 40)
                                          : QColor(Qt::transparent));
  painter.drawPath(GlyphPath(glyph));
  painter.end();
  return QIcon(pixmap);
}

QLabel* FieldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setProperty("field", true);
  return label;
}

void AddField(QGridLayout* grid, int row, int column, const QString& caption,
              std::initializer_list<QWidget*> widgets, int columnSpan) {
  auto* cell = new QVBoxLayout;
  cell->setSpacing(kCaptionGap);
  cell->addWidget(FieldLabel(caption, grid->parentWidget()));
  auto* line = new QHBoxLayout;
  line->setSpacing(kCaptionGap);
  for (QWidget* w : widgets) line->addWidget(w, w->sizePolicy().horizontalStretch());
  cell->addLayout(line);
  grid->addLayout(cell, row, column, 1, columnSpan);
}

void AddDivider(QGridLayout* grid, int row, int columnSpan) {
  auto* line = new QFrame(grid->parentWidget());
  line->setProperty("divider", true);
  line->setFixedHeight(1);
  grid->addWidget(line, row, 0, 1, columnSpan);
}

void ShowText(QLineEdit* edit, const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (edit->text() == value) return;
  edit->setText(value);
  // A long value (a folder, the 32 masked digits of the digest) reads best from its start.
  if (!edit->hasFocus()) edit->setCursorPosition(0);
}

PageBase::PageBase(const ResourceLibrary& resources, int backgroundPicture, QWidget* parent)
    : QWidget(parent), resources_(resources) {
  setFixedSize(kPageWidth, kPageHeight);
  setFont(PageFont(resources));
  setStyleSheet(StyleSheet());
  if (backgroundPicture != 0) background_ = Picture(resources, backgroundPicture);
}

void PageBase::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!background_.isNull()) painter.drawPixmap(0, 0, background_);
  else painter.fillRect(rect(), kPanel);
}

void PageBase::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
    QWidget::keyPressEvent(event);
    return;
  }
  event->accept();
  focusNextChild();
  OnEnterKey();
}

QGridLayout* PageBase::PageGrid() {
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(kPageMargin, kPageMargin - 2, kPageMargin, kPageMargin);
  grid->setHorizontalSpacing(kColumnGap);
  grid->setVerticalSpacing(kRowGap);
  return grid;
}

MenuField::MenuField(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  setCursor(Qt::PointingHandCursor);
}

void MenuField::SetValue(const QString& value) {
  setText(value);
  setToolTip(tip_.isEmpty() ? value : tip_);
}

void MenuField::SetTip(const QString& tip) {
  tip_ = tip;
  setToolTip(tip_.isEmpty() ? text() : tip_);
}

QSize MenuField::sizeHint() const {
  return {kMenuFieldMinWidth, QPushButton::sizeHint().height()};
}

void MenuField::paintEvent(QPaintEvent*) {
  // The frame comes from the style sheet; text and chevron are drawn here so that the
  // value is elided rather than widening the field.
  QPainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();
  style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
  const QRect text = rect().adjusted(kFieldPadding + 1, 0, -kChevronRoom, 0);
  painter.setPen(isEnabled() ? kInk : kMuted);
  painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                   fontMetrics().elidedText(QPushButton::text(), Qt::ElideRight, text.width()));
  const QRect chevron(width() - kChevronRoom + 2, (height() - kGlyphSize) / 2, kGlyphSize, kGlyphSize);
  GlyphIcon(Glyph::Chevron, isEnabled() ? kMuted : kLine).paint(&painter, chevron);
}

QMenu* PopUpMenu(QWidget* anchor, const QString& title, const std::vector<MenuItem>& items,
                 int checked, std::function<void(int command)> chosen) {
  auto* menu = new QMenu(anchor);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  if (!title.isEmpty()) {
    // A section would lose its text in most styles; a caption reads as the menu's title.
    auto* caption = new QLabel(title, menu);
    caption->setProperty("menuTitle", true);
    auto* heading = new QWidgetAction(menu);
    heading->setDefaultWidget(caption);
    heading->setText(title);
    heading->setEnabled(false);
    menu->addAction(heading);
  }
  auto* group = new QActionGroup(menu);
  for (const MenuItem& item : items) {
    QAction* action = menu->addAction(item.text);
    action->setCheckable(true);
    action->setChecked(item.command == checked);
    action->setData(item.command);
    group->addAction(action);
  }
  QObject::connect(menu, &QMenu::triggered, menu,
                   [chosen = std::move(chosen)](QAction* action) { chosen(action->data().toInt()); });
  menu->ensurePolished();
  const QPoint corner = anchor->mapToGlobal(QPoint(anchor->width(), anchor->height() + 2));
  menu->popup(corner - QPoint(menu->sizeHint().width(), 0));
  return menu;
}

}  // namespace orbiscope::look
