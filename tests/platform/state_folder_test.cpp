#include "platform/state_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace velnaro {
namespace {

unsigned Mode(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(StateFolder, FollowsXdgStateHomeElseTheHomeFolder) {
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_STATE_HOME", "/var/tmp/state", 1);
  EXPECT_EQ(AgentStateFolder(), "/var/tmp/state/velnaro-ds");
  setenv("XDG_STATE_HOME", "state", 1);  // not absolute: ignored
  EXPECT_EQ(AgentStateFolder(), std::string(std::getenv("HOME")) + "/.local/state/velnaro-ds");
  if (old) setenv("XDG_STATE_HOME", saved.c_str(), 1);
  else unsetenv("XDG_STATE_HOME");
}

// Missing folders are made for the owner alone; an existing one that others could read
// is closed to them.
TEST(StateFolder, FoldersAreMadeOwnerOnly) {
  char tmpl[] = "/tmp/velnaro-state-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl;
  EXPECT_EQ(MakeOwnerOnlyFolders(base + "/a/b/c"), 0);
  for (const std::string& p : {base + "/a", base + "/a/b", base + "/a/b/c"})
    EXPECT_EQ(Mode(p), 0700u) << p;
  chmod((base + "/a/b/c").c_str(), 0755);
  EXPECT_EQ(MakeOwnerOnlyFolders(base + "/a/b/c"), 0);
  EXPECT_EQ(Mode(base + "/a/b/c"), 0700u);
  EXPECT_EQ(MakeOwnerOnlyFolders("/proc/version/x"), ENOTDIR);
  std::filesystem::remove_all(base);
}

// A session's own runtime folder is kept; without one the program's private one is named.
TEST(StateFolder, EnvironmentIsSettledWithARuntimeFolder) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  SettleEnvironment();
  EXPECT_STREQ(std::getenv("XDG_RUNTIME_DIR"), "/run/user/1000");
  unsetenv("XDG_RUNTIME_DIR");
  SettleEnvironment();
  EXPECT_EQ(std::getenv("XDG_RUNTIME_DIR"), OwnRuntimeFolder());
  EXPECT_EQ(Mode(OwnRuntimeFolder()), 0700u);
  if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace velnaro
