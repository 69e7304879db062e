#include "platform/desktop_opener.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/thread_name.h"

extern char** environ;

namespace velnaro {
namespace {

// Starts `program` (with `argument` unless it is empty) in a session of its own (out of our
// terminal's group), its standard input (and with `quiet` its output) on /dev/null, none of
// our other descriptors open. The child is reaped when it ends, so it leaves no zombie.
bool SpawnDetached(const std::string& program, const std::string& argument, bool search_path,
                   bool quiet) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Our threads block the stop signals (one thread waits for them); the child starts with
  // none blocked and every signal at its default.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);

  std::string name = program, arg = argument;
  char* argv[] = {name.data(), arg.empty() ? nullptr : arg.data(), nullptr};
  pid_t pid = 0;
  int rc = search_path ? posix_spawnp(&pid, name.c_str(), &actions, &attr, argv, environ)
                       : posix_spawn(&pid, name.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;

  std::thread([pid] {
    NameThisThread("reaper");
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace

bool RunsDirectly(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[4] = {};
  ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) return true;
  return n >= 2 && head[0] == '#' && head[1] == '!';
}

bool XdgDesktopOpener::Open(const std::string& target) {
  const char* custom = std::getenv("VELNARO_OPENER");
  std::string program = (custom && *custom) ? custom : "xdg-open";
  return SpawnDetached(program, target, true, false);
}

bool XdgDesktopOpener::StartInstaller(const std::string& path) {
  if (!RunsDirectly(path)) return Open(path);
  // The download is the user's alone (0600); running it needs the owner's execute bit.
  if (::chmod(path.c_str(), 0700) != 0) return false;
  return SpawnDetached(path, "", false, true);
}

}  // namespace velnaro
