// The single-instance guard between real processes: the holder is a forked child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/single_instance.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

std::string UniqueName(const char* tag) {
  return std::string(tag) + "-" + std::to_string(getpid());
}

// Every test runs with a runtime folder of its own, as a desktop session gives one.
class RuntimeFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-instance-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static inline std::string dir_;
};
::testing::Environment* const kRuntimeFolder =
    ::testing::AddGlobalTestEnvironment(new RuntimeFolder);

constexpr uid_t kNobody = 65534;

// Runs `body` in a child that has become the unprivileged user "nobody", with a runtime
// folder of that user's own; its exit status (2 when the change of user failed).
template <typename Body>
int AsNobody(Body body) {
  char tmpl[] = "/var/tmp/velnaro-nobody-XXXXXX";  // /tmp may be closed to other users
  if (!mkdtemp(tmpl) || chown(tmpl, kNobody, kNobody) != 0) return 2;
  std::string run = tmpl;
  pid_t child = fork();
  if (child == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::filesystem::remove_all(run);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

// Forks a child that claims name, reports on a pipe, and exits 7 after one restore request
// carrying `token` (8 after one with another token), or waits to be killed when
// wait_for_restore is false.
pid_t StartHolder(const std::string& name, bool wait_for_restore, const std::string& token = "") {
  int p[2];
  if (pipe(p) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    UnixSocketInstanceGuard guard;
    std::atomic<int> restored{0};
    guard.SetRestoreHandlerWithToken([&](const std::string& received) {
      restored = received == token ? 7 : 8;
    });
    char ok = guard.Claim(name) ? 'Y' : 'N';
    (void)!write(p[1], &ok, 1);
    for (int i = 0; i < 1000; ++i) {
      if (wait_for_restore && restored) _exit(restored);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    _exit(1);
  }
  close(p[1]);
  char ok = 0;
  (void)!read(p[0], &ok, 1);
  close(p[0]);
  if (ok != 'Y') {
    velnaro::testing::StopChild(pid, SIGKILL);
    return -1;
  }
  return pid;
}

TEST(SingleInstance, SecondProcessIsRefusedAndRestoresTheFirst) {
  std::string name = UniqueName("34.00.002");
  pid_t holder = StartHolder(name, true);
  ASSERT_GT(holder, 0);

  unsetenv("XDG_ACTIVATION_TOKEN");
  UnixSocketInstanceGuard second;
  EXPECT_FALSE(second.Claim(name));
  EXPECT_TRUE(second.AskHolderToRestore(name));
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);  // the holder received the restore request

  // The name is free again once the holder has gone.
  UnixSocketInstanceGuard third;
  EXPECT_TRUE(third.Claim(name));
}

// A start from a Wayland launcher hands its activation token to the running copy, and
// keeps nothing of it in its own environment.
TEST(SingleInstance, SecondStartHandsItsActivationTokenToTheHolder) {
  // The variable of today's launchers, and on Wayland the startup id of older ones.
  const std::pair<const char*, std::string> starts[] = {
      {"XDG_ACTIVATION_TOKEN", "launcher-4711_TIME1234"},
      {"DESKTOP_STARTUP_ID", "gnome-shell-1200-host-velnaro-ds-3_TIME99"}};
  for (const auto& [variable, token] : starts) {
    std::string name = UniqueName(variable);
    pid_t holder = StartHolder(name, true, token);
    ASSERT_GT(holder, 0);
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    setenv(variable, token.c_str(), 1);
    UnixSocketInstanceGuard second;
    EXPECT_FALSE(second.Claim(name));
    EXPECT_EQ(std::getenv(variable), nullptr);
    EXPECT_TRUE(second.AskHolderToRestore(name));
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7) << variable;
    unsetenv("WAYLAND_DISPLAY");
  }
}

TEST(SingleInstance, RestoreRequestCarriesOnlyAPrintableToken) {
  EXPECT_EQ(RestoreRequest(""), "RESTORE\n");
  EXPECT_EQ(RestoreRequest("kwin-1a2b_TIME99"), "RESTORE kwin-1a2b_TIME99\n");
  EXPECT_EQ(ParseRestoreRequest(RestoreRequest("kwin-1a2b_TIME99")), "kwin-1a2b_TIME99");
  EXPECT_EQ(ParseRestoreRequest("RESTORE\n"), "");
  EXPECT_EQ(ParseRestoreRequest(RestoreRequest("shell/Velnaro DS/7")), "shell/Velnaro DS/7");
  // A token that would break the line, or is too long to be one, is not sent at all.
  for (const std::string& bad : {std::string("line\nbreak"), std::string("tab\t"),
                                 std::string("\x7f"), std::string("\xc3\xa8"), std::string(257, 'x')})
    EXPECT_EQ(RestoreRequest(bad), "RESTORE\n");
  EXPECT_EQ(ParseRestoreRequest(RestoreRequest(std::string(256, 'x'))), std::string(256, 'x'));
  for (const char* not_restore : {"HELLO\n", "RESTORED\n", "RESTORE \n", "RESTORE a\tb\n",
                                  "RESTORE token", "restore\n", ""})
    EXPECT_EQ(ParseRestoreRequest(not_restore), std::nullopt) << not_restore;
}

TEST(SingleInstance, KilledHolderReleasesTheName) {
  std::string name = UniqueName("crash");
  pid_t holder = StartHolder(name, false);
  ASSERT_GT(holder, 0);
  UnixSocketInstanceGuard probe;
  EXPECT_FALSE(probe.Claim(name));
  velnaro::testing::StopChild(holder, SIGKILL);
  EXPECT_TRUE(probe.Claim(name));
  EXPECT_FALSE(probe.AskHolderToRestore(name + "-nobody"));
}

TEST(SingleInstance, OtherVersionRunsSideBySide) {
  std::string base = UniqueName("3");
  pid_t holder = StartHolder(base + "4.00.002", false);
  ASSERT_GT(holder, 0);
  UnixSocketInstanceGuard other;
  EXPECT_TRUE(other.Claim(base + "4.00.003"));
  velnaro::testing::StopChild(holder, SIGKILL);
}

TEST(SingleInstance, TheGuardLivesInAFolderOfTheUsersOwn) {
  std::string folder = InstanceFolder();
  EXPECT_EQ(folder, RuntimeFolder::dir_ + "/velnaro-ds");
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  chmod(folder.c_str(), 0755);  // widened by hand: made private again
  EXPECT_EQ(InstanceFolder(), folder);
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Another user of the machine (here "nobody") can neither take the operator's name first,
// nor reach the operator's copy, nor plant the folder the guard would use; and runs a copy
// of its own.
TEST(SingleInstance, AnotherUserCannotBlockOrPokeTheOperatorsCopy) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  std::string name = UniqueName("34.00.002-user");
  const std::string operators_folder = InstanceFolder();
  // First the other user starts its own copy, tries the operator's folder as well, and
  // keeps running.
  int ready[2], finish[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(finish), 0);
  pid_t squatter = fork();
  if (squatter == 0) {
    _exit(AsNobody([&] {
      UnixSocketInstanceGuard guard, operators(operators_folder);
      operators.Claim(name);  // out of reach: claims nothing
      char ok = !InstanceFolder().empty() && guard.Claim(name) ? 'Y' : 'N';
      (void)!write(ready[1], &ok, 1);
      char c;
      (void)!read(finish[0], &c, 1);
      return 0;
    }));
  }
  char squatter_claimed = 0;
  ASSERT_EQ(read(ready[0], &squatter_claimed, 1), 1);
  EXPECT_EQ(squatter_claimed, 'Y');  // its own copy runs

  UnixSocketInstanceGuard holder;
  std::atomic<int> restores{0};
  holder.SetRestoreHandler([&] { ++restores; });
  EXPECT_TRUE(holder.Claim(name));  // not blocked
  (void)!write(finish[1], "x", 1);
  int status = 0;
  waitpid(squatter, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // Poking: through the guard, and straight at the socket. Made reachable on purpose, the
  // socket still refuses a stranger.
  std::string socket_path = holder.SocketPath(name);
  EXPECT_EQ(AsNobody([&] { return UnixSocketInstanceGuard(InstanceFolder()).AskHolderToRestore(name) ? 1 : 0; }), 0);
  chmod(RuntimeFolder::dir_.c_str(), 0755);
  chmod(operators_folder.c_str(), 0755);
  chmod(socket_path.c_str(), 0777);
  EXPECT_EQ(AsNobody([&] {
              UnixSocketInstanceGuard direct(operators_folder);
              return direct.AskHolderToRestore(name) ? 1 : 0;
            }),
            0);
  chmod(RuntimeFolder::dir_.c_str(), 0700);
  chmod(operators_folder.c_str(), 0700);
  EXPECT_EQ(restores.load(), 0);
  UnixSocketInstanceGuard own;
  EXPECT_TRUE(own.AskHolderToRestore(name));
  EXPECT_EQ(restores.load(), 1);

  // A folder planted where the guard would go is not used: that start runs unguarded
  // rather than being refused or talking to the planter.
  std::string planted = RuntimeFolder::dir_ + "/planted";
  mkdir(planted.c_str(), 0777);
  chmod(planted.c_str(), 0777);
  ASSERT_EQ(chown(planted.c_str(), kNobody, kNobody), 0);
  setenv("XDG_RUNTIME_DIR", planted.c_str(), 1);
  mkdir((planted + "/velnaro-ds").c_str(), 0777);
  chown((planted + "/velnaro-ds").c_str(), kNobody, kNobody);
  EXPECT_EQ(InstanceFolder(), "");
  UnixSocketInstanceGuard unguarded;
  EXPECT_TRUE(unguarded.Claim(name));
  EXPECT_FALSE(unguarded.AskHolderToRestore(name));
  setenv("XDG_RUNTIME_DIR", RuntimeFolder::dir_.c_str(), 1);
}

TEST(SingleInstance, SilentOrHastyPeersDoNotHarmTheHolder) {
  std::string name = UniqueName("silent");
  UnixSocketInstanceGuard holder;
  std::atomic<int> restores{0};
  std::atomic<bool> hasty_gone{false};
  holder.SetRestoreHandler([&] {
    // The first asker leaves before its answer: the answer then meets a closed socket.
    if (++restores == 1)
      velnaro::testing::WaitUntil([&] { return hasty_gone.load(); }, 5000);
  });
  ASSERT_TRUE(holder.Claim(name));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = holder.SocketPath(name);
  std::memcpy(addr.sun_path, path.data(), path.size());
  socklen_t len = sizeof addr;
  int hasty = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(hasty, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(write(hasty, "RESTORE\n", 8), 8);
  ASSERT_TRUE(velnaro::testing::WaitUntil([&] { return restores.load() == 1; }, 5000));
  close(hasty);
  hasty_gone = true;
  // A peer that connects and says nothing, or something else, is dropped.
  int silent = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
  int noisy = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(noisy, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(write(noisy, "HELLO\n", 6), 6);
  close(noisy);
  UnixSocketInstanceGuard asker;
  EXPECT_TRUE(asker.AskHolderToRestore(name));  // the holder lived on
  close(silent);
  EXPECT_EQ(restores.load(), 2);
}

}  // namespace
}  // namespace velnaro
