#pragma once
// Screenshots on a Wayland session, where no client may read the screen by itself: the
// desktop portal takes the picture (org.freedesktop.portal.Screenshot over D-Bus,
// non-interactive) and this crops it to the primary screen.

#include <functional>
#include <memory>
#include <optional>

#include "platform/screen_capture.h"

namespace velnaro {

struct ScreenArea {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const ScreenArea&) const = default;
};

// The primary screen and the whole desktop around it, in the compositor's logical units.
struct ScreenLayout {
  ScreenArea primary;
  ScreenArea desktop;
};

// WAYLAND_DISPLAY set, or XDG_SESSION_TYPE=wayland: then DISPLAY, if set, names XWayland,
// whose root window shows none of the native windows.
bool IsWaylandSession();

// The part of a portal picture (the whole desktop, at the largest screen scale) that shows
// the primary screen; the whole picture when the layout is not known.
ScreenArea PrimaryPart(int picture_width, int picture_height,
                       const std::optional<ScreenLayout>& layout);

// Each capture opens its own connection to the session bus, so it may run on any thread;
// the application object must exist. `layout` is asked at every capture.
std::unique_ptr<ScreenCapture> MakePortalScreenCapture(
    std::function<std::optional<ScreenLayout>()> layout = {});

// The application's screens, kept current on the user-interface thread and readable from
// any other. Create on that thread; nothing unless the platform shows real screens.
std::function<std::optional<ScreenLayout>()> QtScreenLayout();

}  // namespace velnaro
