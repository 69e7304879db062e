#include "control/screen_capture.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "../platform/screen_capture_xvfb.h"
#include "control/web_server.h"
#include "support/control_service.h"
#include "support/jpeg_decode.h"
#include "support/platform_fakes.h"

namespace velnaro {
namespace {

using Decoded = testing::DecodedJpeg;
using testing::DecodeJpeg;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
  }
  return names;
}

RgbImage Solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  RgbImage img{w, h, {}};
  img.pixels.resize(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < img.pixels.size(); i += 3) {
    img.pixels[i] = r;
    img.pixels[i + 1] = g;
    img.pixels[i + 2] = b;
  }
  return img;
}

// Every test gets its own TEMP folder.
class ScreenShot : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-shot-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("TEMP", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (const auto& n : ListDir(dir_)) unlink((dir_ + "/" + n).c_str());
    chmod(dir_.c_str(), 0700);
    rmdir(dir_.c_str());
    unsetenv("TEMP");
  }
  std::string dir_;
};

TEST_F(ScreenShot, SavesABaselineJfifAtQuality90UnderTheTimeStampedName) {
  FakeScreenCapture capture(Solid(64, 48, 200, 30, 90));
  FakeClock clock({2026, 12, 8, 14, 30, 5, 123});
  const std::string path = SalvaScreenShot(capture, clock);
  EXPECT_EQ(path, dir_ + "/img143005123.jpg");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the operator's screen is for the operator only
  const auto bytes = ReadFile(path);
  ASSERT_GT(bytes.size(), 4u);
  // SOF0 (baseline) and no SOF2 (progressive).
  bool sof0 = false, sof2 = false;
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) sof0 = true;
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC2) sof2 = true;
  }
  EXPECT_TRUE(sof0);
  EXPECT_FALSE(sof2);
  const Decoded d = DecodeJpeg(bytes);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 64);
  EXPECT_EQ(d.height, 48);
  EXPECT_EQ(d.components, 3);
  EXPECT_TRUE(d.jfif);
  EXPECT_FALSE(d.progressive);
  EXPECT_EQ(d.luma_q0, 3);
  EXPECT_NEAR(d.At(10, 10, 0), 200, 4);
  EXPECT_NEAR(d.At(10, 10, 1), 30, 4);
  EXPECT_NEAR(d.At(10, 10, 2), 90, 4);
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"img143005123.jpg"});  // nothing aside
}

TEST_F(ScreenShot, ButtonLogsThePath) {
  testing::ControlService server;
  FakeScreenCapture capture(Solid(8, 8, 1, 2, 3));
  FakeClock clock({2026, 1, 2, 3, 4, 5, 6});
  Button1Click(server.status, capture, clock);
  ASSERT_FALSE(server.status.memoLogs().empty());
  EXPECT_EQ(server.status.memoLogs().back(), "system/SCREENSHOT: " + dir_ + "/img030405006.jpg");
}

// Captures in the same millisecond used to write one file at the same time; now the
// name always holds one whole picture, whichever writer came last.
TEST_F(ScreenShot, SameMillisecondCapturesNeverLeaveAMixedFile) {
  FakeClock clock({2026, 1, 1, 9, 0, 0, 0});
  const std::string path = dir_ + "/img090000000.jpg";
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    while (!stop) {
      const auto bytes = ReadFile(path);
      if (bytes.empty()) continue;  // not there yet
      ++reads;
      const Decoded d = DecodeJpeg(bytes);
      if (!d.ok || d.width != 320) {
        ++bad;
        continue;
      }
      // One writer's colour throughout: first and last pixel agree.
      if (std::abs(d.At(0, 0, 0) - d.At(319, 239, 0)) > 8) ++bad;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      FakeScreenCapture capture(Solid(320, 240, static_cast<uint8_t>(t * 60), 0, 0));
      for (int i = 0; i < 30; ++i) SalvaScreenShot(capture, clock);
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
  EXPECT_EQ(ListDir(dir_), std::vector<std::string>{"img090000000.jpg"});
}

TEST_F(ScreenShot, FailuresPropagateAndLeaveNothing) {
  testing::ControlService server;
  FakeScreenCapture capture(Solid(8, 8, 0, 0, 0));
  capture.SetError("Cannot open the X display \":9\"");
  EXPECT_THROW(Button1Click(server.status, capture), ScreenCaptureError);
  EXPECT_TRUE(server.status.memoLogs().empty());

  if (geteuid() != 0) {  // root writes anywhere
    capture.SetError("");
    chmod(dir_.c_str(), 0500);
    FakeClock clock({2026, 1, 1, 1, 2, 3, 4});
    try {
      SalvaScreenShot(capture, clock);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot create file \"" + dir_ + "/img010203004.jpg\". Permission denied");
    }
    chmod(dir_.c_str(), 0700);
  }
  EXPECT_TRUE(ListDir(dir_).empty());
}

