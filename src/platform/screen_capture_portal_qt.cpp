#include "platform/screen_capture_portal_qt.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace velnaro {
namespace {

constexpr int kAnswerMs = 20000;  // the portal shows nothing, so this only ends a hang

ScreenCaptureError Failure(const QString& why) {
  return ScreenCaptureError("Cannot take a screenshot: " + why.toStdString());
}

// Receives the portal's one answer to a request.
class PortalAnswer : public QObject {
  Q_OBJECT
 public:
  explicit PortalAnswer(QEventLoop& loop) : loop_(loop) {}
  bool answered = false;
  uint code = 2;
  QVariantMap results;

 public Q_SLOTS:
  void Response(uint response, const QVariantMap& values) {
    answered = true;
    code = response;
    results = values;
    loop_.quit();
  }

 private:
  QEventLoop& loop_;
};

// A private connection for one request, gone when the request is. The address is read
// each time: libdbus would keep the first one it saw for the whole process.
QDBusConnection ConnectToSessionBus(const QString& name) {
  const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
  return address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                           : QDBusConnection::connectToBus(address, name);
}

class Bus {
 public:
  Bus() : name_(QStringLiteral("velnaro-portal-%1").arg(counter_++)),
          bus_(ConnectToSessionBus(name_)) {}
  ~Bus() { QDBusConnection::disconnectFromBus(name_); }
  QDBusConnection& operator*() { return bus_; }
  QDBusConnection* operator->() { return &bus_; }

 private:
  static inline std::atomic<unsigned> counter_{0};
  QString name_;
  QDBusConnection bus_;
};

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");

// The file the portal wrote, taken in and removed: it is a copy made for us alone.
QImage TakeScreenshot() {
  if (!QCoreApplication::instance()) throw Failure("no application object");
  Bus bus;
  if (!bus->isConnected())
    throw Failure("no D-Bus session bus (" + bus->lastError().message() + ")");
  // The request's object path is known beforehand, so the answer cannot slip past us.
  static std::atomic<unsigned> tokens{0};
  const QString token = QStringLiteral("velnaro%1").arg(tokens++);
  const QString sender = bus->baseService().mid(1).replace('.', '_');
  QString handle = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
  QEventLoop loop;
  PortalAnswer answer(loop);
  const auto listen = [&](const QString& path, bool on) {
    const char* slot = SLOT(Response(uint, QVariantMap));
    return on ? bus->connect(kPortal, path, "org.freedesktop.portal.Request", "Response",
                             &answer, slot)
              : bus->disconnect(kPortal, path, "org.freedesktop.portal.Request", "Response",
                                &answer, slot);
  };
  listen(handle, true);

  QDBusMessage call = QDBusMessage::createMethodCall(kPortal, "/org/freedesktop/portal/desktop",
                                                     "org.freedesktop.portal.Screenshot",
                                                     "Screenshot");
  call << QString() << QVariantMap{{"handle_token", token}, {"interactive", false},
                                   {"modal", false}};
  const QDBusMessage reply = bus->call(call, QDBus::Block, kAnswerMs);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        reply.errorName() == "org.freedesktop.DBus.Error.UnknownInterface" ||
        reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod")
      throw Failure("no desktop portal offers screenshots on this session (" +
                    reply.errorMessage() + ")");
    throw Failure("the desktop portal failed: " + reply.errorName() + ": " +
                  reply.errorMessage());
  }
  const QString returned = reply.arguments().value(0).value<QDBusObjectPath>().path();
  if (!returned.isEmpty() && returned != handle) {  // portals before version 0.9
    listen(handle, false);
    handle = returned;
    listen(handle, true);
  }
  if (!answer.answered) {
    QTimer::singleShot(kAnswerMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
  listen(handle, false);
  if (!answer.answered) throw Failure("the desktop portal did not answer");
  if (answer.code == 1) throw Failure("the desktop portal's screenshot was cancelled");
  if (answer.code != 0)
    throw Failure(QStringLiteral("the desktop portal refused (response %1)").arg(answer.code));
  const QUrl uri(answer.results.value("uri").toString());
  if (!uri.isLocalFile())
    throw Failure("the desktop portal gave no file (\"" + uri.toString() + "\")");
  const QString path = uri.toLocalFile();
  QImage picture(path);
  QFile::remove(path);
  if (picture.isNull()) throw Failure("cannot read the desktop portal's file \"" + path + "\"");
  return picture;
}

class PortalScreenCapture final : public ScreenCapture {
 public:
  explicit PortalScreenCapture(std::function<std::optional<ScreenLayout>()> layout)
      : layout_(std::move(layout)) {}

  RgbImage CapturePrimary() override {
    RgbImage out;
    ReadPrimary([&out](const PixelRows& rows) { out = ToRgbImage(rows); });
    return out;
  }

  void ReadPrimary(const std::function<void(const PixelRows&)>& use) override {
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "RGB32 is B, G, R, pad in memory");
    const QImage picture = TakeScreenshot().convertToFormat(QImage::Format_RGB32);
    const ScreenArea a =
        PrimaryPart(picture.width(), picture.height(), layout_ ? layout_() : std::nullopt);
    use({a.width, a.height, PixelLayout::kBgrx, [&picture, a](int y) {
           return picture.constScanLine(a.y + y) + static_cast<size_t>(a.x) * 4;
         }});
  }

 private:
  std::function<std::optional<ScreenLayout>()> layout_;
};

ScreenArea AreaOf(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

// Lives on the user-interface thread; the layout it keeps is read under the lock.
class LayoutWatcher : public QObject {
 public:
  explicit LayoutWatcher(QGuiApplication* app) : QObject(app) {
    const auto watch = [this](QScreen* screen) {
      connect(screen, &QScreen::geometryChanged, this, &LayoutWatcher::Refresh);
    };
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
    connect(app, &QGuiApplication::screenAdded, this, [this, watch](QScreen* screen) {
      watch(screen);
      Refresh();
    });
    connect(app, &QGuiApplication::screenRemoved, this, &LayoutWatcher::Refresh);
    connect(app, &QGuiApplication::primaryScreenChanged, this, &LayoutWatcher::Refresh);
    Refresh();
  }

  std::optional<ScreenLayout> Get() const {
    std::lock_guard lock(mutex_);
    return layout_;
  }

 private:
  void Refresh() {
    std::optional<ScreenLayout> layout;
    if (QScreen* primary = QGuiApplication::primaryScreen())
      layout = ScreenLayout{AreaOf(primary->geometry()), AreaOf(primary->virtualGeometry())};
    std::lock_guard lock(mutex_);
    layout_ = layout;
  }

  mutable std::mutex mutex_;
  std::optional<ScreenLayout> layout_;
};

}  // namespace

bool IsWaylandSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return (display && *display) || (type && std::strcmp(type, "wayland") == 0);
}

