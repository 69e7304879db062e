#pragma once
// The notification-area icon with its menu PopupMenu1 ("Apri", the default item).

#include <QObject>
#include <functional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

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
  // Re-adds the icon when the tray host has come back (the host restarted).
  void CheckHost();
  // Told at once whether a tray host is there, then whenever that changes.
  void SetHostWatcher(std::function<void(bool present)> watcher);

 private:
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  QAction* open_;
  QTimer* watch_;
  bool host_present_ = false;
  std::function<void()> on_open_;
  std::function<void(bool)> host_watcher_;
};

}  // namespace velnaro::ui
