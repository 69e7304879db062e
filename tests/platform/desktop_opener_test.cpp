// The desktop opener starts the handler detached and hands it the target unchanged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/desktop_opener.h"

namespace velnaro {
namespace {

class DesktopOpenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-opener-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    script_ = dir_ + "/opener";
    std::ofstream(script_) << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << dir_ << "/opened.tmp\"\n"
                           << "mv \"" << dir_ << "/opened.tmp\" \"" << dir_ << "/opened\"\n";
    chmod(script_.c_str(), 0755);
  }
  void TearDown() override {
    unsetenv("VELNARO_OPENER");
    std::filesystem::remove_all(dir_);
  }
  std::string WaitForOpened() {
    std::string path = dir_ + "/opened";
    for (int i = 0; i < 200 && access(path.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_, script_;
};

TEST_F(DesktopOpenerTest, HandsTheAddressOverUnchanged) {
  setenv("VELNARO_OPENER", script_.c_str(), 1);
  XdgDesktopOpener opener;
  std::string url = "http://10.1.2.3/velnaro/?ActionCode=OPEN&SoftwareVersion=4.00.002&ClientID=A B";
  EXPECT_TRUE(opener.Open(url));
  EXPECT_EQ(WaitForOpened(), url);
}

TEST_F(DesktopOpenerTest, MissingHandlerIsReported) {
  setenv("VELNARO_OPENER", (dir_ + "/no-such-opener").c_str(), 1);
  XdgDesktopOpener opener;
  EXPECT_FALSE(opener.Open("/tmp/setup.bin"));
}

}  // namespace
}  // namespace velnaro
