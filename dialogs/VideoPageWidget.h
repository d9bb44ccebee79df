#pragma once
// The video page's view: device, frame size, frame rate, caption with its font, colour and
// position, and the time display, over CDlgOpcionVideo, which holds all of the page's logic.

#include <memory>

#include "dialogs/PageLook.h"
#include "dialogs/PagePickers.h"
#include "dialogs/VideoPage.h"

class QLineEdit;
class QToolButton;

namespace orbiscope {

class VideoPageWidget : public look::PageBase {
public:
  // The widget is 368 x 288; page and resources must outlive it.
  VideoPageWidget(CDlgOpcionVideo& page, const ResourceLibrary& resources, QWidget* parent = nullptr);
  ~VideoPageWidget() override;

  // Shows everything the page object holds now (after devices were listed, a restart...).
  void Refresh();
  // Replaces the system font and colour choosers (tests).
  void SetPickers(std::unique_ptr<PagePickers> pickers) { pickers_ = std::move(pickers); }

protected:
  void OnEnterKey() override;

private:
  class FontField;

  QWidget* MakeArrowPad();
  void OpenMenu(look::MenuField* field, int titleId, const std::vector<std::string>& names,
                VideoCommand command, int checkedIndex);
  void OpenTimeMenu();
  void OpenTurnMenu();
  void OpenMirrorMenu();
  void ChooseFont();
  void Run(VideoCommand command, int item);

  CDlgOpcionVideo& page_;
  std::unique_ptr<PagePickers> pickers_;

  look::MenuField* device_ = nullptr;
  QToolButton* deviceSettings_ = nullptr;
  look::MenuField* size_ = nullptr;
  QLineEdit* frameRate_ = nullptr;
  QLineEdit* caption_ = nullptr;
  look::MenuField* time_ = nullptr;
  look::MenuField* rotate_ = nullptr;
  look::MenuField* flip_ = nullptr;
  FontField* font_ = nullptr;
};

}  // namespace orbiscope
