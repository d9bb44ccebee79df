#include "dialogs/VideoPageWidget.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionButton>
#include <QToolButton>

namespace orbiscope {
namespace {

// Texts of the page's own layout, under the numbers the resource library gives them; the
// library's text is shown when it has one.
struct LayoutText {
  int id;
  const char* builtIn;
};
constexpr LayoutText kFrameRateCaption{135, "Frames per second"};
constexpr LayoutText kCaptionCaption{136, "Caption"};
constexpr LayoutText kFontCaption{137, "Font and colour"};
constexpr LayoutText kPositionCaption{138, "Position"};
constexpr LayoutText kDeviceSettingsTip{139, "Settings of the capture device"};
constexpr LayoutText kTurnCaption{140, "Turn"};
constexpr LayoutText kMirrorCaption{141, "Mirror"};

// The turn and mirror menus' choices, in command order, are strings of the library.
constexpr int kTurnChoices = 4;
constexpr int kMirrorChoices = 3;

QString LayoutString(const ResourceLibrary& resources, LayoutText text) {
  const QString s = look::Text(resources, text.id);
  return s.isEmpty() ? QString::fromUtf8(text.builtIn) : s;
}

constexpr int kFrameRateChars = 8;
constexpr int kPadButton = 26;        // pixels of one arrow button
constexpr int kPadIcon = 14;
constexpr int kPadGap = 2;
constexpr int kRepeatDelayMs = 350;   // holding an arrow moves the caption on after this
constexpr int kRepeatIntervalMs = 60;
constexpr int kSwatch = 12;           // the colour disc of the font field
constexpr int kSampleMaxPixels = 12;  // the face is shown at most this high in the field

// The items of a menu, each with its index as its command.
std::vector<look::MenuItem> MenuItems(const std::vector<std::string>& names) {
  std::vector<look::MenuItem> items;
  for (std::size_t i = 0; i < names.size(); ++i)
    items.push_back({QString::fromStdString(names[i]), static_cast<int>(i)});
  return items;
}

}  // namespace

// Shows the caption's face in its own style beside a disc of the caption's colour.
class VideoPageWidget::FontField : public QPushButton {
public:
  explicit FontField(QWidget* parent) : QPushButton(parent) {
    setAutoDefault(false);
    setCursor(Qt::PointingHandCursor);
  }
  void Show(const OverlayFont& font, std::uint32_t colour) {
    sample_ = ToQFont(font);
    sample_.setPixelSize(std::min(sample_.pixelSize(), kSampleMaxPixels));
    colour_ = ToQColor(colour);
    const QString face = sample_.family();
    setToolTip(QStringLiteral("%1, %2 px, #%3").arg(face).arg(std::abs(font.height)).arg(colour_.name().mid(1)));
    update();
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int left = 8;
    painter.setPen(QPen(look::kLine, 1));
    painter.setBrush(colour_);
    painter.drawEllipse(QRectF(left, (height() - kSwatch) / 2.0, kSwatch, kSwatch));
    painter.setFont(sample_);
    painter.setPen(look::kInk);
    const QRect text = rect().adjusted(left + kSwatch + 6, 0, -4, 0);
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                     QFontMetrics(sample_).elidedText(sample_.family(), Qt::ElideRight, text.width()));
  }

private:
  QFont sample_;
  QColor colour_;
};

