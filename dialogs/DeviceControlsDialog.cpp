#include "dialogs/DeviceControlsDialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QStyle>
#include <QVBoxLayout>

#include "capture/CaptureStatus.h"
#include "dialogs/PageLook.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope {
namespace {

// A slider of a wide range (an exposure in microseconds) moves in coarser steps than the
// device's own, so that every position is still one the user can reach with the mouse.
constexpr std::int64_t kMaxSliderPositions = 1000;
constexpr int kNumberWidth = 44;
constexpr int kSliderWidth = 220;
constexpr int kMaxPanelHeight = 380;

// A list with the pages' chevron, which the style sheet's flat frame would otherwise lose.
class ChoiceBox : public QComboBox {
public:
  using QComboBox::QComboBox;

protected:
  void paintEvent(QPaintEvent* event) override {
    QComboBox::paintEvent(event);
    QPainter painter(this);
    const int size = 16;
    look::GlyphIcon(look::Glyph::Chevron, look::kMuted).paint(&painter, QRect(width() - size - 6, (height() - size) / 2, size, size));
  }
};

}  // namespace

DeviceControlsPanel::DeviceControlsPanel(DeviceControls& controls, QWidget* parent)
    : QWidget(parent), controls_(controls), list_(controls.Controls()) {
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(2, 2, 2, 2);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(10);
  grid->setColumnStretch(1, 1);
  rows_.resize(list_.size());
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const int row = static_cast<int>(i);
    QWidget* editor = MakeEditor(i);
    if (list_[i].kind == DeviceControl::Kind::Button) {
      grid->addWidget(editor, row, 1, Qt::AlignLeft);
      continue;
    }
    grid->addWidget(new QLabel(QString::fromStdString(list_[i].name), this), row, 0);
    grid->addWidget(editor, row, 1);
  }
  grid->setRowStretch(static_cast<int>(list_.size()), 1);
}

QWidget* DeviceControlsPanel::MakeEditor(std::size_t index) {
  const DeviceControl& c = list_[index];
  Row& row = rows_[index];
  const QString name = QString::fromStdString(c.name);
  switch (c.kind) {
    case DeviceControl::Kind::Boolean: {
      row.check = new QCheckBox(this);
      row.check->setObjectName(name);
      row.check->setChecked(c.value != 0);
      connect(row.check, &QCheckBox::toggled, this, [this, index](bool on) { Apply(index, on ? 1 : 0); });
      return row.check;
    }
    case DeviceControl::Kind::Menu: {
      row.menu = new ChoiceBox(this);
      row.menu->setObjectName(name);
      for (const auto& [value, text] : c.menu) row.menu->addItem(QString::fromStdString(text), value);
      row.menu->setCurrentIndex(row.menu->findData(c.value));
      connect(row.menu, &QComboBox::activated, this,
              [this, index](int i) { Apply(index, rows_[index].menu->itemData(i).toInt()); });
      return row.menu;
    }
    case DeviceControl::Kind::Button: {
      // An action: the device ignores the value written.
      auto* button = new QPushButton(name, this);
      button->setObjectName(name);
      button->setAutoDefault(false);
      connect(button, &QPushButton::clicked, this, [this, index] { Apply(index, 1); });
      return button;
    }
    case DeviceControl::Kind::Integer:
      break;
  }
  const std::int64_t span = std::max<std::int64_t>(0, std::int64_t{c.maximum} - c.minimum);
  const std::int64_t step = std::max<std::int64_t>(1, c.step);
  row.stride = step * std::max<std::int64_t>(1, (span / step + kMaxSliderPositions - 1) / kMaxSliderPositions);
  auto* editor = new QWidget(this);
  auto* line = new QHBoxLayout(editor);
  line->setContentsMargins(0, 0, 0, 0);
  row.slider = new QSlider(Qt::Horizontal, editor);
  row.slider->setMinimumWidth(kSliderWidth);
  row.slider->setObjectName(name);
  row.slider->setRange(0, static_cast<int>((span + row.stride - 1) / row.stride));
  row.number = new QLabel(editor);
  row.number->setFixedWidth(kNumberWidth);
  row.number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  line->addWidget(row.slider, 1);
  line->addWidget(row.number);
  Show(index, c.value);
  // Tracking is on, so the device follows the handle while it is dragged.
  connect(row.slider, &QSlider::valueChanged, this,
          [this, index](int position) { Apply(index, SliderValue(index, position)); });
  return editor;
}

