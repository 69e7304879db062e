#include "platform/user_store.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/platform_fakes.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

using velnaro::testing::ReadWholeFile;

class FileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-store-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ / "velnaro/VelnaroDS.json";
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Plant(const std::string& text) {
    fs::create_directories(path_.parent_path());
    std::ofstream(path_, std::ios::binary) << text;
  }
  fs::path dir_, path_;
};

TEST_F(FileStoreTest, MissingFileHoldsNoKeysAndReadingCreatesNothing) {
  FileUserStore s(path_.string());
  EXPECT_FALSE(s.KeyExists("Software\\Velnaro\\VelnaroDS"));
  EXPECT_FALSE(s.OpenKey("Software\\Velnaro\\VelnaroDS\\", false));
  EXPECT_EQ(s.ReadString("ClientID"), "");
  EXPECT_FALSE(fs::exists(path_.parent_path()));
}

TEST_F(FileStoreTest, CreateWriteReadAcrossInstances) {
  {
    FileUserStore s(path_.string());
    ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS\\", true));
    EXPECT_TRUE(fs::exists(path_));  // the key exists once created
    EXPECT_EQ(s.ReadString("ClientID"), "");
    s.WriteString("ClientID", "DSM3030\"\\\xC3\xA8");
    s.CloseKey();
  }
  FileUserStore s(path_.string());
  // Paths match with or without the trailing backslash and in any case.
  EXPECT_TRUE(s.KeyExists("Software\\Velnaro\\VelnaroDS"));
  EXPECT_TRUE(s.KeyExists("SOFTWARE\\velnaro\\VelnaroDS\\"));
  EXPECT_FALSE(s.KeyExists("Software\\Velnaro"));
  ASSERT_TRUE(s.OpenKey("software\\velnaro\\velnaroDS", false));
  EXPECT_EQ(s.ReadString("ClientID"), "DSM3030\"\\\xC3\xA8");
  EXPECT_EQ(s.ReadString("CLIENTID"), "DSM3030\"\\\xC3\xA8");  // value names too
  EXPECT_EQ(s.ReadString("Other"), "");
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::others_read, fs::perms::none);
}

TEST_F(FileStoreTest, KeysAndValuesKeepTheSpellingTheyWereCreatedWith) {
  Plant(R"({"Software\\Morvel\\VelnaroDS\\": {"clientid": "DSMOLD"}})");
  FileUserStore s(path_.string());
  ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS\\", true));
  s.WriteString("ClientID", "DSM1");
  s.WriteString("CLIENTID", "DSM2");  // the same value
  ASSERT_TRUE(s.OpenKey("SOFTWARE\\MORVEL\\VELNARODS", false));
  EXPECT_EQ(s.ReadString("ClientID"), "DSMOLD");
  s.WriteString("ClientID", "DSMOLD2");
  std::string text = ReadWholeFile(path_);
  EXPECT_NE(text.find(R"("Software\\Velnaro\\VelnaroDS": {)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("ClientID": "DSM2")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("Software\\Morvel\\VelnaroDS": {)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("clientid": "DSMOLD2")"), std::string::npos) << text;
  EXPECT_EQ(text.find("DSM1"), std::string::npos) << text;
}

TEST_F(FileStoreTest, ValueTypes) {
  Plant(R"({"Software\\Velnaro\\VelnaroDS": {
      "plain": "a", "expand": {"type": "expand_string", "data": "%TEMP%\\x"},
      "dword": {"type": "dword", "data": 7}, "number": 7, "bin": {"type": "binary", "data": "00ff"},
      "multi": ["a", "b"]}})");
  FileUserStore s(path_.string());
  ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS", false));
  EXPECT_EQ(s.ReadString("plain"), "a");
  EXPECT_EQ(s.ReadString("expand"), "%TEMP%\\x");
  for (const char* name : {"dword", "number", "bin", "multi"}) {
    try {
      s.ReadString(name);
      ADD_FAILURE() << name;
    } catch (const StoreError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid data type for '") + name + "'");
    }
  }
  // Rewriting one value keeps the others and their types.
  s.WriteString("plain", "b");
  FileUserStore again(path_.string());
  ASSERT_TRUE(again.OpenKey("Software\\Velnaro\\VelnaroDS", false));
  EXPECT_EQ(again.ReadString("plain"), "b");
  EXPECT_EQ(again.ReadString("expand"), "%TEMP%\\x");
  EXPECT_THROW(again.ReadString("dword"), StoreError);
}

