#pragma once
// What the widget tests share: the resource library, a message sink that records, pickers
// that answer at once, and choosing an entry of the pop-up menu a click opened.

#include <string>
#include <vector>

#include <QApplication>
#include <QMenu>
#include <QTest>

#include "dialogs/PagePickers.h"
#include "config/MessageSink.h"
#include "resources/ResourceLibrary.h"

namespace orbiscope::testing {

inline bool LoadResources(ResourceLibrary& resources) {
  return resources.Load(std::string(ORBISCOPE_BIN_DIR) + "/Resource.so");
}

// Message boxes as "CAPTION|TEXT".
struct Boxes {
  MessageSink Sink() {
    return [this](std::string_view caption, std::string_view text) {
      shown.push_back(std::string(caption) + "|" + std::string(text));
    };
  }
  std::vector<std::string> shown;
};

// Answers the choosers with what the test put here; an empty folder or no font cancels.
struct FakePickers final : PagePickers {
  QString ChooseFolder(QWidget*, const QString& title, const QString& start) override {
    asked.push_back(title + "|" + start);
    return folder;
  }
  bool ChooseFont(QWidget*, QFont& f, QColor& c) override {
    shownFont = f;
    shownColour = c;
    if (!answer) return false;
    f = font;
    c = colour;
    return true;
  }
  QString folder;
  bool answer = false;
  QFont font;
  QColor colour;
  QFont shownFont;
  QColor shownColour;
  std::vector<QString> asked;
};

// The menu a click opened: its entries' texts, the checked one, and choosing one by text
// with the keyboard, as the user would.
struct OpenMenu {
  QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());

  QStringList Items() const {
    QStringList items;
    if (menu == nullptr) return items;
    for (QAction* a : menu->actions())
      if (a->isCheckable()) items << a->text();
    return items;
  }
  QString Checked() const {
    if (menu != nullptr)
      for (QAction* a : menu->actions())
        if (a->isChecked()) return a->text();
    return {};
  }
  QString Title() const {
    if (menu != nullptr)
      for (QAction* a : menu->actions())
        if (!a->isCheckable()) return a->text();
    return {};
  }
  bool Choose(const QString& text) {
    if (menu == nullptr) return false;
    for (QAction* a : menu->actions()) {
      if (a->text() != text) continue;
      menu->setActiveAction(a);
      QTest::keyClick(menu, Qt::Key_Return);
      return true;
    }
    menu->close();
    return false;
  }
};

}  // namespace orbiscope::testing
