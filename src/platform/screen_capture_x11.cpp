// X11 screen capture through libxcb: RandR names the primary monitor, MIT-SHM (when the
// server offers it) saves one copy of the picture through the socket.

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/screen_capture.h"

namespace velnaro {
namespace {

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter<T>>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

struct PixelFormat {
  int bits_per_pixel = 32;
  int scanline_pad = 32;
  bool msb_first = false;
  uint32_t red_mask = 0xff0000, green_mask = 0xff00, blue_mask = 0xff;
};

std::string ErrorText(const char* what, const xcb_generic_error_t* error) {
  return std::string("Cannot read the X display: ") + what + " failed (X error " +
         std::to_string(error ? error->error_code : 0) + ")";
}

// The primary monitor as RandR reports it; nothing when RandR names none.
std::optional<Rect> PrimaryMonitor(xcb_connection_t* c, xcb_window_t root) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (!ext || !ext->present) return std::nullopt;
  XcbReply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version) return std::nullopt;
  const uint32_t v = version->major_version * 100 + version->minor_version;

  if (v >= 105) {
    XcbReply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
    if (monitors) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
           xcb_randr_monitor_info_next(&it)) {
        if (it.data->primary)
          return Rect{it.data->x, it.data->y, it.data->width, it.data->height};
      }
    }
    return std::nullopt;
  }
  if (v < 103) return std::nullopt;
  XcbReply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), nullptr));
  if (!primary || primary->output == XCB_NONE) return std::nullopt;
  XcbReply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
      c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), nullptr));
  if (!output || output->crtc == XCB_NONE) return std::nullopt;
  XcbReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
      c, xcb_randr_get_crtc_info(c, output->crtc, XCB_CURRENT_TIME), nullptr));
  if (!crtc || crtc->width == 0 || crtc->height == 0) return std::nullopt;
  return Rect{crtc->x, crtc->y, crtc->width, crtc->height};
}

PixelFormat FormatOf(xcb_connection_t* c, const xcb_screen_t* screen) {
  PixelFormat f;
  const xcb_setup_t* setup = xcb_get_setup(c);
  f.msb_first = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) {
      f.bits_per_pixel = it.data->bits_per_pixel;
      f.scanline_pad = it.data->scanline_pad;
    }
  }
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) {
        f.red_mask = v.data->red_mask;
        f.green_mask = v.data->green_mask;
        f.blue_mask = v.data->blue_mask;
      }
    }
  }
  return f;
}

size_t Stride(const PixelFormat& f, int width) {
  const size_t bits = static_cast<size_t>(width) * f.bits_per_pixel;
  const size_t pad = f.scanline_pad > 0 ? f.scanline_pad : 8;
  return (bits + pad - 1) / pad * pad / 8;
}

// Scales one channel taken out of a pixel value to 8 bits.
struct Channel {
  explicit Channel(uint32_t mask) : mask_(mask) {
    if (!mask) return;
    while (!(mask & 1)) {
      mask >>= 1;
      ++shift_;
    }
    max_ = mask;
  }
  uint8_t operator()(uint32_t pixel) const {
    if (!max_) return 0;
    return static_cast<uint8_t>(((pixel & mask_) >> shift_) * 255u / max_);
  }
  uint32_t mask_;
  int shift_ = 0;
  uint32_t max_ = 0;
};

void ToRgb(const uint8_t* data, size_t length, const PixelFormat& f, RgbImage& out) {
  const size_t stride = Stride(f, out.width);
  if (length < stride * out.height)
    throw ScreenCaptureError("Cannot read the X display: short image data");
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
  const bool plain32 = f.bits_per_pixel == 32 && !f.msb_first && f.red_mask == 0xff0000 &&
                       f.green_mask == 0xff00 && f.blue_mask == 0xff;
  if (plain32) {  // the usual case: B, G, R, pad
    for (int y = 0; y < out.height; ++y) {
      const uint8_t* s = data + stride * y;
      uint8_t* d = out.Row(y);
      for (int x = 0; x < out.width; ++x, s += 4, d += 3) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
      }
    }
    return;
  }
  if (f.bits_per_pixel % 8 != 0 || f.bits_per_pixel > 32 || f.bits_per_pixel == 0)
    throw ScreenCaptureError("Cannot read the X display: unsupported pixel format of " +
                             std::to_string(f.bits_per_pixel) + " bits");
  const int bytes = f.bits_per_pixel / 8;
  const Channel red(f.red_mask), green(f.green_mask), blue(f.blue_mask);
  for (int y = 0; y < out.height; ++y) {
    const uint8_t* s = data + stride * y;
    uint8_t* d = out.Row(y);
    for (int x = 0; x < out.width; ++x, s += bytes, d += 3) {
      uint32_t pixel = 0;
      for (int i = 0; i < bytes; ++i) {
        const int k = f.msb_first ? i : bytes - 1 - i;
        pixel = (pixel << 8) | s[k];
      }
      d[0] = red(pixel);
      d[1] = green(pixel);
      d[2] = blue(pixel);
    }
  }
}

