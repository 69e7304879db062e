#include "ui/shown_timer.h"

#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace velnaro::ui {

ShownTimer::ShownTimer(QWidget* window, const char* name, int interval_ms,
                       std::function<void()> tick)
    : QObject(window), window_(window), tick_(std::move(tick)) {
  timer_ = new QTimer(window);
  timer_->setObjectName(name);
  timer_->setInterval(interval_ms);
  connect(timer_, &QTimer::timeout, this, [this] { tick_(); });
  window->installEventFilter(this);
  Follow();
}

bool ShownTimer::eventFilter(QObject* watched, QEvent* event) {
  if (watched != window_) return false;
  const QEvent::Type t = event->type();
  // A minimised window may get a hide without ceasing to count as visible.
  if (t == QEvent::Hide) timer_->stop();
  if (t == QEvent::Show || t == QEvent::WindowStateChange) Follow();
  return false;
}

void ShownTimer::Follow() {
  const bool on_screen = window_->isVisible() && !window_->isMinimized();
  if (on_screen == timer_->isActive()) return;
  if (!on_screen) {
    timer_->stop();
    return;
  }
  tick_();  // what changed while it was away
  timer_->start();
}

}  // namespace velnaro::ui