TEST_F(FileStoreTest, UnparsableFileHoldsNoKeysAndIsNeverOverwritten) {
  const std::string garbage = "{\"Software\\\\Velnaro\\\\VelnaroDS\": {\"ClientID\": \"DSM";
  Plant(garbage);
  FileUserStore s(path_.string());
  EXPECT_FALSE(s.KeyExists("Software\\Velnaro\\VelnaroDS"));
  EXPECT_FALSE(s.OpenKey("Software\\Velnaro\\VelnaroDS", true));
  EXPECT_THROW(s.WriteString("ClientID", "x"), StoreError);
  EXPECT_EQ(ReadWholeFile(path_), garbage);
  for (const char* bad : {"[]", "{\"k\": 5}", "{\"k\": {\"v\": {\"type\": \"weird\"}}}"}) {
    Plant(bad);
    EXPECT_FALSE(s.OpenKey("k", true)) << bad;
    EXPECT_EQ(ReadWholeFile(path_), bad);
  }
}

TEST_F(FileStoreTest, UnreachableFileFailsWritesWithTheErrorText) {
  // The store's folder is a regular file: nothing can be read or written below it.
  fs::create_directories(dir_);
  std::ofstream(dir_ / "velnaro") << "not a folder";
  FileUserStore s(path_.string());
  EXPECT_FALSE(s.KeyExists("Software\\Velnaro\\VelnaroDS"));
  EXPECT_FALSE(s.OpenKey("Software\\Velnaro\\VelnaroDS", true));
  try {
    s.WriteString("ClientID", "x");
    ADD_FAILURE();
  } catch (const StoreError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'ClientID'");
  }
}

TEST_F(FileStoreTest, WriteFailureAfterOpeningRaisesAndKeepsTheOldFile) {
  FileUserStore s(path_.string());
  ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS", true));
  s.WriteString("ClientID", "first");
  std::string before = ReadWholeFile(path_);
  // Swap the folder for a file of the same name so the write cannot land (permission
  // bits would not stop root).
  fs::rename(path_.parent_path(), dir_ / "moved");
  std::ofstream(dir_ / "velnaro") << "blocker";
  EXPECT_THROW(s.WriteString("ClientID", "second"), StoreError);
  fs::remove(dir_ / "velnaro");
  fs::rename(dir_ / "moved", path_.parent_path());
  EXPECT_EQ(ReadWholeFile(path_), before);
  for (auto& e : fs::directory_iterator(path_.parent_path()))
    EXPECT_EQ(e.path().filename(), "VelnaroDS.json");  // no temporary left behind
}

TEST_F(FileStoreTest, KilledWriterNeverLeavesAHalfWrittenStore) {
  {
    FileUserStore s(path_.string());
    ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS", true));
    s.WriteString("ClientID", "DSM0");
  }
  for (int round = 0; round < 15; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      FileUserStore s(path_.string());
      if (!s.OpenKey("Software\\Velnaro\\VelnaroDS", true)) _exit(1);
      std::string big(20000, 'x');
      for (int i = 0; i < 100000; ++i) s.WriteString("ClientID", "DSM" + std::to_string(i) + big);
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + round * 2));
    velnaro::testing::StopChild(pid, SIGKILL);
    FileUserStore s(path_.string());
    ASSERT_TRUE(s.OpenKey("Software\\Velnaro\\VelnaroDS", false)) << "round " << round;
    EXPECT_EQ(s.ReadString("ClientID").substr(0, 3), "DSM");
  }
}

TEST(DefaultUserStorePath, FollowsXdgConfigHomeThenHome) {
  std::string old_xdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  bool had_xdg = std::getenv("XDG_CONFIG_HOME") != nullptr;
  std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(DefaultUserStorePath(), "/tmp/xdg/velnaro/VelnaroDS.json");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  setenv("HOME", "/home/op", 1);
  EXPECT_EQ(DefaultUserStorePath(), "/home/op/.config/velnaro/VelnaroDS.json");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(DefaultUserStorePath(), "/home/op/.config/velnaro/VelnaroDS.json");
  // Without HOME the account's home directory, not a folder every user can write.
  unsetenv("HOME");
  const passwd* pw = getpwuid(getuid());
  if (pw && pw->pw_dir && *pw->pw_dir) {
    EXPECT_EQ(DefaultUserStorePath(), std::string(pw->pw_dir) + "/.config/velnaro/VelnaroDS.json");
  }
  if (had_xdg) setenv("XDG_CONFIG_HOME", old_xdg.c_str(), 1);
  setenv("HOME", old_home.c_str(), 1);
}

TEST(FakeUserStore, BehavesLikeTheFileStore) {
  FakeUserStore s;
  EXPECT_FALSE(s.OpenKey("A\\B", false));
  ASSERT_TRUE(s.OpenKey("A\\B\\", true));
  s.WriteString("v", "1");
  EXPECT_TRUE(s.KeyExists("a\\b"));
  EXPECT_EQ(s.ReadString("v"), "1");
  s.Set("A\\B", "d", {StoreValueType::kDword, "1"});
  EXPECT_THROW(s.ReadString("d"), StoreError);
  s.CloseKey();
  EXPECT_THROW(s.WriteString("v", "2"), StoreError);
}

}  // namespace
}  // namespace velnaro
