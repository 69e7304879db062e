#include "platform/screen_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "screen_capture_xvfb.h"

namespace velnaro {
namespace {

using testing::PaintRoot;
using testing::TestPattern;
using testing::Xvfb;

constexpr int kWidth = 640, kHeight = 360;

uint32_t PixelAt(const RgbImage& image, int x, int y) {
  const uint8_t* p = image.Row(y) + x * 3;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// Compares every pixel of image with the pattern seen from (x0, 0).
void ExpectPattern(const RgbImage& image, int x0) {
  int mismatches = 0;
  for (int y = 0; y < image.height && mismatches < 5; ++y)
    for (int x = 0; x < image.width && mismatches < 5; ++x)
      if (PixelAt(image, x, y) != TestPattern(x0 + x, y, kWidth, kHeight)) {
        ADD_FAILURE() << "pixel " << x << "," << y;
        ++mismatches;
      }
}

class X11Capture : public ::testing::TestWithParam<bool> {};

// The second of two monitors is primary: only it is read, from its own top-left corner.
TEST_P(X11Capture, ReadsOnlyThePrimaryMonitor) {
  Xvfb x(kWidth, kHeight);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(x.Xrandr("--setmonitor left 320/100x360/100+0+0 none"));
  ASSERT_TRUE(x.Xrandr("--setmonitor '*right' 320/100x360/100+320+0 none"));
  ASSERT_TRUE(PaintRoot(x.display(), [](int px, int py) {
    return TestPattern(px, py, kWidth, kHeight);
  }));
  const RgbImage image = MakeX11ScreenCapture(x.display(), GetParam())->CapturePrimary();
  ASSERT_EQ(image.width, 320);
  ASSERT_EQ(image.height, 360);
  ASSERT_EQ(image.pixels.size(), 320u * 360u * 3u);
  ExpectPattern(image, 320);
}

// With no primary named, the whole root window.
TEST_P(X11Capture, ReadsTheWholeRootWithoutPrimary) {
  Xvfb x(kWidth, kHeight);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(PaintRoot(x.display(), [](int px, int py) {
    return TestPattern(px, py, kWidth, kHeight);
  }));
  const RgbImage image = MakeX11ScreenCapture(x.display(), GetParam())->CapturePrimary();
  ASSERT_EQ(image.width, kWidth);
  ASSERT_EQ(image.height, kHeight);
  ExpectPattern(image, 0);
}

INSTANTIATE_TEST_SUITE_P(ShmAndPlain, X11Capture, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Shm" : "GetImage"; });

TEST(X11CaptureFallback, ServerWithoutShmStillCaptures) {
  Xvfb x(kWidth, kHeight, {"-extension", "MIT-SHM"});
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(x.Xrandr("--setmonitor '*right' 320/100x360/100+320+0 none"));
  ASSERT_TRUE(PaintRoot(x.display(), [](int px, int py) {
    return TestPattern(px, py, kWidth, kHeight);
  }));
  const RgbImage image = MakeX11ScreenCapture(x.display(), true)->CapturePrimary();
  ASSERT_EQ(image.width, 320);
  ExpectPattern(image, 320);
}

// A primary monitor reaching past the screen is cut to what exists.
TEST(X11CaptureFallback, MonitorPastTheScreenEdgeIsClipped) {
  Xvfb x(kWidth, kHeight);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(x.Xrandr("--setmonitor '*wide' 640/100x360/100+320+0 none"));
  ASSERT_TRUE(PaintRoot(x.display(), [](int px, int py) {
    return TestPattern(px, py, kWidth, kHeight);
  }));
  const RgbImage image = MakeX11ScreenCapture(x.display())->CapturePrimary();
  EXPECT_EQ(image.width, 320);
  EXPECT_EQ(image.height, 360);
}

// A 16-bit screen goes through the general converter: channels scaled up to 8 bits.
TEST(X11CaptureFallback, SixteenBitScreenIsScaledTo24Bits) {
  Xvfb x(kWidth, kHeight, {}, 16);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(x.Xrandr("--setmonitor '*right' 320/100x360/100+320+0 none"));
  ASSERT_TRUE(PaintRoot(x.display(), [](int px, int py) {
    return TestPattern(px, py, kWidth, kHeight);
  }));
  const RgbImage image = MakeX11ScreenCapture(x.display())->CapturePrimary();
  ASSERT_EQ(image.width, 320);
  ASSERT_EQ(image.height, 360);
  int worst = 0;
  for (int y = 0; y < image.height; y += 3)
    for (int px = 0; px < image.width; px += 3) {
      const uint32_t want = TestPattern(320 + px, y, kWidth, kHeight);
      const uint32_t got = PixelAt(image, px, y);
      for (int shift : {16, 8, 0})
        worst = std::max(worst, std::abs(static_cast<int>((want >> shift) & 0xff) -
                                         static_cast<int>((got >> shift) & 0xff)));
    }
  EXPECT_LE(worst, 8);  // 5 bits lose at most 255/31
}

uint32_t Solid(uint32_t rgb) { return rgb; }

// The capture keeps its connection; when the server goes away and another takes the same
// display, the next capture reconnects instead of failing for good.
TEST(X11CaptureReuse, ReconnectsAfterTheServerRestarts) {
  // A number of its own: a server of a test running beside this one takes the lowest
  // free display, and would take ours while it stands empty.
  const std::string display = ":" + std::to_string(500 + getpid() % 400);
  auto first = std::make_unique<Xvfb>(kWidth, kHeight, std::vector<std::string>{display});
  if (!first->ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_EQ(first->display(), display);
  ASSERT_TRUE(PaintRoot(display, [](int, int) { return Solid(0x102030); }));
  auto capture = MakeX11ScreenCapture(display);
  EXPECT_EQ(PixelAt(capture->CapturePrimary(), 5, 5), 0x102030u);

  first.reset();
  EXPECT_THROW(capture->CapturePrimary(), ScreenCaptureError);  // nobody serves it now
  Xvfb second(kWidth, kHeight, {display});
  ASSERT_EQ(second.display(), display);
  ASSERT_TRUE(PaintRoot(display, [](int, int) { return Solid(0xa0b0c0); }));
  const RgbImage image = capture->CapturePrimary();
  ASSERT_EQ(image.width, kWidth);
  EXPECT_EQ(PixelAt(image, 5, 5), 0xa0b0c0u);
}

// Captures on several threads at once, while the screen changes colour: every reader
// sees one whole picture, never rows that a later capture wrote over its own.
TEST(X11CaptureReuse, ConcurrentCapturesNeverShareTheirPixels) {
  Xvfb x(kWidth, kHeight);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(PaintRoot(x.display(), [](int, int) { return Solid(0x0000ff); }));
  auto capture = MakeX11ScreenCapture(x.display());
  std::atomic<bool> stop{false};
  std::thread painter([&] {
    for (int i = 0; !stop; ++i)
      PaintRoot(x.display(), [i](int, int) { return Solid(i % 2 ? 0xff0000 : 0x00ff00); });
  });
  std::atomic<int> mixed{0}, reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      for (int i = 0; i < 25; ++i)
        capture->ReadPrimary([&](const PixelRows& rows) {
          ASSERT_EQ(rows.layout, PixelLayout::kBgrx);
          const uint32_t top = *reinterpret_cast<const uint32_t*>(rows.row(0)) & 0xffffff;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          const uint32_t bottom =
              *reinterpret_cast<const uint32_t*>(rows.row(rows.height - 1)) & 0xffffff;
          ++reads;
          if (top != bottom) ++mixed;
        });
    });
  for (auto& r : readers) r.join();
  stop = true;
  painter.join();
  EXPECT_EQ(reads, 100);
  EXPECT_EQ(mixed, 0);
}

TEST(X11CaptureErrors, NoDisplayIsAClearError) {
  // A display number nobody serves.
  try {
    MakeX11ScreenCapture(":32767")->CapturePrimary();
    FAIL() << "no error";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open the X display \":32767\"");
  }
  const char* saved = std::getenv("DISPLAY");
  const std::string keep = saved ? saved : "";
  unsetenv("DISPLAY");
  try {
    MakeX11ScreenCapture()->CapturePrimary();
    ADD_FAILURE() << "no error";
  } catch (const ScreenCaptureError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open the X display: DISPLAY is not set");
  }
  if (saved) setenv("DISPLAY", keep.c_str(), 1);
}

}  // namespace
}  // namespace velnaro