std::int32_t DeviceControlsPanel::SliderValue(std::size_t index, int position) const {
  const DeviceControl& c = list_[index];
  const std::int64_t value = std::int64_t{c.minimum} + position * rows_[index].stride;
  return static_cast<std::int32_t>(std::min<std::int64_t>(value, c.maximum));
}

void DeviceControlsPanel::Apply(std::size_t index, std::int32_t value) {
  DeviceControl& c = list_[index];
  if (!Failed(controls_.SetControl(c.id, value))) {
    c.value = value;
    if (rows_[index].number != nullptr) rows_[index].number->setNum(value);
    return;
  }
  // Refused (out of range, or inactive while an automatic mode rules it): show the value
  // the device really holds rather than the one the user asked for.
  for (const DeviceControl& now : controls_.Controls())
    if (now.id == c.id) c.value = now.value;
  Show(index, c.value);
}

void DeviceControlsPanel::Show(std::size_t index, std::int32_t value) {
  const Row& row = rows_[index];
  const DeviceControl& c = list_[index];
  if (row.slider != nullptr) {
    const QSignalBlocker block(row.slider);
    row.slider->setValue(static_cast<int>((std::int64_t{value} - c.minimum + row.stride / 2) / row.stride));
    row.number->setNum(value);
  } else if (row.check != nullptr) {
    const QSignalBlocker block(row.check);
    row.check->setChecked(value != 0);
  } else if (row.menu != nullptr) {
    const QSignalBlocker block(row.menu);
    row.menu->setCurrentIndex(row.menu->findData(value));
  }
}

void DeviceControlsPanel::RestoreDefaults() {
  for (std::size_t i = 0; i < list_.size(); ++i) {
    if (list_[i].kind == DeviceControl::Kind::Button) continue;
    Apply(i, list_[i].defaultValue);
    Show(i, list_[i].value);
  }
}

CaptureError ShowDeviceControlsDialog(DeviceControls& controls, const ResourceLibrary& resources, QWidget* parent) {
  QDialog dialog(parent);
  dialog.setObjectName("deviceControls");
  dialog.setWindowTitle(look::Text(resources, res::kStrDeviceMenu));
  dialog.setFont(look::PageFont(resources));
  dialog.setStyleSheet(look::StyleSheet() + QStringLiteral("QDialog { background: %1; }").arg(look::kPanel.name()));
  auto* panel = new DeviceControlsPanel(controls, &dialog);
  if (panel->IsEmpty()) {
    delete panel;
    return CaptureError::kNotOffered;
  }
  // A camera may list a few dozen controls: they scroll, the buttons stay in view.
  auto* scroll = new QScrollArea(&dialog);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(panel);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->viewport()->setAutoFillBackground(false);
  panel->setAutoFillBackground(false);
  panel->ensurePolished();  // the style sheet's sizes, not the plain style's
  const QSize hint = panel->sizeHint();
  const bool scrolls = hint.height() > kMaxPanelHeight;
  scroll->setVerticalScrollBarPolicy(scrolls ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  const int bar = scrolls ? scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 6 : 0;
  scroll->setMinimumWidth(hint.width() + bar);
  scroll->setFixedHeight(std::min(kMaxPanelHeight, hint.height()));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::RestoreDefaults | QDialogButtonBox::Close, &dialog);
  for (QAbstractButton* b : buttons->buttons())
    if (auto* push = qobject_cast<QPushButton*>(b)) push->setAutoDefault(false);
  QPushButton* close = buttons->button(QDialogButtonBox::Close);
  close->setProperty("primary", true);
  close->style()->unpolish(close);  // the box polished it before it was marked
  close->style()->polish(close);
  QObject::connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, panel,
                   [panel] { panel->RestoreDefaults(); });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(14);
  layout->addWidget(scroll);
  layout->addWidget(buttons);
  dialog.exec();
  return CaptureError::kNone;
}

}  // namespace orbiscope
