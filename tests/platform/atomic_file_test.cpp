// A file replaced piece by piece: the old contents stay until the new ones are whole.

#include "platform/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace velnaro {
namespace {

namespace fs = std::filesystem;

using velnaro::testing::ReadWholeFile;

class FileReplacementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-replace-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = (dir_ / "file.bin").string();
    std::ofstream(path_, std::ios::binary) << "old";
  }
  void TearDown() override { fs::remove_all(dir_); }
  size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
  std::string path_;
};

TEST_F(FileReplacementTest, PiecesAndAPatchedHeadArriveOnlyOnCommit) {
  FileReplacement file(path_, FileAccess::kUsual);
  ASSERT_EQ(file.error(), 0);
  EXPECT_TRUE(file.Write("----body"));
  EXPECT_TRUE(file.Write(" more"));
  EXPECT_TRUE(file.WriteAt(0, "HEAD"));
  EXPECT_EQ(ReadWholeFile(path_), "old");
  EXPECT_EQ(Entries(), 2u);
  EXPECT_EQ(file.Commit(true), 0);
  EXPECT_EQ(ReadWholeFile(path_), "HEADbody more");
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(FileReplacementTest, DroppedOrFailedLeavesTheOldFileAndNothingBeside) {
  {
    FileReplacement file(path_, FileAccess::kUsual);
    file.Write("half");
  }
  EXPECT_EQ(ReadWholeFile(path_), "old");
  EXPECT_EQ(Entries(), 1u);

  // The target name is a folder: the rename fails, and the error is kept.
  const std::string folder = (dir_ / "folder").string();
  fs::create_directory(folder);
  fs::create_directory(folder + "/inside");
  FileReplacement file(folder, FileAccess::kUsual);
  EXPECT_TRUE(file.Write("x"));
  const int error = file.Commit(false);
  EXPECT_NE(error, 0);
  EXPECT_EQ(file.error(), error);
  EXPECT_FALSE(file.Write("y"));
  EXPECT_EQ(Entries(), 2u);

  FileReplacement nowhere((dir_ / "missing/file").string(), FileAccess::kUsual);
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_EQ(nowhere.Commit(false), ENOENT);
}

TEST_F(FileReplacementTest, OwnerOnlyIgnoresTheUmask) {
  const mode_t old_mask = umask(0);
  EXPECT_EQ(ReplaceFile(path_, "secret", FileAccess::kOwnerOnly, false), 0);
  EXPECT_EQ(ReplaceFile(path_ + "2", "plain", FileAccess::kUsual, false), 0);
  umask(old_mask);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((path_ + "2").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(ReadWholeFile(path_), "secret");
}

}  // namespace
}  // namespace velnaro
