#pragma once
// The main window's skinned controls: buttons with a normal, a hover and a selected look,
// round indicator lamps, drawn handset images, and the logo.

#include <QAbstractButton>
#include <QColor>
#include <QWidget>

namespace velnaro::ui {

class DSButton : public QAbstractButton {
  Q_OBJECT
 public:
  enum class Shape { Rounded, Circle, Handset };
  enum class Look { Normal, Hover, Selected };

  explicit DSButton(const QString& caption, QWidget* parent = nullptr);
  void SetShape(Shape s) { shape_ = s; update(); }
  void SetColour(QColor c) { colour_ = c; update(); }
  Look CurrentLook() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  Shape shape_ = Shape::Rounded;
  QColor colour_{0x1f, 0x5f, 0xa8};
  bool hover_ = false;
};

// The product logo; a double-click on it asks for the technical-support page.
class Logo : public QWidget {
  Q_OBJECT
 public:
  explicit Logo(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {355, 80}; }

 signals:
  void doubleClicked();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
};

// The program's icon, drawn at the given size (tray and window).
QIcon ProgramIcon();

}  // namespace velnaro::ui