VideoPageWidget::VideoPageWidget(CDlgOpcionVideo& page, const ResourceLibrary& resources,
                                 QWidget* parent)
    : PageBase(resources, 0, parent), page_(page), pickers_(SystemPickers()) {
  using look::Text;
  device_ = new look::MenuField(this);
  device_->setObjectName("device");
  deviceSettings_ = new QToolButton(this);
  deviceSettings_->setObjectName("deviceSettings");
  deviceSettings_->setIcon(look::GlyphIcon(look::Glyph::Sliders));
  deviceSettings_->setToolTip(LayoutString(resources, kDeviceSettingsTip));
  size_ = new look::MenuField(this);
  size_->setObjectName("size");
  frameRate_ = new QLineEdit(this);
  frameRate_->setObjectName("frameRate");
  frameRate_->setMaxLength(kFrameRateChars);
  caption_ = new QLineEdit(this);
  caption_->setObjectName("caption");
  caption_->setMaxLength(static_cast<int>(CDlgOpcionVideo::kMaxCaption));
  time_ = new look::MenuField(this);
  time_->setObjectName("time");
  font_ = new FontField(this);
  font_->setObjectName("font");
  rotate_ = new look::MenuField(this);
  rotate_->setObjectName("rotate");
  flip_ = new look::MenuField(this);
  flip_->setObjectName("flip");

  QGridLayout* grid = PageGrid();
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(1, 1);
  look::AddField(grid, 0, 0, Text(resources, res::kStrDeviceMenu), {device_, deviceSettings_}, 3);
  look::AddField(grid, 1, 0, Text(resources, res::kStrSizeMenu), {size_});
  look::AddField(grid, 1, 1, LayoutString(resources, kFrameRateCaption), {frameRate_});
  look::AddDivider(grid, 2, 3);
  look::AddField(grid, 3, 0, LayoutString(resources, kCaptionCaption), {caption_}, 2);
  look::AddField(grid, 4, 0, Text(resources, res::kStrTimeMenu), {time_});
  look::AddField(grid, 4, 1, LayoutString(resources, kFontCaption), {font_});
  QWidget* pad = MakeArrowPad();
  auto* padCell = new QVBoxLayout;
  padCell->setSpacing(4);
  padCell->addWidget(look::FieldLabel(LayoutString(resources, kPositionCaption), this), 0, Qt::AlignHCenter);
  padCell->addWidget(pad);
  padCell->addStretch();
  grid->addLayout(padCell, 3, 2, 2, 1);
  look::AddField(grid, 5, 0, LayoutString(resources, kTurnCaption), {rotate_});
  look::AddField(grid, 5, 1, LayoutString(resources, kMirrorCaption), {flip_});
  grid->setRowStretch(6, 1);

  connect(device_, &QPushButton::clicked, this, [this] {
    OpenMenu(device_, res::kStrDeviceMenu, page_.DeviceMenuItems(), VideoCommand::kDevice, page_.DeviceIndex());
  });
  connect(size_, &QPushButton::clicked, this, [this] {
    OpenMenu(size_, res::kStrSizeMenu, page_.ShownSizeNames(), VideoCommand::kSize, page_.SizeIndex());
  });
  connect(time_, &QPushButton::clicked, this, &VideoPageWidget::OpenTimeMenu);
  connect(rotate_, &QPushButton::clicked, this, &VideoPageWidget::OpenTurnMenu);
  connect(flip_, &QPushButton::clicked, this, &VideoPageWidget::OpenMirrorMenu);
  connect(deviceSettings_, &QToolButton::clicked, this, [this] {
    page_.OnPropertyPages();
    Refresh();
  });
  connect(font_, &QPushButton::clicked, this, &VideoPageWidget::ChooseFont);
  connect(frameRate_, &QLineEdit::textEdited, this,
          [this](const QString& t) { page_.SetFrameRateText(t.toStdString()); });
  connect(caption_, &QLineEdit::textEdited, this,
          [this](const QString& t) { page_.SetCaptionText(t.toStdString()); });
  Refresh();
}

VideoPageWidget::~VideoPageWidget() = default;

