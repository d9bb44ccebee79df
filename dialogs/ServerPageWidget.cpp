#include "dialogs/ServerPageWidget.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace orbiscope {
namespace {

constexpr int kBackgroundPicture = 159;
// Strings of the page: captions, tips and the phone-pages states.
constexpr int kStrPort = 152;
constexpr int kStrAddress = 153;
constexpr int kStrContentFolder = 154;
constexpr int kStrPhonePages = 155;
constexpr int kStrUser = 156;
constexpr int kStrPassword = 157;
constexpr int kStrPhonePagesOn = 158;
constexpr int kStrPhonePagesOff = 159;
constexpr int kPortChars = 5;
constexpr int kCredentialChars = 128;
// Pictures 206 and 207 are a pill of this size; the row keeps its height when one is missing.
constexpr QSize kStateSize{150, 24};

QLineEdit* Edit(QWidget* parent, const char* name, int maxLength) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(maxLength);
  return edit;
}

}  // namespace

ServerPageWidget::ServerPageWidget(CDlgOpcionServer& page, const ResourceLibrary& resources,
                                   QWidget* parent)
    : PageBase(resources, kBackgroundPicture, parent),
      page_(page),
      pickers_(SystemPickers()),
      stopped_(look::Picture(resources, CDlgOpcionServer::kStatePictureStopped)),
      running_(look::Picture(resources, CDlgOpcionServer::kStatePictureRunning)) {
  using look::Text;
  address_ = new look::MenuField(this);
  address_->setObjectName("address");
  port_ = Edit(this, "port", kPortChars);
  phonePages_ = new look::MenuField(this);
  phonePages_->setObjectName("phonePages");
  folder_ = new QLineEdit(this);
  folder_->setObjectName("folder");
  folderButton_ = new QToolButton(this);
  folderButton_->setObjectName("chooseFolder");
  folderButton_->setIcon(look::GlyphIcon(look::Glyph::Folder));
  folderButton_->setToolTip(Text(resources, res::kStrFolderPicker));
  user_ = Edit(this, "user", kCredentialChars);
  password_ = Edit(this, "password", kCredentialChars);
  password_->setEchoMode(QLineEdit::Password);
  password_->installEventFilter(this);
  state_ = new QLabel(this);
  state_->setObjectName("state");
  state_->setFixedSize(kStateSize);

  address_->SetTip(Text(resources, kStrAddress));
  phonePages_->SetTip(Text(resources, kStrPhonePages));
  QGridLayout* grid = PageGrid();
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(1, 1);
  look::AddField(grid, 0, 0, Text(resources, kStrAddress), {address_});
  look::AddField(grid, 0, 1, Text(resources, kStrPort), {port_});
  look::AddField(grid, 1, 0, Text(resources, kStrPhonePages), {phonePages_});
  look::AddDivider(grid, 2, 2);
  look::AddField(grid, 3, 0, Text(resources, kStrContentFolder), {folder_, folderButton_}, 2);
  look::AddField(grid, 4, 0, Text(resources, kStrUser), {user_});
  look::AddField(grid, 4, 1, Text(resources, kStrPassword), {password_});
  grid->setRowStretch(5, 1);
  grid->addWidget(state_, 6, 0, Qt::AlignLeft | Qt::AlignBottom);

  connect(address_, &QPushButton::clicked, this, &ServerPageWidget::OpenAddressMenu);
  connect(phonePages_, &QPushButton::clicked, this, &ServerPageWidget::OpenPhonePagesMenu);
  connect(folderButton_, &QToolButton::clicked, this, &ServerPageWidget::ChooseFolder);
  // Every edit the user makes reaches the page as the edit's change notice would; the
  // program's own updates (Refresh) do not, so the page's guards see what they expect.
  connect(port_, &QLineEdit::textEdited, this, [this](const QString& t) { page_.SetPortText(t.toStdString()); });
  connect(user_, &QLineEdit::textEdited, this, [this](const QString& t) { page_.SetUserText(t.toStdString()); });
  connect(password_, &QLineEdit::textEdited, this,
          [this](const QString& t) { page_.SetPasswordText(t.toStdString()); });
  connect(folder_, &QLineEdit::textEdited, this,
          [this](const QString& t) { page_.SetVirtualDirectoryText(t.toStdString()); });
  Refresh();
}

ServerPageWidget::~ServerPageWidget() = default;

void ServerPageWidget::Refresh() {
  address_->SetValue(QString::fromStdString(page_.SelectedAddress()));
  address_->setEnabled(!page_.Addresses().empty());
  look::ShowText(port_, page_.PortText());
  phonePages_->SetValue(QString::fromStdString(page_.PhonePagesText()));
  look::ShowText(folder_, page_.VirtualDirectoryText());
  look::ShowText(user_, page_.UserText());
  look::ShowText(password_, page_.PasswordText());
  const bool running = page_.StatePicture() == CDlgOpcionServer::kStatePictureRunning;
  state_->setPixmap(running ? running_ : stopped_);
}

void ServerPageWidget::OnEnterKey() {
  page_.OnEnter();
  Refresh();
}

bool ServerPageWidget::eventFilter(QObject* watched, QEvent* event) {
  // The password edit shows the stored digest. A click would put the cursor after it, and
  // what the user then types would be stored as digest plus password; so while the digest
  // is untouched a click selects it all, and typing replaces it.
  const auto type = event->type();
  if (watched == password_ && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) &&
      !page_.PasswordEdited() && !password_->text().isEmpty()) {
    password_->setFocus(Qt::MouseFocusReason);
    password_->selectAll();
    return true;
  }
  return PageBase::eventFilter(watched, event);
}

void ServerPageWidget::OpenAddressMenu() {
  std::vector<look::MenuItem> items;
  const auto& addresses = page_.Addresses();
  for (std::size_t i = 0; i < addresses.size(); ++i)
    items.push_back({QString::fromStdString(addresses[i]), static_cast<int>(i)});
  look::PopUpMenu(address_, {}, items, page_.SelectedIndex(),
                  [this](int index) { Run(ServerCommand::kAddress, index); });
}

void ServerPageWidget::OpenPhonePagesMenu() {
  const std::vector<look::MenuItem> items{
      {look::Text(resources_, kStrPhonePagesOn), static_cast<int>(ServerCommand::kPhonePagesOn)},
      {look::Text(resources_, kStrPhonePagesOff), static_cast<int>(ServerCommand::kPhonePagesOff)}};
  const ServerCommand checked = page_.PhonePages() ? ServerCommand::kPhonePagesOn : ServerCommand::kPhonePagesOff;
  look::PopUpMenu(phonePages_, {}, items, static_cast<int>(checked),
                  [this](int command) { Run(static_cast<ServerCommand>(command)); });
}

void ServerPageWidget::ChooseFolder() {
  const QString folder = pickers_->ChooseFolder(this, look::Text(resources_, res::kStrFolderPicker),
                                                QString::fromStdString(page_.VirtualDirectory()));
  if (folder.isEmpty()) return;
  page_.OnFolderChosen(folder.toStdString());
  Refresh();
}

void ServerPageWidget::Run(ServerCommand command, int item) {
  page_.OnCommand(command, item);
  Refresh();
}

}  // namespace orbiscope
