#pragma once
// Runs a function in a forked child inside a fresh network namespace of its own, after
// shell set-up commands (ip link / ip addr) ran there. Only root can do this; callers
// skip otherwise. The child's result travels back as text through a pipe.

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace velnaro::test {

inline bool IsRoot() { return geteuid() == 0; }

struct NetnsResult {
  bool ok = false;     // namespace made, set-up ran, child exited normally
  std::string error;   // why not
  std::string output;  // what the function returned
};

inline NetnsResult RunInNewNetns(const std::vector<std::string>& setup,
                                 const std::function<std::string()>& fn) {
  NetnsResult r;
  int fds[2];
  if (pipe(fds) != 0) {
    r.error = "pipe failed";
    return r;
  }
  pid_t pid = fork();
  if (pid < 0) {
    r.error = "fork failed";
    return r;
  }
  if (pid == 0) {
    ::close(fds[0]);
    auto fail = [&](const std::string& why) {
      std::string s = "!" + why;
      (void)!::write(fds[1], s.data(), s.size());
      _exit(3);
    };
    if (unshare(CLONE_NEWNET) != 0) fail("unshare(CLONE_NEWNET) failed");
    for (const auto& cmd : setup) {
      std::string quiet = cmd + " >/dev/null 2>&1";
      if (std::system(quiet.c_str()) != 0) fail("set-up failed: " + cmd);
    }
    std::string out = "=" + fn();
    size_t off = 0;
    while (off < out.size()) {
      ssize_t w = ::write(fds[1], out.data() + off, out.size() - off);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
    _exit(0);
  }
  ::close(fds[1]);
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!all.empty() && all[0] == '!') {
    r.error = all.substr(1);
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || all.empty()) {
    r.error = "child failed";
  } else {
    r.ok = true;
    r.output = all.substr(1);
  }
  return r;
}

}  // namespace velnaro::test
