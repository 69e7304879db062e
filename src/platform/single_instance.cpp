#include "platform/single_instance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace velnaro {

namespace {

constexpr char kRestore[] = "RESTORE\n";

// Abstract address: a leading NUL, then the name; the length excludes any terminator.
socklen_t MakeAddress(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  // The user's id keeps the name per user, as a session-local name would be: another
  // operator of the same machine is neither refused nor sent our restore requests.
  std::string full = "velnaro-ds/" + std::to_string(getuid()) + "/" + name;
  size_t n = std::min(full.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, full.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

}  // namespace

UnixSocketInstanceGuard::~UnixSocketInstanceGuard() {
  if (server_.joinable()) {
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    server_.join();
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

bool UnixSocketInstanceGuard::Claim(const std::string& name) {
  if (listen_fd_ >= 0) return true;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;  // cannot tell: let this copy run rather than refuse it
  sockaddr_un addr;
  socklen_t len = MakeAddress(name, addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    int err = errno;
    close(fd);
    return err != EADDRINUSE;
  }
  if (listen(fd, 4) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
    close(fd);
    return true;
  }
  listen_fd_ = fd;
  server_ = std::thread([this] { Serve(); });
  return true;
}

void UnixSocketInstanceGuard::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    // Read one short line, never waiting long for a silent peer.
    char buf[32] = {};
    size_t got = 0;
    while (got < sizeof buf - 1) {
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      ssize_t n = read(client, buf + got, sizeof buf - 1 - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (std::memchr(buf, '\n', got)) break;
    }
    bool restore = std::strncmp(buf, kRestore, sizeof kRestore - 1) == 0;
    if (restore) (void)!write(client, "OK\n", 3);
    close(client);
    if (restore) {
      std::function<void()> handler;
      {
        std::lock_guard lock(mutex_);
        handler = handler_;
      }
      if (handler) handler();
    }
  }
}

bool UnixSocketInstanceGuard::AskHolderToRestore(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  socklen_t len = MakeAddress(name, addr);
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      write(fd, kRestore, sizeof kRestore - 1) == static_cast<ssize_t>(sizeof kRestore - 1)) {
    char buf[4] = {};
    pollfd p{fd, POLLIN, 0};
    ok = poll(&p, 1, 2000) > 0 && read(fd, buf, 3) == 3 && std::strncmp(buf, "OK\n", 3) == 0;
  }
  close(fd);
  return ok;
}

void UnixSocketInstanceGuard::SetRestoreHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

}  // namespace velnaro
