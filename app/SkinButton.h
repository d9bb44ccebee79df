#pragma once
// A push button drawn by pictures of the resource library: one while pointed at, one
// while disabled, one otherwise, each at the button's own rectangle.

#include <QAbstractButton>

namespace orbiscope {

class Skin;

class SkinButton final : public QAbstractButton {
  Q_OBJECT
public:
  SkinButton(const Skin& skin, int id, const QRect& rect, QWidget* parent);

  // Picture numbers; 0 leaves that state blank. A disabled picture of 0 shows normal.
  void SetPictures(int normal, int pointedAt, int disabled = 0);
  void SetDisabledPicture(int disabled);
  // The number of the picture drawn now.
  int ShownPicture() const;
  // The control identifier of the window's layout.
  int Id() const { return id_; }

  QSize sizeHint() const override { return size(); }

protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

private:
  const Skin& skin_;
  int id_;
  int normal_ = 0;
  int pointedAt_ = 0;
  int disabled_ = 0;
  bool pointed_ = false;
};

}  // namespace orbiscope
