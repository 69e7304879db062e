#pragma once
// The notification-area icon with its menu PopupMenu1 ("Apri", the default item).

#include <QObject>
#include <functional>
#include <memory>

class QAbstractNativeEventFilter;

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace velnaro::ui {

class TrayIcon : public QObject {
  Q_OBJECT
 public:
  // on_open runs for "Apri" and for a click or double-click on the icon.
  TrayIcon(const QString& tooltip, std::function<void()> on_open, QObject* parent = nullptr);
  ~TrayIcon() override;
  QMenu* PopupMenu1() const { return menu_; }
  QAction* M_Cerca() const { return open_; }
  QSystemTrayIcon* icon() const { return icon_; }
  // Re-adds the icon when the tray host has come back (the host restarted). Run soon after
  // anything that may mean a host came or went: the X tray manager's announcement or the
  // end of a window, a StatusNotifier watcher or host on the session bus.
  void CheckHost();
  // Told at once whether a tray host is there, then whenever that changes.
  void SetHostWatcher(std::function<void(bool present)> watcher);

 private:
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  Q_SLOT void CheckHostSoon();

  QAction* open_;
  std::unique_ptr<QAbstractNativeEventFilter> x_events_;
  bool check_queued_ = false;
  bool host_present_ = false;
  std::function<void()> on_open_;
  std::function<void(bool)> host_watcher_;
};

}  // namespace velnaro::ui
