// The support log on real files: where it goes, who may read it, what a line looks like,
// rotation, secrets, and writers that never wait for a stuck disk.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <thread>

#include "platform/support_log.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using velnaro::testing::ReadWholeFile;

class SupportLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-log-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  std::string dir_;
};

TEST(SupportLogPathTest, StateFolderElseHome) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string saved_state = state ? state : "", saved_home = home ? home : "";
  setenv("HOME", "/home/op", 1);
  setenv("XDG_STATE_HOME", "/var/state/op", 1);
  EXPECT_EQ(SupportLogPath(), "/var/state/op/velnaro-ds/velnaro-ds.log");
  setenv("XDG_STATE_HOME", "relative/state", 1);  // invalid by the XDG rules
  EXPECT_EQ(SupportLogPath(), "/home/op/.local/state/velnaro-ds/velnaro-ds.log");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(SupportLogPath(), "/home/op/.local/state/velnaro-ds/velnaro-ds.log");
  unsetenv("HOME");
  EXPECT_EQ(SupportLogPath(), "");
  EXPECT_FALSE(SupportLogFile({.path = SupportLogPath()}).error().empty());
  if (state) setenv("XDG_STATE_HOME", saved_state.c_str(), 1);
  if (home) setenv("HOME", saved_home.c_str(), 1);
}

// Even under a permissive umask the folders and the file are the user's alone.
TEST_F(SupportLogTest, OwnerOnlyLinesWithTimeLevelAndSource) {
  mode_t old_umask = umask(0);
  std::string path = dir_ + "/state/velnaro-ds/velnaro-ds.log";
  {
    SupportLogFile log({.path = path});
    ASSERT_EQ(log.error(), "");
    SupportLog(LogLevel::kInfo, "phone", "Telefono On-Line");
    SupportLog(LogLevel::kWarning, "sip", "two\nlines\r and a bell \a");
    SupportLog(LogLevel::kError, "config", "bad value");
  }
  umask(old_umask);
  SupportLog(LogLevel::kInfo, "phone", "after the close: nowhere");
  EXPECT_EQ(Mode(dir_ + "/state"), 0700u);
  EXPECT_EQ(Mode(dir_ + "/state/velnaro-ds"), 0700u);
  EXPECT_EQ(Mode(path), 0600u);

  std::string text = ReadWholeFile(path);
  std::regex iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d \[info\] phone: Telefono On-Line$)");
  std::smatch m;
  std::string first = text.substr(0, text.find('\n'));
  EXPECT_TRUE(std::regex_match(first, m, iso)) << first;
  EXPECT_THAT(text, HasSubstr("[warning] sip: two\\nlines\\r and a bell \\x07\n"));
  EXPECT_THAT(text, HasSubstr("[error] config: bad value\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

// A widened folder of our own is made private again; the file is not passed to children.
TEST_F(SupportLogTest, ReopenedLogTightensItsFolderAndAppends) {
  std::string folder = dir_ + "/velnaro-ds", path = folder + "/velnaro-ds.log";
  mkdir(folder.c_str(), 0755);
  chmod(folder.c_str(), 0755);
  for (const char* line : {"first run", "second run"}) {
    SupportLogFile log({.path = path});
    ASSERT_EQ(log.error(), "");
    SupportLog(LogLevel::kInfo, "startup", line);
  }
  EXPECT_EQ(Mode(folder), 0700u);
  std::string text = ReadWholeFile(path);
  EXPECT_THAT(text, HasSubstr("startup: first run\n"));
  EXPECT_THAT(text, HasSubstr("startup: second run\n"));

  SupportLogFile log({.path = path});
  int fd = open(path.c_str(), O_RDONLY);  // the lowest free descriptors are below the log's
  bool cloexec_everywhere = true;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) != path) continue;
    int n = std::stoi(entry.path().filename().string());
    if (n != fd && !(fcntl(n, F_GETFD) & FD_CLOEXEC)) cloexec_everywhere = false;
  }
  close(fd);
  EXPECT_TRUE(cloexec_everywhere);
}

