// The SCREENSHOT round trip (request to the control endpoint, file written) beside what
// one process needs for the same picture: xcb_get_image of the root, conversion to RGB,
// and a quality-90 baseline libjpeg-turbo encoding. The two alternate, run by run, so that
// a busy machine slows both alike.
// Usage: bench_screenshot DISPLAY RUNS

#include <curl/curl.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench_stats.h"
#include "control/commands.h"
#include "control/http_endpoint.h"
#include "control/web_server.h"
#include "platform/screen_capture.h"
#include "platform/screen_capture_xvfb.h"
#include "support/control_service.h"
#include "support/jpeg_decode.h"
#include "support/phone_fakes.h"

namespace {

using Clock = std::chrono::steady_clock;

// Something like a desktop: flat window areas, text-like strokes, a photo-like region.
uint32_t Desktop(int x, int y, std::mt19937& rng) {
  if (y < 40) return 0x2b2b2b;                          // panel
  if (x > 1300 && y > 200 && y < 900) {                 // "photo": gradients and noise
    const int n = static_cast<int>(rng() % 24);
    const uint32_t r = static_cast<uint32_t>(std::min(255, (x - 1300) * 255 / 620 + n));
    const uint32_t g = static_cast<uint32_t>(std::min(255, (y - 200) * 255 / 700 + n));
    const uint32_t b = static_cast<uint32_t>(std::min(255, 128 + ((x * y) >> 12) % 100 + n));
    return (r << 16) | (g << 8) | b;
  }
  if (x > 100 && x < 1250 && y > 120 && y < 1000) {     // a window with lines of "text"
    const bool line = (y / 18) % 2 == 0 && (y % 18) > 4 && (y % 18) < 15;
    const bool glyph = ((x * 7 + y * 3) % 11) < 4 && (x / 60) % 7 != 6;
    return line && glyph ? 0x202020 : 0xf4f4f4;
  }
  return 0x3a6ea5;                                      // wallpaper
}

using velnaro::bench::Ms;
using velnaro::testing::DecodeJpeg;
using velnaro::bench::Percentile;

// The reference: what a plain program does for one screenshot, its connection already open.
class Reference {
 public:
  explicit Reference(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~Reference() { xcb_disconnect(c_); }
  bool ok() const { return !xcb_connection_has_error(c_); }

  std::vector<uint8_t> CaptureAndEncode() {
    const int w = screen_->width_in_pixels, h = screen_->height_in_pixels;
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0, 0, w, h, ~0u),
        nullptr);
    if (!image) return {};
    const uint8_t* bgrx = xcb_get_image_data(image);
    rgb_.resize(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; ++i) {
      rgb_[i * 3] = bgrx[i * 4 + 2];
      rgb_[i * 3 + 1] = bgrx[i * 4 + 1];
      rgb_[i * 3 + 2] = bgrx[i * 4];
    }
    std::free(image);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = rgb_.data() + static_cast<size_t>(cinfo.next_scanline) * w * 3;
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
  }

 private:
  xcb_connection_t* c_;
  const xcb_screen_t* screen_ = nullptr;
  std::vector<uint8_t> rgb_;
};

// One SCREENSHOT as the web application sends it: a new connection, the reply read whole.
bool Request(const std::string& url) {
  std::string body;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* d, size_t sz, size_t n, void* out) {
    static_cast<std::string*>(out)->append(d, sz * n);
    return sz * n;
  });
  const CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  if (rc != CURLE_OK || status != 200) {
    std::fprintf(stderr, "request failed: %s, status %ld\n", curl_easy_strerror(rc), status);
    return false;
  }
  return true;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes;
}

void Print(const char* what, const std::vector<double>& v) {
  std::printf("%-44s median %6.2f ms  (p10 %6.2f, p90 %6.2f, min %6.2f, max %6.2f)\n", what,
              Percentile(v, 0.5), Percentile(v, 0.1), Percentile(v, 0.9),
              *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DISPLAY RUNS\n", argv[0]);
    return 2;
  }
  const std::string display = argv[1];
  const int runs = std::max(3, std::atoi(argv[2]));
  std::mt19937 rng(7);
  if (!velnaro::testing::PaintRoot(display, [&](int x, int y) { return Desktop(x, y, rng); })) {
    std::fprintf(stderr, "cannot paint %s\n", display.c_str());
    return 1;
  }
  Reference reference(display);
  if (!reference.ok()) return 1;

  auto capture = velnaro::MakeX11ScreenCapture(display);
  velnaro::testing::ControlService server;
  velnaro::testing::FakePhone phone;
  velnaro::RegisterCommands(server.interpreter.Commands(), {server.status, server.window, phone},
                            {{}, capture.get(), nullptr});
  velnaro::HttpEndpoint endpoint(server.interpreter);
  endpoint.Start(0);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(endpoint.port()) + "/system/?Action=SCREENSHOT";

  // The first screenshot opens the connection and the shared segment.
  auto t0 = Clock::now();
  if (!Request(url)) return 1;
  const double cold = Ms(Clock::now() - t0);
  std::vector<uint8_t> reference_jpeg = reference.CaptureAndEncode();

  std::vector<double> ours, theirs;
  for (int i = 0; i < runs; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (i % 2 == 0)) {
        t0 = Clock::now();
        if (!Request(url)) return 1;
        ours.push_back(Ms(Clock::now() - t0));
      } else {
        t0 = Clock::now();
        reference_jpeg = reference.CaptureAndEncode();
        theirs.push_back(Ms(Clock::now() - t0));
      }
    }
  }
  endpoint.Stop();

  const std::string line = server.status.memoLogs().back();
  const std::string path = line.substr(line.find(": ") + 2);
  const std::vector<uint8_t> our_jpeg = ReadFile(path);
  const auto a = DecodeJpeg(our_jpeg, false), b = DecodeJpeg(reference_jpeg, false);
  std::printf("picture %dx%d, %d runs each, alternating\n", a.width, a.height, runs);
  std::printf("first SCREENSHOT (connection and segment made)  %.2f ms\n", cold);
  Print("SCREENSHOT round trip, file written", ours);
  Print("reference: get_image + RGB + libjpeg-turbo q90", theirs);
  std::printf("files: ours %zu bytes (%s, %d components, first luma quantiser %d), "
              "reference %zu bytes (%s, %d components): %+.2f %%\n",
              our_jpeg.size(), a.progressive ? "progressive" : "baseline", a.components,
              a.luma_q0, reference_jpeg.size(), b.progressive ? "progressive" : "baseline",
              b.components,
              100.0 * (static_cast<double>(our_jpeg.size()) / reference_jpeg.size() - 1));
  std::printf("SCREENSHOT / reference = %.2f (goal <= 0.90)\n",
              Percentile(ours, 0.5) / Percentile(theirs, 0.5));
  return a.ok && b.ok ? 0 : 1;
}
