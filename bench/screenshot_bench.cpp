// Times the SCREENSHOT command and a raw capture on an X display, and writes the captured
// picture as a PPM so the script can time the stand-alone encoder on the same pixels.
// Usage: bench_screenshot DISPLAY RUNS OUT.ppm

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "control/commands.h"
#include "control/http_endpoint.h"
#include "control/web_server.h"
#include "platform/screen_capture.h"
#include "platform/screen_capture_xvfb.h"
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DISPLAY RUNS OUT.ppm\n", argv[0]);
    return 2;
  }
  const std::string display = argv[1];
  const int runs = std::max(1, std::atoi(argv[2]));
  std::mt19937 rng(7);
  if (!velnaro::testing::PaintRoot(display, [&](int x, int y) { return Desktop(x, y, rng); })) {
    std::fprintf(stderr, "cannot paint %s\n", display.c_str());
    return 1;
  }
  setenv("DISPLAY", display.c_str(), 1);
  auto capture = velnaro::MakeX11ScreenCapture(display);

  std::vector<double> raw;
  velnaro::RgbImage picture;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    picture = capture->CapturePrimary();
    raw.push_back(Ms(Clock::now() - t0));
  }

  velnaro::TwebServer server;
  velnaro::testing::NullPhone phone;
  velnaro::RegisterCommands(server, phone, {{}, capture.get(), nullptr});
  const auto handler = server.Commands().Find("/system/", "SCREENSHOT");
  std::vector<double> shot;
  for (int i = 0; i < runs; ++i) {
    velnaro::CommandRequest request{"SCREENSHOT", "", "", "Action=SCREENSHOT", "127.0.0.1",
                                    "/system/"};
    std::string reply;
    const auto t0 = Clock::now();
    handler(request, reply);
    shot.push_back(Ms(Clock::now() - t0));
  }

  // The same command as the web application sends it.
  velnaro::HttpEndpoint endpoint(server);
  endpoint.Start(0);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(endpoint.port()) + "/system/?Action=SCREENSHOT";
  std::vector<double> http;
  std::string body;
  for (int i = 0; i < runs; ++i) {
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* d, size_t sz, size_t n, void* out) {
      static_cast<std::string*>(out)->append(d, sz * n);
      return sz * n;
    });
    const auto t0 = Clock::now();
    const CURLcode rc = curl_easy_perform(c);
    http.push_back(Ms(Clock::now() - t0));
    curl_easy_cleanup(c);
    if (rc != CURLE_OK) {
      std::fprintf(stderr, "request failed: %s\n", curl_easy_strerror(rc));
      return 1;
    }
  }
  endpoint.Stop();

  FILE* f = std::fopen(argv[3], "wb");
  if (!f) return 1;
  std::fprintf(f, "P6\n%d %d\n255\n", picture.width, picture.height);
  std::fwrite(picture.pixels.data(), 1, picture.pixels.size(), f);
  std::fclose(f);

  std::printf("picture %dx%d\n", picture.width, picture.height);
  std::printf("raw capture median ms %.2f\n", Median(raw));
  std::printf("SCREENSHOT median ms %.2f\n", Median(shot));
  std::printf("SCREENSHOT over HTTP median ms %.2f\n", Median(http));
  std::printf("last file %s\n", server.memoLogs().back().c_str());
  return 0;
}
