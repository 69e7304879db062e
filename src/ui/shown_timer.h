#pragma once
// A window's refresh timer that runs only while the window is on screen: hidden or
// minimised it wakes nobody, and once shown again it catches up at once.

#include <QObject>
#include <functional>

class QTimer;
class QWidget;

namespace velnaro::ui {

class ShownTimer : public QObject {
  Q_OBJECT
 public:
  // `tick` runs every interval_ms while `window` is visible and not minimised, and once
  // each time it becomes so. The timer is named `name` among the window's children.
  ShownTimer(QWidget* window, const char* name, int interval_ms, std::function<void()> tick);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Follow();

  QWidget* window_;
  QTimer* timer_;
  std::function<void()> tick_;
};

}  // namespace velnaro::ui
