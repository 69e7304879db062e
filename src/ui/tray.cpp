#include "ui/tray.h"

#include <QAbstractNativeEventFilter>
#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <QSystemTrayIcon>
#include <cstdint>

#include "ui/skinned_button.h"

namespace velnaro::ui {
namespace {

constexpr char kWatcher[] = "org.kde.StatusNotifierWatcher";

// On X a tray manager announces itself with a MANAGER client message to the root window;
// when it goes its window ends and the icon's window, embedded in it, returns to the root.
// All are rare while nothing happens.
class XTrayEvents : public QAbstractNativeEventFilter {
 public:
  explicit XTrayEvents(std::function<void()> changed) : changed_(std::move(changed)) {}
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    constexpr uint8_t kDestroyNotify = 17, kReparentNotify = 21, kClientMessage = 33;
    const uint8_t kind = *static_cast<const uint8_t*>(message) & 0x7f;
    if (kind == kDestroyNotify || kind == kReparentNotify || kind == kClientMessage) changed_();
    return false;
  }

 private:
  std::function<void()> changed_;
};

}  // namespace

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

  // The host can go away and come back (a restarted panel); put the icon back then. Told,
  // not asked: asking every few seconds woke the program and the X server for nothing.
  x_events_ = std::make_unique<XTrayEvents>([this] { CheckHostSoon(); });
  QCoreApplication::instance()->installNativeEventFilter(x_events_.get());
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* watcher = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForOwnerChange,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { CheckHostSoon(); });
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
      bus.connect(kWatcher, "/StatusNotifierWatcher", kWatcher, signal, this, SLOT(CheckHostSoon()));
  }
}

TrayIcon::~TrayIcon() {
  QCoreApplication::instance()->removeNativeEventFilter(x_events_.get());
  icon_->hide();
  delete menu_;
}

// After Qt's own handling of the same event, once however many came together.
void TrayIcon::CheckHostSoon() {
  if (check_queued_) return;
  check_queued_ = true;
  QMetaObject::invokeMethod(this, [this] {
    check_queued_ = false;
    CheckHost();
  }, Qt::QueuedConnection);
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
