#include "ui/tray.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "ui/skinned_button.h"

namespace velnaro::ui {

TrayIcon::TrayIcon(const QString& tooltip, std::function<void()> on_open, QObject* parent)
    : QObject(parent), on_open_(std::move(on_open)) {
  menu_ = new QMenu;
  menu_->setObjectName("PopupMenu1");
  open_ = menu_->addAction("Apri");
  open_->setObjectName("M_Cerca");
  menu_->setDefaultAction(open_);
  connect(open_, &QAction::triggered, this, [this] { on_open_(); });

  icon_ = new QSystemTrayIcon(ProgramIcon(), this);
  icon_->setToolTip(tooltip);
  icon_->setContextMenu(menu_);
  // StatusNotifierItem hosts (KDE, the GNOME extension) report a single click as Trigger
  // and have no double-click at all.
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) open_->trigger();
  });
  host_present_ = QSystemTrayIcon::isSystemTrayAvailable();
  icon_->show();

  // The host can go away and come back (a restarted panel); put the icon back then.
  watch_ = new QTimer(this);
  watch_->setInterval(3000);
  connect(watch_, &QTimer::timeout, this, [this] { CheckHost(); });
  watch_->start();
}

TrayIcon::~TrayIcon() {
  icon_->hide();
  delete menu_;
}

void TrayIcon::CheckHost() {
  bool present = QSystemTrayIcon::isSystemTrayAvailable();
  if (present && !host_present_) {
    icon_->hide();
    icon_->show();
  }
  bool changed = present != host_present_;
  host_present_ = present;
  if (changed && host_watcher_) host_watcher_(present);
}

void TrayIcon::SetHostWatcher(std::function<void(bool present)> watcher) {
  host_watcher_ = std::move(watcher);
  if (host_watcher_) host_watcher_(host_present_);
}

}  // namespace velnaro::ui
