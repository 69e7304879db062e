// X11 screen capture through libxcb: RandR names the primary monitor, MIT-SHM (when the
// server offers it) saves one copy of the picture through the socket. The connection and
// the shared segments are kept between captures: making them costs as much as the copy.

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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

// Any other depth and channel order, channel by channel.
void ToRgb(const uint8_t* data, const PixelFormat& f, RgbImage& out) {
  const size_t stride = Stride(f, out.width);
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * 3);
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

// One X connection with what a capture needs to know of it.
struct Connection {
  xcb_connection_t* c = nullptr;
  const xcb_screen_t* screen = nullptr;
  PixelFormat format;
  std::atomic<bool> shm{false};  // MIT-SHM 1.2 offered and not refused so far

  ~Connection() { xcb_disconnect(c); }
  bool broken() const { return xcb_connection_has_error(c) != 0; }
};

std::shared_ptr<Connection> Connect(const std::string& display, bool use_shm) {
  auto conn = std::make_shared<Connection>();
  int screen_number = 0;
  conn->c = xcb_connect(display.empty() ? nullptr : display.c_str(), &screen_number);
  if (conn->broken()) {
    std::string name = display;
    if (name.empty()) {
      const char* env = std::getenv("DISPLAY");
      name = env ? env : "";
    }
    throw ScreenCaptureError(name.empty() ? "Cannot open the X display: DISPLAY is not set"
                                          : "Cannot open the X display \"" + name + "\"");
  }
  auto it = xcb_setup_roots_iterator(xcb_get_setup(conn->c));
  for (int i = 0; it.rem; xcb_screen_next(&it), ++i) {
    if (i == screen_number) conn->screen = it.data;
  }
  if (!conn->screen) throw ScreenCaptureError("Cannot read the X display: no such screen");
  conn->format = FormatOf(conn->c, conn->screen);
  if (use_shm) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn->c, &xcb_shm_id);
    if (ext && ext->present) {
      XcbReply<xcb_shm_query_version_reply_t> version(
          xcb_shm_query_version_reply(conn->c, xcb_shm_query_version(conn->c), nullptr));
      conn->shm = version && (version->major_version > 1 || version->minor_version >= 2);
    }
  }
  return conn;
}

// The primary monitor, cut to what the root window holds.
Rect CaptureArea(const Connection& conn) {
  const Rect root{0, 0, conn.screen->width_in_pixels, conn.screen->height_in_pixels};
  const Rect r = PrimaryMonitor(conn.c, conn.screen->root).value_or(root);
  const int x1 = std::max(r.x, 0), y1 = std::max(r.y, 0);
  const int x2 = std::min(r.x + r.width, root.width), y2 = std::min(r.y + r.height, root.height);
  return (x2 > x1 && y2 > y1) ? Rect{x1, y1, x2 - x1, y2 - y1} : root;
}

// A memfd the server writes the picture into (MIT-SHM 1.2), attached to one connection
// and kept for the next capture.
struct Segment {
  std::shared_ptr<Connection> conn;
  xcb_shm_seg_t id = 0;
  uint8_t* map = nullptr;
  size_t size = 0;

  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment() {
    if (id && !conn->broken()) {
      xcb_shm_detach(conn->c, id);
      xcb_flush(conn->c);
    }
    if (map) munmap(map, size);
  }
};

// Nothing when the segment cannot be made or the server refuses it.
std::unique_ptr<Segment> MakeSegment(const std::shared_ptr<Connection>& conn, size_t size) {
  auto seg = std::make_unique<Segment>();
  seg->conn = conn;
  const int fd = memfd_create("velnaro-capture", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    return nullptr;
  }
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  seg->map = static_cast<uint8_t*>(map);
  seg->size = size;
  const xcb_shm_seg_t id = xcb_generate_id(conn->c);
  // xcb passes the descriptor to the server and closes our copy.
  xcb_generic_error_t* error =
      xcb_request_check(conn->c, xcb_shm_attach_fd_checked(conn->c, id, fd, 0));
  if (error) {
    std::free(error);
    return nullptr;
  }
  seg->id = id;
  return seg;
}

bool Plain32(const PixelFormat& f) {
  return f.bits_per_pixel == 32 && !f.msb_first && f.red_mask == 0xff0000 &&
         f.green_mask == 0xff00 && f.blue_mask == 0xff;
}