QWidget* VideoPageWidget::MakeArrowPad() {
  auto* pad = new QWidget(this);
  auto* grid = new QGridLayout(pad);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(kPadGap);
  struct Key {
    const char* name;
    look::Glyph glyph;
    int row, column;
    std::function<void()> step;
  };
  using Arrow = CDlgOpcionVideo::Arrow;
  const Key keys[] = {
      {"up", look::Glyph::Up, 0, 1, [this] { page_.OnArrow(Arrow::Up); }},
      {"left", look::Glyph::Left, 1, 0, [this] { page_.OnArrow(Arrow::Left); }},
      {"resetPosition", look::Glyph::Centre, 1, 1, [this] { page_.OnResetPosition(); }},
      {"right", look::Glyph::Right, 1, 2, [this] { page_.OnArrow(Arrow::Right); }},
      {"down", look::Glyph::Down, 2, 1, [this] { page_.OnArrow(Arrow::Down); }},
  };
  for (const Key& key : keys) {
    auto* button = new QToolButton(pad);
    button->setObjectName(key.name);
    button->setIcon(look::GlyphIcon(key.glyph, key.glyph == look::Glyph::Centre ? look::kAccent : look::kInk));
    button->setProperty("pad", true);
    button->setFixedSize(kPadButton, kPadButton);
    button->setIconSize(QSize(kPadIcon, kPadIcon));
    // Each click, and each repeat while an arrow is held, moves the caption one step.
    button->setAutoRepeat(key.glyph != look::Glyph::Centre);
    button->setAutoRepeatDelay(kRepeatDelayMs);
    button->setAutoRepeatInterval(kRepeatIntervalMs);
    connect(button, &QToolButton::clicked, this, key.step);
    grid->addWidget(button, key.row, key.column);
  }
  return pad;
}

void VideoPageWidget::Refresh() {
  device_->SetValue(QString::fromStdString(page_.DeviceLabel()));
  device_->setEnabled(!page_.DeviceNames().empty());
  deviceSettings_->setEnabled(page_.PropertyPagesAvailable());
  size_->SetValue(QString::fromStdString(page_.ShownSizeLabel()));
  size_->setEnabled(!page_.SizeNames().empty());
  look::ShowText(frameRate_, page_.FrameRateText());
  look::ShowText(caption_, page_.CaptionText());
  time_->SetValue(QString::fromStdString(page_.TimeLabel()));
  font_->Show(page_.Font(), page_.Colour());
  rotate_->SetValue(look::Text(resources_, res::kStrTurnUpright + page_.Turn().rotate / 90));
  flip_->SetValue(look::Text(resources_, res::kStrMirrorNone + static_cast<int>(page_.Turn().flip)));
}

void VideoPageWidget::OnEnterKey() {
  page_.OnEnter();
  Refresh();
}

void VideoPageWidget::OpenMenu(look::MenuField* field, int titleId, const std::vector<std::string>& names,
                               VideoCommand command, int checkedIndex) {
  look::PopUpMenu(field, look::Text(resources_, titleId), MenuItems(names), checkedIndex,
                  [this, command](int item) { Run(command, item); });
}

void VideoPageWidget::OpenTimeMenu() {
  std::vector<std::string> names;
  for (int mode = kTimeNone; mode <= kTimeLocale; ++mode) names.push_back(resources_.String(mode));
  OpenMenu(time_, res::kStrTimeMenu, names, VideoCommand::kTime, page_.TimeMode() - kTimeNone);
}

void VideoPageWidget::OpenTurnMenu() {
  std::vector<std::string> names;
  for (int i = 0; i < kTurnChoices; ++i) names.push_back(resources_.String(res::kStrTurnUpright + i));
  look::PopUpMenu(rotate_, LayoutString(resources_, kTurnCaption), MenuItems(names), page_.Turn().rotate / 90,
                  [this](int item) { Run(VideoCommand::kTurn, item); });
}

void VideoPageWidget::OpenMirrorMenu() {
  std::vector<std::string> names;
  for (int i = 0; i < kMirrorChoices; ++i) names.push_back(resources_.String(res::kStrMirrorNone + i));
  look::PopUpMenu(flip_, LayoutString(resources_, kMirrorCaption), MenuItems(names),
                  static_cast<int>(page_.Turn().flip), [this](int item) { Run(VideoCommand::kMirror, item); });
}

void VideoPageWidget::ChooseFont() {
  QFont font = ToQFont(page_.Font());
  QColor colour = ToQColor(page_.Colour());
  if (!pickers_->ChooseFont(this, font, colour)) return;
  page_.OnFontChosen(FromQFont(font, page_.Font()), FromQColor(colour));
  Refresh();
}

void VideoPageWidget::Run(VideoCommand command, int item) {
  page_.OnCommand(command, item);
  Refresh();
}

}  // namespace orbiscope
