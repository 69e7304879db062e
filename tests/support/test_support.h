#pragma once
// Helpers every test folder needs: free loopback ports, connect probes, whole-file reads,
// fields of a control reply.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>

namespace velnaro::testing {

// A port the kernel just handed out on 127.0.0.1; free again when this returns, so a
// caller racing other tests retries if its server cannot bind.
inline int FreeLoopbackPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// True when something accepts TCP connections on 127.0.0.1:port.
inline bool CanConnect(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A field of a control reply ("Stato", "ChiamataStato", ...).
inline std::string Field(const std::string& reply, const std::string& key) {
  std::smatch m;
  std::regex re("\"" + key + "\": \"([^\"]*)\"");
  return std::regex_search(reply, m, re) ? m[1].str() : std::string();
}

// Polls done() until it holds or ms pass; the last look comes after the deadline.
template <typename F>
bool WaitUntil(F done, int ms = 10000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// Signals a child and reaps it, so no zombie or stray server outlives the test.
inline void StopChild(pid_t pid, int sig = SIGTERM) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  ::waitpid(pid, nullptr, 0);
}

// SIGTERM, then SIGKILL when the child has not ended within `grace_ms`; reaps it and
// returns its wait status.
inline int TerminateChild(pid_t pid, int grace_ms) {
  if (pid <= 0) return -1;
  ::kill(pid, SIGTERM);
  int status = 0;
  const bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, grace_ms);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return status;
}

}  // namespace velnaro::testing