// Hands the server's rows to `use`: as they are when the encoder reads them directly,
// converted to RGB otherwise.
void Lend(const uint8_t* data, size_t length, const PixelFormat& f, const Rect& r,
          const std::function<void(const PixelRows&)>& use) {
  const size_t stride = Stride(f, r.width);
  if (length < stride * r.height)
    throw ScreenCaptureError("Cannot read the X display: short image data");
  if (Plain32(f)) {
    use(RowsOf(data, stride, r.width, r.height, PixelLayout::kBgrx));
    return;
  }
  RgbImage rgb;
  rgb.width = r.width;
  rgb.height = r.height;
  ToRgb(data, f, rgb);
  use(RowsOf(rgb));
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  X11ScreenCapture(std::string display, bool use_shm)
      : display_(std::move(display)), use_shm_(use_shm) {}

  RgbImage CapturePrimary() override {
    RgbImage out;
    ReadPrimary([&out](const PixelRows& rows) { out = ToRgbImage(rows); });
    return out;
  }

  // The connection and the segment stay for the next capture. A connection the server has
  // dropped (it restarted, say) is replaced once, then the failure is reported.
  void ReadPrimary(const std::function<void(const PixelRows&)>& use) override {
    for (int attempt = 0;; ++attempt) {
      const std::shared_ptr<Connection> conn = CurrentConnection();
      try {
        if (Capture(conn, use)) return;
      } catch (const ScreenCaptureError&) {
        if (!conn->broken() || attempt > 0) throw;
      }
      if (attempt > 0) throw ScreenCaptureError("Cannot read the X display: connection lost");
    }
  }

 private:
  struct Returner {
    X11ScreenCapture* owner;
    void operator()(Segment* seg) const { owner->Return(std::unique_ptr<Segment>(seg)); }
  };
  using Lease = std::unique_ptr<Segment, Returner>;

  std::shared_ptr<Connection> CurrentConnection() {
    std::lock_guard lock(mutex_);
    if (!connection_ || connection_->broken()) {
      idle_.clear();
      connection_.reset();
      connection_ = Connect(display_, use_shm_);
    }
    return connection_;
  }

  // An idle segment of this connection large enough, or a new one.
  Lease Borrow(const std::shared_ptr<Connection>& conn, size_t size) {
    {
      std::lock_guard lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->conn == conn && (*it)->size >= size) {
          Lease lease(it->release(), Returner{this});
          idle_.erase(it);
          return lease;
        }
      }
    }
    return Lease(MakeSegment(conn, size).release(), Returner{this});
  }

  void Return(std::unique_ptr<Segment> seg) {
    if (!seg) return;
    std::lock_guard lock(mutex_);
    // Two kept cover two captures at once; a segment of an old connection goes.
    if (seg->conn == connection_ && !seg->conn->broken() && idle_.size() < 2)
      idle_.push_back(std::move(seg));
  }

  // False when the connection broke before the picture was read.
  bool Capture(const std::shared_ptr<Connection>& conn,
               const std::function<void(const PixelRows&)>& use) {
    const Rect r = CaptureArea(*conn);
    const PixelFormat& f = conn->format;
    if (conn->shm) {
      const size_t size = Stride(f, r.width) * r.height;
      if (Lease seg = Borrow(conn, size)) {
        xcb_generic_error_t* error = nullptr;
        XcbReply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            conn->c,
            xcb_shm_get_image(conn->c, conn->screen->root, static_cast<int16_t>(r.x),
                              static_cast<int16_t>(r.y), static_cast<uint16_t>(r.width),
                              static_cast<uint16_t>(r.height), ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, seg->id, 0),
            &error));
        std::free(error);
        if (image) {
          Lend(seg->map, size, f, r, use);
          return true;
        }
        if (conn->broken()) return false;
        std::unique_ptr<Segment> refused(seg.release());  // not kept
      } else if (conn->broken()) {
        return false;
      }
      conn->shm = false;  // the server will not share memory with us; GetImage from now on
    }
    xcb_generic_error_t* error = nullptr;
    XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        conn->c,
        xcb_get_image(conn->c, XCB_IMAGE_FORMAT_Z_PIXMAP, conn->screen->root,
                      static_cast<int16_t>(r.x), static_cast<int16_t>(r.y),
                      static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height), ~0u),
        &error));
    if (!image) {
      if (conn->broken()) {
        std::free(error);
        return false;
      }
      std::string message = ErrorText("GetImage", error);
      std::free(error);
      throw ScreenCaptureError(message);
    }
    Lend(xcb_get_image_data(image.get()), xcb_get_image_data_length(image.get()), f, r, use);
    return true;
  }

  const std::string display_;
  const bool use_shm_;
  std::mutex mutex_;  // guards connection_ and idle_
  std::shared_ptr<Connection> connection_;
  std::vector<std::unique_ptr<Segment>> idle_;
};

}  // namespace

std::unique_ptr<ScreenCapture> MakeX11ScreenCapture(std::string display, bool use_shm) {
  return std::make_unique<X11ScreenCapture>(std::move(display), use_shm);
}

}  // namespace velnaro