// MIT-SHM 1.2: the server writes straight into a memfd we map. False when the
// server offers no SHM or refuses the segment; the caller then uses GetImage.
bool CaptureShm(xcb_connection_t* c, xcb_window_t root, const Rect& r, const PixelFormat& f,
                RgbImage& out) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
  if (!ext || !ext->present) return false;
  XcbReply<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 2)) return false;

  const size_t size = Stride(f, r.width) * r.height;
  const int fd = memfd_create("velnaro-capture", MFD_CLOEXEC);
  if (fd < 0) return false;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    return false;
  }
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    close(fd);
    return false;
  }
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  // xcb passes the descriptor to the server and closes our copy.
  xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_fd_checked(c, seg, fd, 0));
  if (error) {
    std::free(error);
    munmap(map, size);
    return false;
  }
  error = nullptr;
  XcbReply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
      c,
      xcb_shm_get_image(c, root, static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                        static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height),
                        ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0),
      &error));
  xcb_shm_detach(c, seg);
  xcb_flush(c);
  if (!image) {  // let GetImage try, and report, instead
    std::free(error);
    munmap(map, size);
    return false;
  }
  try {
    ToRgb(static_cast<const uint8_t*>(map), size, f, out);
  } catch (...) {
    munmap(map, size);
    throw;
  }
  munmap(map, size);
  return true;
}

void CapturePlain(xcb_connection_t* c, xcb_window_t root, const Rect& r, const PixelFormat& f,
                  RgbImage& out) {
  xcb_generic_error_t* error = nullptr;
  XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      c,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<int16_t>(r.x),
                    static_cast<int16_t>(r.y), static_cast<uint16_t>(r.width),
                    static_cast<uint16_t>(r.height), ~0u),
      &error));
  if (!image) {
    std::string message = ErrorText("GetImage", error);
    std::free(error);
    throw ScreenCaptureError(message);
  }
  ToRgb(xcb_get_image_data(image.get()), xcb_get_image_data_length(image.get()), f, out);
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  X11ScreenCapture(std::string display, bool use_shm)
      : display_(std::move(display)), use_shm_(use_shm) {}

  RgbImage CapturePrimary() override {
    int screen_number = 0;
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> c(
        xcb_connect(display_.empty() ? nullptr : display_.c_str(), &screen_number));
    if (xcb_connection_has_error(c.get())) {
      std::string name = display_;
      if (name.empty()) {
        const char* env = std::getenv("DISPLAY");
        name = env ? env : "";
      }
      throw ScreenCaptureError(name.empty() ? "Cannot open the X display: DISPLAY is not set"
                                            : "Cannot open the X display \"" + name + "\"");
    }
    const xcb_screen_t* screen = nullptr;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; it.rem; xcb_screen_next(&it), ++i) {
      if (i == screen_number) screen = it.data;
    }
    if (!screen) throw ScreenCaptureError("Cannot read the X display: no such screen");

    const Rect root{0, 0, screen->width_in_pixels, screen->height_in_pixels};
    Rect r = PrimaryMonitor(c.get(), screen->root).value_or(root);
    // A monitor may reach past the root window; read only what exists.
    const int x1 = std::max(r.x, 0), y1 = std::max(r.y, 0);
    const int x2 = std::min(r.x + r.width, root.width), y2 = std::min(r.y + r.height, root.height);
    r = (x2 > x1 && y2 > y1) ? Rect{x1, y1, x2 - x1, y2 - y1} : root;

    const PixelFormat format = FormatOf(c.get(), screen);
    RgbImage out;
    out.width = r.width;
    out.height = r.height;
    if (!(use_shm_ && CaptureShm(c.get(), screen->root, r, format, out)))
      CapturePlain(c.get(), screen->root, r, format, out);
    return out;
  }

 private:
  std::string display_;
  bool use_shm_;
};

}  // namespace

std::unique_ptr<ScreenCapture> MakeX11ScreenCapture(std::string display, bool use_shm) {
  return std::make_unique<X11ScreenCapture>(std::move(display), use_shm);
}

}  // namespace velnaro
