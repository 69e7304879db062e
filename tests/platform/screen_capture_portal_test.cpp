#include "platform/screen_capture_portal_qt.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/jpeg.h"
#include "portal_desktop.h"

namespace velnaro {
namespace {

using testing::PortalDesktop;

// Sets or clears an environment variable for one test, then puts back what was there.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvVar() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(WaylandSession, IsToldByTheDisplayOrTheSessionType) {
  struct Case {
    const char *wayland, *type, *x11;
    bool expected;
  };
  for (const Case& c : {Case{nullptr, nullptr, ":0", false}, Case{"", "x11", ":0", false},
                        Case{"wayland-0", nullptr, nullptr, true},
                        Case{nullptr, "wayland", ":0", true},  // DISPLAY is XWayland then
                        Case{"wayland-1", "x11", ":1", true}}) {
    EnvVar a("WAYLAND_DISPLAY", c.wayland), b("XDG_SESSION_TYPE", c.type), d("DISPLAY", c.x11);
    EXPECT_EQ(IsWaylandSession(), c.expected)
        << (c.wayland ? c.wayland : "-") << " " << (c.type ? c.type : "-");
  }
}

TEST(PortalPicture, PrimaryPartFollowsTheLayoutAndTheScale) {
  // Unknown layout: the whole picture.
  EXPECT_EQ(PrimaryPart(960, 480, std::nullopt), (ScreenArea{0, 0, 960, 480}));
  // Primary on the left of a wider desktop.
  const ScreenLayout left{{0, 0, 640, 480}, {0, 0, 960, 480}};
  EXPECT_EQ(PrimaryPart(960, 480, left), (ScreenArea{0, 0, 640, 480}));
  // Primary on the right, below the top of the desktop; a picture at twice the scale.
  const ScreenLayout right{{1280, 200, 1920, 1080}, {0, 0, 3200, 1280}};
  EXPECT_EQ(PrimaryPart(6400, 2560, right), (ScreenArea{2560, 400, 3840, 2160}));
  // A desktop that starts left of zero.
  const ScreenLayout negative{{0, 0, 800, 600}, {-1024, 0, 1824, 768}};
  EXPECT_EQ(PrimaryPart(1824, 768, negative), (ScreenArea{1024, 0, 800, 600}));
  // A layout the picture does not match is cut to the picture.
  EXPECT_EQ(PrimaryPart(500, 400, left), (ScreenArea{0, 0, 333, 400}));
}

// A capture in a std::thread, like a control request's, while this thread keeps the
// application's events (and the window's drawing) going.
template <typename F>
void OnOtherThread(F work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  t.join();
}

TEST(PortalCapture, WithoutAPortalTheErrorSaysSo) {
  PortalDesktop desktop(PortalDesktop::Parts::kBusOnly);
  ASSERT_TRUE(desktop.ok()) << desktop.why();
  EnvVar bus("DBUS_SESSION_BUS_ADDRESS", desktop.bus().c_str());
  int argc = 1;
  char name[] = "portal_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::string error;
  OnOtherThread([&] {
    try {
      MakePortalScreenCapture()->CapturePrimary();
    } catch (const ScreenCaptureError& e) {
      error = e.what();
    }
  });
  EXPECT_EQ(error.rfind("Cannot take a screenshot: no desktop portal offers screenshots on "
                        "this session (",
                        0),
            0u)
      << error;

  EnvVar no_bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  try {
    MakePortalScreenCapture()->CapturePrimary();
    ADD_FAILURE() << "no error";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot take a screenshot: no D-Bus session bus", 0),
              0u)
        << e.what();
  }
}

class Solid : public QRasterWindow {
 public:
  explicit Solid(QColor color) : color_(color) {}

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(QRect(QPoint(0, 0), size()), color_); }

 private:
  QColor color_;
};

// The real thing: sway with two outputs, the wlroots portal and the front end on a bus of
// their own, and this program as a native Wayland client showing a window of a known
// colour. The JPEG holds the primary output only, filled by that window.
TEST(PortalCapture, TheJpegShowsTheWindowOnThePrimaryOutput) {
  PortalDesktop desktop;
  if (!desktop.ok()) GTEST_SKIP() << "no Wayland desktop with a portal: " << desktop.why();
  desktop.Join();
  EnvVar platform("QT_QPA_PLATFORM", "wayland");
  // Shared-memory buffers: the window needs no GL, and the GL driver, unloaded at exit,
  // leaves an allocation the leak check cannot name.
  EnvVar buffers("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "none");
  int argc = 1;
  char name[] = "portal_test";
  char* argv[] = {name, nullptr};
  QGuiApplication app(argc, argv);
  ASSERT_TRUE(QGuiApplication::platformName().startsWith("wayland"));
  ASSERT_EQ(QGuiApplication::screens().size(), 2);
  Solid window(QColor(0xd0, 0x20, 0x10));
  window.show();

  auto capture = MakePortalScreenCapture(QtScreenLayout());
  QImage decoded;
  std::string error;
  // The window shows once the compositor has mapped and drawn it.
  for (int attempt = 0; attempt < 20; ++attempt) {
    OnOtherThread([&] {
      try {
        capture->ReadPrimary([&](const PixelRows& rows) {
          const std::vector<uint8_t> jpeg = EncodeJpeg(rows, 90);
          decoded = QImage::fromData(jpeg.data(), static_cast<int>(jpeg.size()), "JPG");
        });
      } catch (const std::exception& e) {
        error = e.what();
      }
    });
    ASSERT_EQ(error, "");
    ASSERT_FALSE(decoded.isNull());
    if (QColor(decoded.pixel(320, 240)).red() > 150) break;
    QEventLoop wait;
    QTimer::singleShot(250, &wait, &QEventLoop::quit);
    wait.exec();
  }
  EXPECT_EQ(decoded.width(), 640);  // not 960: the second output is left out
  EXPECT_EQ(decoded.height(), 480);
  for (const QPoint p : {QPoint(5, 5), QPoint(320, 240), QPoint(634, 474)}) {
    const QColor c(decoded.pixel(p));
    EXPECT_NEAR(c.red(), 0xd0, 12) << p.x() << "," << p.y();
    EXPECT_NEAR(c.green(), 0x20, 12) << p.x() << "," << p.y();
    EXPECT_NEAR(c.blue(), 0x10, 12) << p.x() << "," << p.y();
  }
}

// The portal is there but cannot take the picture (its compositor has gone): an error
// with the portal's answer, never a black picture.
TEST(PortalCapture, APortalThatCannotTakeThePictureIsAnError) {
  PortalDesktop desktop;
  if (!desktop.ok()) GTEST_SKIP() << "no Wayland desktop with a portal: " << desktop.why();
  desktop.StopCompositor();
  EnvVar bus("DBUS_SESSION_BUS_ADDRESS", desktop.bus().c_str());
  int argc = 1;
  char name[] = "portal_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::string error = "no error";
  OnOtherThread([&] {
    try {
      MakePortalScreenCapture()->CapturePrimary();
    } catch (const ScreenCaptureError& e) {
      error = e.what();
    }
  });
  EXPECT_EQ(error, "Cannot take a screenshot: the desktop portal refused (response 2)");
}

}  // namespace
}  // namespace velnaro
