#include "control/socket_io.h"

#include <sys/socket.h>

#include <cerrno>

namespace velnaro {
namespace {

int MillisecondsUntil(SocketClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SocketClock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

bool WaitReady(int fd, short events, SocketClock::time_point deadline) {
  for (;;) {
    const int ms = MillisecondsUntil(deadline);
    if (ms == 0) return false;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

std::optional<size_t> SendNow(int fd, std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      return std::nullopt;
    }
  }
  return sent;
}

bool SendAll(int fd, std::string_view bytes, SocketClock::time_point deadline,
             SocketClock::duration idle) {
  for (;;) {
    const auto sent = SendNow(fd, bytes);
    if (!sent) return false;
    bytes.remove_prefix(*sent);
    if (bytes.empty()) return true;
    if (*sent > 0 && idle != SocketClock::duration::zero()) deadline = SocketClock::now() + idle;
    if (!WaitReady(fd, POLLOUT, deadline)) return false;
  }
}

void DrainBriefly(int fd) {
  ::shutdown(fd, SHUT_WR);
  const auto until = SocketClock::now() + std::chrono::seconds(1);
  char sink[4096];
  size_t total = 0;
  while (total < (1u << 20)) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (n > 0) {
      total += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLIN, until)) return;
    } else {
      return;
    }
  }
}

}  // namespace velnaro
