#pragma once
// The look the settings pages share: the program's palette, one style sheet, the pictures
// of the resource library with magenta made transparent, small painted glyphs, the field
// that shows a value and opens a menu, and the menus themselves.

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>
#include <QString>

class QGridLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QVBoxLayout;
class QWidget;

namespace orbiscope {

class ResourceLibrary;

namespace look {

// The palette of the program's web pages, so the window and the pages read as one product.
inline const QColor kInk{0x1d, 0x27, 0x33};
inline const QColor kMuted{0x5b, 0x68, 0x78};
inline const QColor kAccent{0x1f, 0x6f, 0xeb};
inline const QColor kBad{0xb4, 0x23, 0x18};
inline const QColor kPanel{0xff, 0xff, 0xff};
inline const QColor kPage{0xee, 0xf1, 0xf5};
inline const QColor kDark{0x0d, 0x11, 0x17};
inline const QColor kLine{0xc4, 0xcc, 0xd6};  // borders of fields, as on the web pages

// Every page widget is this size: the window places it below its three page selectors.
inline constexpr int kPageWidth = 368;
inline constexpr int kPageHeight = 288;

// The style sheet of a page and the dialogs it opens.
QString StyleSheet();
// The dialogs' face (string 165) at the pages' size.
QFont PageFont(const ResourceLibrary& resources);
// A picture of the library with magenta (255, 0, 255) transparent; null when missing or
// unreadable, which leaves its control blank.
QPixmap Picture(const ResourceLibrary& resources, int id);
// Text of a string of the library.
QString Text(const ResourceLibrary& resources, int id);

enum class Glyph { Chevron, Folder, Sliders, Up, Down, Left, Right, Centre };
// A glyph drawn in colour, sharp at twice the screen's density.
QIcon GlyphIcon(Glyph glyph, const QColor& colour = kInk);

// The small muted caption above a field.
QLabel* FieldLabel(const QString& text, QWidget* parent);
// Puts a captioned field (a widget, or several in a row) into a grid cell.
void AddField(QGridLayout* grid, int row, int column, const QString& caption,
              std::initializer_list<QWidget*> widgets, int columnSpan = 1);
// A thin line across a grid row, between groups of fields.
void AddDivider(QGridLayout* grid, int row, int columnSpan);
// Shows text in an edit unless it shows it already, so the cursor stays where it is.
void ShowText(QLineEdit* edit, const std::string& text);

// What both pages share: the fixed size, the face, the style, the background (a picture,
// else the plain panel) and the Enter key, which applies the page and never reaches the
// window.
class PageBase : public QWidget {
public:
  PageBase(const ResourceLibrary& resources, int backgroundPicture, QWidget* parent);

protected:
  // Enter was pressed on the page, after the focus moved on.
  virtual void OnEnterKey() = 0;
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // A grid filling the page with its margins and spacings.
  QGridLayout* PageGrid();

  const ResourceLibrary& resources_;

private:
  QPixmap background_;
};

// A value the user changes through a menu: shows the value (its text()), elided to fit,
// and a chevron; a click runs the handler the page connects. Its size never follows the
// value, so a long device name cannot push the page's layout apart.
class MenuField : public QPushButton {
public:
  explicit MenuField(QWidget* parent);
  // The value shown; it is also the tip unless the field has a tip of its own.
  void SetValue(const QString& value);
  void SetTip(const QString& tip);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QString tip_;
};

// One entry of a pop-up menu.
struct MenuItem {
  QString text;
  int command = 0;
};

// Opens a menu of items below anchor, right-aligned to it, with the item whose command is
// checked ticked and an optional title (a caption that cannot be chosen) above the items. Choosing an item calls chosen with
// its command. The menu is modeless and deletes itself when it closes.
QMenu* PopUpMenu(QWidget* anchor, const QString& title, const std::vector<MenuItem>& items,
                 int checked, std::function<void(int command)> chosen);

}  // namespace look
}  // namespace orbiscope
