#pragma once
// Test helpers: a private Xvfb server and a tiny xcb client that paints the root window.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace velnaro::testing {

// Xvfb on a display number it picks itself (-displayfd), kept after its last client
// leaves (-noreset), stopped on destruction.
class Xvfb {
 public:
  Xvfb(int width, int height, std::vector<std::string> extra_args = {}, int depth = 24) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) return;
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no orphan if the test crashes
      close(fds[0]);
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::vector<std::string> args = {"Xvfb", "-displayfd", std::to_string(fds[1]),
                                       "-noreset", "-nolisten", "tcp", "-screen", "0",
                                       std::to_string(width) + "x" + std::to_string(height) +
                                           "x" + std::to_string(depth)};
      args.insert(args.end(), extra_args.begin(), extra_args.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv("/usr/bin/Xvfb", argv.data());
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char ch;
    while (read(fds[0], &ch, 1) == 1 && ch != '\n') number += ch;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~Xvfb() { StopChild(pid_); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

  // Runs xrandr against this server; true when it succeeded.
  bool Xrandr(const std::string& args) const {
    const std::string cmd = "DISPLAY=" + display_ + " xrandr " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Paints the root window with color(x, y) -> 0xRRGGBB and makes it the root's
// background, so the picture stays after this client disconnects.
inline bool PaintRoot(const std::string& display,
                      const std::function<uint32_t(int, int)>& color) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return false;
  }
  xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const int w = s->width_in_pixels, h = s->height_in_pixels;
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  xcb_create_pixmap(c, s->root_depth, pixmap, s->root, w, h);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, pixmap, 0, nullptr);
  const int rows = 32;  // keeps every PutImage under the request size limit
  const bool depth16 = s->root_depth == 16;  // 5-6-5, two bytes a pixel
  std::vector<uint32_t> strip(static_cast<size_t>(w) * rows);
  std::vector<uint16_t> strip16(static_cast<size_t>(w) * rows);
  for (int y0 = 0; y0 < h; y0 += rows) {
    const int n = std::min(rows, h - y0);
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t v = color(x, y0 + y);
        strip[static_cast<size_t>(y) * w + x] = v;
        strip16[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(
            ((v >> 19) & 0x1f) << 11 | ((v >> 10) & 0x3f) << 5 | ((v >> 3) & 0x1f));
      }
    const auto* data = depth16 ? reinterpret_cast<const uint8_t*>(strip16.data())
                               : reinterpret_cast<const uint8_t*>(strip.data());
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, w, n, 0, y0, 0, s->root_depth,
                  static_cast<uint32_t>(w * n * (depth16 ? 2 : 4)), data);
  }
  xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXMAP, &pixmap);
  xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);
  xcb_free_pixmap(c, pixmap);
  xcb_free_gc(c, gc);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // round trip
  const bool ok = !xcb_connection_has_error(c);
  xcb_disconnect(c);
  return ok;
}

// The test picture: two halves told apart by blue, gradients to catch offsets and flips.
inline uint32_t TestPattern(int x, int y, int width, int height) {
  const int half = width / 2;
  const uint32_t r = static_cast<uint32_t>((x % half) * 255 / (half - 1));
  const uint32_t g = static_cast<uint32_t>(y * 255 / (height - 1));
  const uint32_t b = x < half ? 40u : 210u;
  return (r << 16) | (g << 8) | b;
}

}  // namespace velnaro::testing
