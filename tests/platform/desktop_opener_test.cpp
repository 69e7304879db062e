// The desktop opener starts the handler detached and hands it the target unchanged; an
// installer that is a program runs on its own.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
  std::string WaitForOpened(const std::string& name = "opened") {
    std::string path = dir_ + "/" + name;
    for (int i = 0; i < 200 && access(path.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    chmod((dir_ + "/" + name).c_str(), 0600);
  }
  mode_t Mode(const std::string& name) {
    struct stat st {};
    stat((dir_ + "/" + name).c_str(), &st);
    return st.st_mode & 07777;
  }
  std::string dir_, script_;
};

TEST_F(DesktopOpenerTest, ProgramsRunDirectlyDocumentsDoNot) {
  std::filesystem::copy_file("/bin/true", dir_ + "/setup-elf");
  Write("setup.sh", "#!/bin/sh\necho installing\n");
  Write("VelnaroDS.AppImage", std::string("\x7f" "ELF\x02\x01\x01\0AI\x02", 11) + "rest");
  Write("velnaro-ds_4.01.000_amd64.deb", "!<arch>\ndebian-binary   ");
  Write("notes.txt", "#not a script\n");
  Write("empty.bin", "");
  EXPECT_TRUE(RunsDirectly(dir_ + "/setup-elf"));
  EXPECT_TRUE(RunsDirectly(dir_ + "/setup.sh"));
  EXPECT_TRUE(RunsDirectly(dir_ + "/VelnaroDS.AppImage"));
  EXPECT_FALSE(RunsDirectly(dir_ + "/velnaro-ds_4.01.000_amd64.deb"));
  EXPECT_FALSE(RunsDirectly(dir_ + "/notes.txt"));
  EXPECT_FALSE(RunsDirectly(dir_ + "/empty.bin"));
  EXPECT_FALSE(RunsDirectly(dir_ + "/missing"));
}

// Started from a thread that blocks the stop signals and holds a descriptor open, as the
// agent's threads do: the installer sees neither, and leads a session of its own.
TEST_F(DesktopOpenerTest, InstallerProgramRunsOnItsOwn) {
  setenv("VELNARO_OPENER", script_.c_str(), 1);
  Write("setup.sh", "#!/bin/sh\nreport=\"" + dir_ + "/report\"\n"
        "{ echo \"pid $$ session $(cut -d' ' -f6 /proc/$$/stat)\"\n"
        "  for f in /proc/$$/fd/*; do echo \"fd $(readlink $f)\"; done\n"
        // grep's own mask, which the shell passes on: the shell itself blocks every
        // signal for a moment around each fork.
        "  grep SigBlk /proc/self/status; } > \"$report.tmp\"\n"
        "mv \"$report.tmp\" \"$report\"\n");
  int leak = open((dir_ + "/held-open").c_str(), O_WRONLY | O_CREAT, 0600);
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  XdgDesktopOpener opener;
  EXPECT_TRUE(opener.StartInstaller(dir_ + "/setup.sh"));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(leak);

  EXPECT_EQ(Mode("setup.sh"), 0700u);
  std::string report = WaitForOpened("report");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(report, m, std::regex("pid (\\d+) session (\\d+)"))) << report;
  EXPECT_EQ(m[1], m[2]);
  EXPECT_THAT(report, ::testing::HasSubstr("fd /dev/null"));
  EXPECT_THAT(report, ::testing::Not(::testing::HasSubstr("held-open")));
  EXPECT_THAT(report, ::testing::HasSubstr("SigBlk:\t0000000000000000"));
  EXPECT_EQ(access((dir_ + "/opened").c_str(), F_OK), -1);  // not handed to the opener
}

// A package goes to the desktop's handler as a double-click would; it is not made
// executable.
TEST_F(DesktopOpenerTest, PackageGoesToTheOpener) {
  setenv("VELNARO_OPENER", script_.c_str(), 1);
  Write("velnaro-ds_4.01.000_amd64.deb", "!<arch>\ndebian-binary   ");
  XdgDesktopOpener opener;
  EXPECT_TRUE(opener.StartInstaller(dir_ + "/velnaro-ds_4.01.000_amd64.deb"));
  EXPECT_EQ(WaitForOpened(), dir_ + "/velnaro-ds_4.01.000_amd64.deb");
  EXPECT_EQ(Mode("velnaro-ds_4.01.000_amd64.deb"), 0600u);
}

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
