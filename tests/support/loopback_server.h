#pragma once
// A TCP server on 127.0.0.1 for client tests: each connection goes to the test's own
// handler on a thread of its own. Handlers that wait (a receiver that stalls) watch
// released(), which turns true when the server goes away, so no test waits on them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velnaro::testing {

class LoopbackServer {
 public:
  using Handler = std::function<void(int fd, const LoopbackServer& server)>;

  // port 0: any free one.
  explicit LoopbackServer(Handler handler, int port = 0) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(listener_, 8) == 0) {
      socklen_t len = sizeof a;
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
      port_ = ntohs(a.sin_port);
      acceptor_ = std::thread([this] { Accept(); });
    }
  }
  ~LoopbackServer() {
    released_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    ::close(listener_);
    std::vector<std::thread> served;
    {
      std::lock_guard lock(mutex_);
      served.swap(served_);
    }
    for (auto& t : served) t.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return connections_.load(); }
  // Requests read whole by ReadRequest.
  int requests() const { return requests_.load(); }
  bool released() const { return released_.load(); }

  // Reads one request, its Content-Length body included; true when it came whole.
  bool ReadRequest(int fd) const {
    std::string data;
    char buf[4096];
    size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<size_t>(n));
    }
    size_t length = 0;
    if (const size_t at = data.find("Content-Length: "); at != std::string::npos && at < head_end)
      length = std::stoul(data.substr(at + 16));
    size_t body = data.size() - head_end - 4;
    while (body < length) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      body += static_cast<size_t>(n);
    }
    ++requests_;
    return true;
  }
  // Waits, a little at a time, until the server goes away.
  void WaitForRelease() const {
    while (!released()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // Handlers for the usual peers.
  static void Stall(int fd, const LoopbackServer& server) {
    if (server.ReadRequest(fd)) server.WaitForRelease();
  }
  static void AnswerOk(int fd, const LoopbackServer& server) {
    if (!server.ReadRequest(fd)) return;
    static constexpr char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    (void)!::send(fd, kOk, sizeof kOk - 1, MSG_NOSIGNAL);
  }

 private:
  void Accept() {
    while (true) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      ++connections_;
      std::lock_guard lock(mutex_);
      served_.emplace_back([this, fd] {
        handler_(fd, *this);
        ::close(fd);
      });
    }
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> served_;
  std::atomic<bool> released_{false};
  std::atomic<int> connections_{0};
  mutable std::atomic<int> requests_{0};
};

}  // namespace velnaro::testing