TEST_F(SupportLogTest, RotatesAtTheSizeKeepingTheNewestFiles) {
  std::string path = dir_ + "/velnaro-ds.log";
  {
    SupportLogFile log({.path = path, .max_size = 1000, .max_files = 3});
    ASSERT_EQ(log.error(), "");
    for (int i = 0; i < 100; ++i)
      SupportLog(LogLevel::kInfo, "service", "line " + std::to_string(i) + std::string(40, '.'));
  }
  for (const char* name : {"/velnaro-ds.log", "/velnaro-ds.1.log", "/velnaro-ds.2.log"}) {
    EXPECT_EQ(Mode(dir_ + name), 0600u) << name;
    EXPECT_LE(std::filesystem::file_size(dir_ + name), 1000u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/velnaro-ds.3.log"));
  EXPECT_THAT(ReadWholeFile(path), HasSubstr("service: line 99."));
  EXPECT_THAT(ReadWholeFile(dir_ + "/velnaro-ds.2.log"), Not(HasSubstr("line 0.")));
}

TEST_F(SupportLogTest, SecretsNeverReachTheFile) {
  std::string path = dir_ + "/velnaro-ds.log";
  {
    SupportLogFile log({.path = path});
    ConcealInSupportLog("");  // nothing to hide: lines stay as they are
    ConcealInSupportLog("pw1");
    ConcealInSupportLog("pw1-longer");  // contains the other: masked whole
    SupportLog(LogLevel::kInfo, "sip", "auth pw1-longer and pw1 and pw1pw1");
    SupportLog(LogLevel::kInfo, "sip", "nothing secret here");
  }
  std::string text = ReadWholeFile(path);
  EXPECT_THAT(text, Not(HasSubstr("pw1")));
  EXPECT_THAT(text, Not(HasSubstr("longer")));
  EXPECT_THAT(text, HasSubstr("sip: auth ******** and ******** and ****************\n"));
  EXPECT_THAT(text, HasSubstr("sip: nothing secret here\n"));
}

// A library complaining on every audio block: its line is written 20 times, then counted,
// and the history before it survives the rotation the flood would otherwise cause.
TEST_F(SupportLogTest, FloodOfOneLineIsCountedNotWritten) {
  std::string path = dir_ + "/velnaro-ds.log";
  {
    SupportLogFile log({.path = path, .max_size = 4000, .max_files = 2});
    SupportLog(LogLevel::kInfo, "phone", "Telefono On-Line");
    for (int i = 0; i < 100000; ++i) {
      SupportLog(LogLevel::kWarning, "sip", "too many samples to drop");
      if (i % 10000 == 0) SupportLog(LogLevel::kInfo, "phone", "call " + std::to_string(i));
    }
  }
  std::string text = ReadWholeFile(path);
  EXPECT_THAT(text, HasSubstr("phone: Telefono On-Line\n"));
  EXPECT_THAT(text, HasSubstr("phone: call 90000\n"));
  EXPECT_THAT(text, HasSubstr("sip: too many samples to drop ... repeated 99,980 times in the last "));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/velnaro-ds.1.log"));
}

// The file is a pipe nobody reads: the writing thread is stuck, the callers are not. The
// oldest queued lines give way to the newest.
TEST_F(SupportLogTest, WritersNeverWaitForAStuckFile) {
  std::string path = dir_ + "/velnaro-ds.log";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto log = std::make_unique<SupportLogFile>(SupportLogOptions{.path = path});
  ASSERT_EQ(log->error(), "");
  constexpr int kLines = 30000;  // about 3 MB, far beyond the pipe's buffer
  auto writer = std::async(std::launch::async, [] {
    for (int i = 0; i < kLines; ++i)
      SupportLog(LogLevel::kInfo, "sip", "line " + std::to_string(i) + std::string(80, '.'));
  });
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "a writer waited for the file";

  fcntl(reader, F_SETFL, 0);
  std::string seen;
  std::thread drain([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0) seen.append(buf, static_cast<size_t>(n));
  });
  log.reset();  // writes what is queued, then closes: the reader sees the end
  drain.join();
  close(reader);
  EXPECT_THAT(seen, HasSubstr("sip: line " + std::to_string(kLines - 1) + "."));
  EXPECT_LT(std::count(seen.begin(), seen.end(), '\n'), kLines);
}

}  // namespace
}  // namespace velnaro
