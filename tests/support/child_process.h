#pragma once
// A child process for tests: its arguments, environment changes and one output file for
// both standard streams; stopped (SIGTERM, then SIGKILL) and reaped when it goes away.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace velnaro::testing {

class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
        const std::string& output, bool clean_env = false) {
    Start(args, env, output, clean_env);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  void Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
             const std::string& output, bool clean_env = false) {
    output_ = output;
    std::map<std::string, std::string> all;
    if (!clean_env) {
      for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
      }
    }
    for (const auto& [k, v] : env) {
      if (v.empty())
        all.erase(k);
      else
        all[k] = v;
    }
    std::vector<std::string> envs;
    for (const auto& [k, v] : all) envs.push_back(k + "=" + v);
    std::vector<char*> envp, argv;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> a = args;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    // A peer started during a call would keep the agent's RTP socket open: bound to the
    // same port, it took the next call's sound.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }

  pid_t pid() const { return pid_; }
  bool Running() {
    if (pid_ <= 0) return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_status_ = status;
      pid_ = -1;
      return false;
    }
    return true;
  }
  // Waits for the end; the wait status, or -1 on timeout.
  int Wait(int ms) {
    if (!WaitUntil([&] { return !Running(); }, ms)) return -1;
    return exit_status_;
  }
  // SIGTERM, then SIGKILL after a grace period; the wait status.
  int Stop(int grace_ms = 5000) {
    if (Running()) {
      exit_status_ = TerminateChild(pid_, grace_ms);
      pid_ = -1;
    }
    return exit_status_;
  }
  std::string Output() const { return ReadWholeFile(output_); }

 private:
  pid_t pid_ = -1;
  int exit_status_ = -1;
  std::string output_;
};

}  // namespace velnaro::testing