// The real display: two monitors, the second primary; the file holds only that one.
TEST_F(ScreenShot, CapturesThePrimaryOfTwoMonitorsUnderXvfb) {
  constexpr int kW = 1280, kH = 720;
  testing::Xvfb x(kW, kH);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(x.Xrandr("--setmonitor left 640/100x720/100+0+0 none"));
  ASSERT_TRUE(x.Xrandr("--setmonitor '*right' 640/100x720/100+640+0 none"));
  ASSERT_TRUE(testing::PaintRoot(x.display(), [](int px, int py) {
    return testing::TestPattern(px, py, kW, kH);
  }));
  auto capture = MakeX11ScreenCapture(x.display());
  const std::string path = SalvaScreenShot(*capture);
  const std::string name = path.substr(dir_.size() + 1);
  EXPECT_EQ(path.substr(0, dir_.size() + 1), dir_ + "/");
  ASSERT_EQ(name.size(), 16u);  // img + nine digits + .jpg
  EXPECT_EQ(name.substr(0, 3), "img");
  EXPECT_EQ(name.find_first_not_of("0123456789", 3), 12u);
  EXPECT_EQ(name.substr(12), ".jpg");
  const Decoded d = DecodeJpeg(ReadFile(path));
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(d.width, 640);
  ASSERT_EQ(d.height, 720);
  int worst = 0;
  for (int y = 0; y < kH; y += 7)
    for (int px = 0; px < 640; px += 7) {
      const uint32_t want = testing::TestPattern(640 + px, y, kW, kH);
      for (int c = 0; c < 3; ++c) {
        const int expected = static_cast<int>((want >> (16 - 8 * c)) & 0xFF);
        worst = std::max(worst, std::abs(d.At(px, y, c) - expected));
      }
    }
  EXPECT_LE(worst, 12);  // smooth gradients: JPEG error stays small
}

// One display of 1920 by 1080: the file is that size, under img + nine digits + .jpg.
TEST_F(ScreenShot, FullHdDisplayGivesAFullHdPicture) {
  testing::Xvfb x(1920, 1080);
  if (!x.ok()) GTEST_SKIP() << "Xvfb not available";
  ASSERT_TRUE(testing::PaintRoot(x.display(), [](int px, int py) {
    return testing::TestPattern(px, py, 1920, 1080);
  }));
  testing::ControlService server;
  auto capture = MakeX11ScreenCapture(x.display());
  Button1Click(server.status, *capture);
  const std::string line = server.status.memoLogs().back();
  const std::string prefix = "system/SCREENSHOT: " + dir_ + "/img";
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  const Decoded d = DecodeJpeg(ReadFile(line.substr(std::string("system/SCREENSHOT: ").size())));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.width, 1920);
  EXPECT_EQ(d.height, 1080);
  EXPECT_NEAR(d.At(1919, 1079, 0), 255, 12);  // bottom-right corner of the right half
  EXPECT_NEAR(d.At(0, 0, 2), 40, 12);         // top-left of the left half
}

}  // namespace
}  // namespace velnaro
