#pragma once
// The server page's view: address, port, content folder, camera user and password, phone
// pages and the server's state, over CDlgOpcionServer, which holds all of the page's logic.

#include <memory>

#include <QPixmap>

#include "dialogs/PageLook.h"
#include "dialogs/PagePickers.h"
#include "dialogs/ServerPage.h"

class QLabel;
class QLineEdit;
class QToolButton;

namespace orbiscope {

class ServerPageWidget : public look::PageBase {
public:
  // The widget is 368 x 288; page and resources must outlive it.
  ServerPageWidget(CDlgOpcionServer& page, const ResourceLibrary& resources, QWidget* parent = nullptr);
  ~ServerPageWidget() override;

  // Shows everything the page object holds now (after a restart, a load, a state change).
  void Refresh();
  // Replaces the system folder picker (tests).
  void SetPickers(std::unique_ptr<PagePickers> pickers) { pickers_ = std::move(pickers); }

protected:
  void OnEnterKey() override;
  // Keeps a click into the stored digest from typing after it.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void OpenAddressMenu();
  void OpenPhonePagesMenu();
  void ChooseFolder();
  void Run(ServerCommand command, int item = 0);

  CDlgOpcionServer& page_;
  std::unique_ptr<PagePickers> pickers_;
  QPixmap stopped_;
  QPixmap running_;

  look::MenuField* address_ = nullptr;
  QLineEdit* port_ = nullptr;
  look::MenuField* phonePages_ = nullptr;
  QLineEdit* folder_ = nullptr;
  QToolButton* folderButton_ = nullptr;
  QLineEdit* user_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLabel* state_ = nullptr;
};

}  // namespace orbiscope
