#pragma once
// Starts the provisioning stand-in (php -S) on a free loopback port for one test suite,
// with its own state folder and reply file.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace velnaro::test {

using velnaro::testing::CanConnect;
using velnaro::testing::FreeLoopbackPort;
using velnaro::testing::ReadWholeFile;

inline void WriteWholeFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

class LabServer {
 public:
  LabServer() {
    char tmpl[] = "/tmp/velnaro-lab-XXXXXX";
    dir_ = mkdtemp(tmpl);
    std::filesystem::create_directories(dir_ / "state");
    std::filesystem::create_directories(dir_ / "files");
    WriteReply(ReadWholeFile(std::filesystem::path(VELNARO_SOURCE_DIR) /
                             "tools/lab/provisioning/replies/default.json"));
  }
  ~LabServer() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  bool Start() {
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = FreeLoopbackPort();
      pid_ = fork();
      if (pid_ == 0) {
        setenv("VELNARO_LAB_REPLY", (dir_ / "reply.json").c_str(), 1);
        setenv("VELNARO_LAB_STATE", (dir_ / "state").c_str(), 1);
        setenv("VELNARO_LAB_FILES", (dir_ / "files").c_str(), 1);
        std::string addr = "127.0.0.1:" + std::to_string(port_);
        std::string router = std::string(VELNARO_SOURCE_DIR) + "/tools/lab/provisioning/router.php";
        freopen("/dev/null", "w", stdout);
        freopen((dir_ / "php.log").c_str(), "w", stderr);
        execlp("php", "php", "-S", addr.c_str(), router.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      bool exited = false;
      for (int i = 0; i < 100 && !exited; ++i) {
        int status;
        if (CanConnect(port_)) {
          // Someone else may have taken the port: php then exits at once.
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          if (waitpid(pid_, &status, WNOHANG) == 0) return true;
          exited = true;
        } else if (waitpid(pid_, &status, WNOHANG) == pid_) {
          exited = true;
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
      }
      if (exited) pid_ = -1;
      Stop();
    }
    return false;
  }

  void Stop() {
    velnaro::testing::StopChild(pid_);
    pid_ = -1;
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void WriteReply(const std::string& text) const { WriteWholeFile(dir_ / "reply.json", text); }
  void PutFile(const std::string& name, const std::string& text) const {
    WriteWholeFile(dir_ / "files" / name, text);
  }
  std::string LastBody() const { return ReadWholeFile(dir_ / "state/last_body.txt"); }
  std::string LastPost() const { return ReadWholeFile(dir_ / "state/last_post.json"); }
  std::string LastHeaders() const { return ReadWholeFile(dir_ / "state/last_headers.json"); }
  std::string RequestLog() const { return ReadWholeFile(dir_ / "state/requests.log"); }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace velnaro::test