ScreenArea PrimaryPart(int picture_width, int picture_height,
                       const std::optional<ScreenLayout>& layout) {
  const ScreenArea whole{0, 0, picture_width, picture_height};
  if (!layout || layout->desktop.width <= 0 || layout->desktop.height <= 0) return whole;
  const ScreenArea& p = layout->primary;
  const ScreenArea& d = layout->desktop;
  // Rounded the same way at both edges, so that neighbouring screens meet exactly.
  const auto at_x = [&](int x) {
    return static_cast<int>((static_cast<long long>(x - d.x) * picture_width + d.width / 2) /
                            d.width);
  };
  const auto at_y = [&](int y) {
    return static_cast<int>((static_cast<long long>(y - d.y) * picture_height + d.height / 2) /
                            d.height);
  };
  const int x1 = std::clamp(at_x(p.x), 0, picture_width);
  const int y1 = std::clamp(at_y(p.y), 0, picture_height);
  const int x2 = std::clamp(at_x(p.x + p.width), 0, picture_width);
  const int y2 = std::clamp(at_y(p.y + p.height), 0, picture_height);
  if (x2 <= x1 || y2 <= y1) return whole;
  return {x1, y1, x2 - x1, y2 - y1};
}

std::unique_ptr<ScreenCapture> MakePortalScreenCapture(
    std::function<std::optional<ScreenLayout>()> layout) {
  return std::make_unique<PortalScreenCapture>(std::move(layout));
}

std::function<std::optional<ScreenLayout>()> QtScreenLayout() {
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  const QString platform = QGuiApplication::platformName();
  if (!app || !(platform.startsWith("wayland") || platform == "xcb")) return {};
  auto* watcher = new LayoutWatcher(app);  // the application owns it
  return [watcher] { return watcher->Get(); };
}

}  // namespace velnaro

#include "screen_capture_portal_qt.moc"
