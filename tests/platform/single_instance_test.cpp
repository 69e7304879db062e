// The single-instance guard between real processes: the holder is a forked child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/single_instance.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

std::string UniqueName(const char* tag) {
  return std::string(tag) + "-" + std::to_string(getpid());
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

TEST(SingleInstance, AnotherUserOfTheMachineRunsItsOwnCopy) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  std::string name = UniqueName("34.00.002-user");
  UnixSocketInstanceGuard holder;
  ASSERT_TRUE(holder.Claim(name));
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    UnixSocketInstanceGuard other;
    _exit(other.Claim(name) && !other.AskHolderToRestore(name + "-x") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SingleInstance, SilentPeerDoesNotBlockTheHolder) {
  std::string name = UniqueName("silent");
  UnixSocketInstanceGuard holder;
  std::atomic<int> restores{0};
  holder.SetRestoreHandler([&] { ++restores; });
  ASSERT_TRUE(holder.Claim(name));
  // A peer that connects and says nothing, or something else, is dropped.
  int silent = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string full = "velnaro-ds/" + std::to_string(getuid()) + "/" + name;
  std::memcpy(addr.sun_path + 1, full.data(), full.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
  int noisy = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(noisy, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(write(noisy, "HELLO\n", 6), 6);
  close(noisy);
  UnixSocketInstanceGuard asker;
  EXPECT_TRUE(asker.AskHolderToRestore(name));
  close(silent);
  EXPECT_EQ(restores.load(), 1);
}

}  // namespace
}  // namespace velnaro
