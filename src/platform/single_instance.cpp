#include "platform/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/state_folder.h"
#include "platform/thread_name.h"

namespace velnaro {

namespace {

constexpr std::string_view kRestore = "RESTORE";
constexpr size_t kMaxToken = 256;
constexpr char kActivationTokenVariable[] = "XDG_ACTIVATION_TOKEN";

// A socket file's address; false when the path does not fit.
bool MakeAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

// The same user, or the administrator, may ask for the window.
bool PeerIsOurUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == ::geteuid() || cred.uid == 0;
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

std::string InstanceFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder =
      runtime && runtime[0] == '/' ? std::string(runtime) + "/velnaro-ds" : OwnRuntimeFolder();
  return PrivateFolder(folder) ? folder : std::string();
}

UnixSocketInstanceGuard::UnixSocketInstanceGuard(std::string folder) : folder_(std::move(folder)) {}

UnixSocketInstanceGuard::~UnixSocketInstanceGuard() {
  if (server_.joinable()) {
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    server_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(socket_path_.c_str());  // still ours: the lock is held until below
  }
  if (lock_fd_ >= 0) close(lock_fd_);
  if (wake_[0] >= 0) close(wake_[0]);
  if (wake_[1] >= 0) close(wake_[1]);
}

std::string UnixSocketInstanceGuard::SocketPath(const std::string& name) const {
  std::string file = name;
  std::replace(file.begin(), file.end(), '/', '_');
  return folder_ + "/" + file + ".sock";
}

bool UnixSocketInstanceGuard::Claim(const std::string& name) {
  if (lock_fd_ >= 0) return true;
  // Cannot tell whether another copy runs: let this one run rather than refuse it.
  sockaddr_un addr;
  const std::string socket_path = SocketPath(name);
  if (folder_.empty() || !MakeAddress(socket_path, addr)) return true;
  const std::string lock_path = socket_path.substr(0, socket_path.size() - 5) + ".lock";
  int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) return true;
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(lock);
    if (err != EWOULDBLOCK) return true;
    activation_token_ = TakeActivationToken();
    return false;
  }
  lock_fd_ = lock;
  // The name is ours: a socket left there belongs to a copy that has ended.
  unlink(socket_path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    close(fd);
    return true;
  }
  listen_fd_ = fd;
  socket_path_ = socket_path;
  server_ = std::thread([this] {
    NameThisThread("instance");
    Serve();
  });
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
    if (!PeerIsOurUser(client)) {
      close(client);
      continue;
    }
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
      // An asker that has given up must not take this process down with SIGPIPE.
      (void)!send(client, "OK\n", 3, MSG_NOSIGNAL);
    }
    close(client);
  }
}

bool UnixSocketInstanceGuard::AskHolderToRestore(const std::string& name) {
  sockaddr_un addr;
  if (folder_.empty() || !MakeAddress(SocketPath(name), addr)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = false;
  std::string request = RestoreRequest(activation_token_);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
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
