#pragma once
// Test peers for uploads: PHP's built-in server running the lab receiver, and a raw
// one-shot HTTP server that keeps the request's bytes.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace velnaro::testing {

// Binds fd to a free loopback port, listens, and returns the port.
inline int ListenOnLoopback(int fd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  listen(fd, 4);
  return ntohs(a.sin_port);
}

inline std::vector<std::string> SubDirs(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return out;
}

// php -S 127.0.0.1:<free port> with the lab router; uploads land in dir().
class PhpUploadServer {
 public:
  explicit PhpUploadServer(int status = 200) {
    char tmpl[] = "/tmp/velnaro-uploads-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    if (access("/usr/bin/php", X_OK) != 0) return;
    const std::string router = std::string(VELNARO_SOURCE_DIR) + "/tools/lab/upload/router.php";
    for (int attempt = 0; attempt < 3 && !ok(); ++attempt) {
      port_ = FreeLoopbackPort();
      pid_ = fork();
      if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // no orphan if the test crashes
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        setenv("VELNARO_UPLOAD_DIR", dir_.c_str(), 1);
        setenv("VELNARO_UPLOAD_STATUS", std::to_string(status).c_str(), 1);
        const std::string listen = "127.0.0.1:" + std::to_string(port_);
        execl("/usr/bin/php", "php", "-d", "upload_max_filesize=4G", "-d", "post_max_size=4G",
              "-S", listen.c_str(), router.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int i = 0; i < 100 && !ready_; ++i) {
        if (CanConnect(port_)) ready_ = true;
        else if (waitpid(pid_, nullptr, WNOHANG) == pid_) { pid_ = -1; break; }
        else std::this_thread::sleep_for(std::chrono::milliseconds(30));
      }
    }
  }
  ~PhpUploadServer() {
    StopChild(pid_);
    if (!dir_.empty()) {
      const std::string cmd = "rm -rf '" + dir_ + "'";
      (void)std::system(cmd.c_str());
    }
  }
  PhpUploadServer(const PhpUploadServer&) = delete;
  PhpUploadServer& operator=(const PhpUploadServer&) = delete;

  bool ok() const { return ready_; }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& dir() const { return dir_; }
  std::vector<std::string> Uploads() const { return SubDirs(dir_); }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  bool ready_ = false;
  std::string dir_;
};

// Accepts one connection, reads one request (headers and Content-Length body, of which
// at most keep bytes are kept), answers with response.
class RawHttpServer {
 public:
  static constexpr const char* kOk =
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  explicit RawHttpServer(std::string response = kOk,
                         size_t keep = 1 << 20, std::function<void()> before_reply = {})
      : response_(std::move(response)), keep_(keep), before_reply_(std::move(before_reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    port_ = ListenOnLoopback(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawHttpServer() { Finish(); }

  // Stops listening and waits for the served request, if any, to be complete.
  void Finish() {
    if (!thread_.joinable()) return;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& head() { Finish(); return head_; }
  const std::string& body() { Finish(); return body_; }
  size_t body_bytes() { Finish(); return body_bytes_; }
  bool connected() { Finish(); return connected_; }

 private:
  void Serve() {
    const int c = accept(listener_, nullptr, nullptr);
    if (c < 0) return;
    connected_ = true;
    std::string data;
    char buf[65536];
    size_t header_end = std::string::npos;
    while (header_end == std::string::npos) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
      header_end = data.find("\r\n\r\n");
    }
    if (header_end != std::string::npos) {
      head_ = data.substr(0, header_end + 4);
      size_t length = 0;
      const auto at = head_.find("Content-Length: ");
      if (at != std::string::npos) length = std::stoull(head_.substr(at + 16));
      std::string rest = data.substr(header_end + 4);
      body_bytes_ = rest.size();
      body_ = rest.substr(0, keep_);
      while (body_bytes_ < length) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        body_bytes_ += static_cast<size_t>(n);
        if (body_.size() < keep_)
          body_.append(buf, std::min(static_cast<size_t>(n), keep_ - body_.size()));
      }
      if (before_reply_) before_reply_();
      (void)!send(c, response_.data(), response_.size(), MSG_NOSIGNAL);
    }
    close(c);
  }

  std::string response_;
  size_t keep_;
  std::function<void()> before_reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string head_, body_;
  size_t body_bytes_ = 0;
  bool connected_ = false;
};


// Answers as soon as the request's body has begun, before reading it, as a server that
// redirects or refuses early does; then takes the rest of the body only after a pause,
// so the client is still sending when the answer arrives. One connection.
class EarlyAnswerServer {
 public:
  explicit EarlyAnswerServer(std::string response) : response_(std::move(response)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 64 * 1024;  // a small window: the client cannot send everything ahead
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    port_ = ListenOnLoopback(listener_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~EarlyAnswerServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    const int c = accept(listener_, nullptr, nullptr);
    if (c < 0) return;
    std::string data;
    char buf[65536];
    // The head and the first bytes of the body: the client has started sending it.
    while (data.find("\r\n\r\n") == std::string::npos ||
           data.size() <= data.find("\r\n\r\n") + 4) {
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    (void)!send(c, response_.data(), response_.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (recv(c, buf, sizeof buf, 0) > 0) {
    }
    close(c);
  }

  std::string response_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace velnaro::testing
