#include "platform/single_instance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velnaro {

namespace {

constexpr std::string_view kRestore = "RESTORE";
constexpr size_t kMaxToken = 256;
constexpr char kActivationTokenVariable[] = "XDG_ACTIVATION_TOKEN";

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

bool IsToken(std::string_view token) {
  return !token.empty() && token.size() <= kMaxToken &&
         std::all_of(token.begin(), token.end(), [](char c) { return c >= ' ' && c < 0x7f; });
}

// The desktop's token for the window this start would have shown. Launchers that predate
// XDG_ACTIVATION_TOKEN pass it on Wayland as the startup id. It leaves the environment so
// that nothing in this process spends it.
std::string TakeActivationToken() {
  std::string token;
  for (const char* name : {kActivationTokenVariable, "DESKTOP_STARTUP_ID"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    bool startup_id = std::string_view(name) != kActivationTokenVariable;
    if (startup_id && !std::getenv("WAYLAND_DISPLAY")) continue;
    if (token.empty()) token = value;
    unsetenv(name);
  }
  return token;
}

}  // namespace

std::string RestoreRequest(const std::string& activation_token) {
  std::string line(kRestore);
  if (IsToken(activation_token)) line += " " + activation_token;
  return line + "\n";
}

std::optional<std::string> ParseRestoreRequest(std::string_view line) {
  if (line.substr(0, kRestore.size()) != kRestore) return std::nullopt;
  line.remove_prefix(kRestore.size());
  if (line == "\n") return std::string();
  if (line.empty() || line.front() != ' ' || line.back() != '\n') return std::nullopt;
  std::string_view token = line.substr(1, line.size() - 2);
  return IsToken(token) ? std::optional<std::string>(token) : std::nullopt;
}

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
    if (err != EADDRINUSE) return true;
    activation_token_ = TakeActivationToken();
    return false;
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
    char buf[kRestore.size() + kMaxToken + 3] = {};
    size_t got = 0;
    while (got < sizeof buf - 1) {
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      ssize_t n = read(client, buf + got, sizeof buf - 1 - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (std::memchr(buf, '\n', got)) break;
    }
    std::string_view line(buf, got);
    size_t end = line.find('\n');
    if (end != std::string_view::npos) line = line.substr(0, end + 1);
    // The handler runs before the answer, so "OK" means the request has been taken.
    if (std::optional<std::string> token = ParseRestoreRequest(line)) {
      std::function<void(const std::string&)> handler;
      {
        std::lock_guard lock(mutex_);
        handler = handler_;
      }
      if (handler) handler(*token);
      (void)!write(client, "OK\n", 3);
    }
    close(client);
  }
}

bool UnixSocketInstanceGuard::AskHolderToRestore(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr;
  socklen_t len = MakeAddress(name, addr);
  bool ok = false;
  std::string request = RestoreRequest(activation_token_);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buf[4] = {};
    pollfd p{fd, POLLIN, 0};
    ok = poll(&p, 1, 2000) > 0 && read(fd, buf, 3) == 3 && std::strncmp(buf, "OK\n", 3) == 0;
  }
  close(fd);
  return ok;
}

void UnixSocketInstanceGuard::SetRestoreHandler(std::function<void()> handler) {
  if (!handler) return SetRestoreHandlerWithToken({});
  SetRestoreHandlerWithToken([handler = std::move(handler)](const std::string&) { handler(); });
}

void UnixSocketInstanceGuard::SetRestoreHandlerWithToken(
    std::function<void(const std::string& activation_token)> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

}  // namespace velnaro
