#include "control/http_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "control/http_response.h"

namespace velnaro {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSpareThreads = 8;  // workers kept waiting in accept()

std::string PeerText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
    if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
      inet_ntop(AF_INET, &a.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    }
  }
  return text;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for the socket to become ready; false when the deadline passed first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int ms = MillisecondsUntil(deadline);
    if (ms == 0) return false;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

bool SendAll(int fd, const std::string& data, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// After an early answer the client may still be sending; closing with unread bytes would
// reset the connection and could destroy the answer before the client reads it.
void DrainBriefly(int fd) {
  ::shutdown(fd, SHUT_WR);
  const auto until = Clock::now() + std::chrono::seconds(1);
  char sink[4096];
  size_t total = 0;
  while (total < (1u << 20)) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n > 0) {
      total += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLIN, until)) return;
    } else {
      return;
    }
  }
}

int OpenListener(int family, uint16_t port, int backlog, int& bind_errno) {
  bind_errno = 0;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    bind_errno = errno;
    return -1;
  }
  const int one = 1, zero = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int r;
  if (family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (r == 0) r = ::listen(fd, backlog);
  if (r != 0) {
    bind_errno = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

HttpEndpoint::HttpEndpoint(TwebServer& server, EndpointOptions options)
    : server_(server), options_(std::move(options)) {}

HttpEndpoint::~HttpEndpoint() { Stop(); }

void HttpEndpoint::Start(uint16_t port) {
  if (listen_fd_ >= 0) throw std::logic_error("endpoint already started");
  int err = 0;
  int fd = -1;
  dual_stack_ = false;
  if (options_.ipv6) {
    fd = OpenListener(AF_INET6, port, options_.backlog, err);
    dual_stack_ = fd >= 0;
  }
  if (fd < 0 && err != EADDRINUSE) fd = OpenListener(AF_INET, port, options_.backlog, err);
  if (fd < 0) {
    if (err == EADDRINUSE) throw std::runtime_error(kBindFailure);
    throw std::runtime_error(std::string("Could not bind socket. ") + std::strerror(err));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  listen_fd_ = fd;
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    idle_ = 0;
  }
  keeper_ = std::thread([this] { KeeperLoop(); });
}

void HttpEndpoint::Stop() {
  if (listen_fd_ < 0) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : active_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  spare_cv_.notify_all();
  keeper_.join();
  ::shutdown(listen_fd_, SHUT_RDWR);  // wakes every worker blocked in accept()
  ThreadList threads;
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(threads_mutex_);
    threads.swap(threads_);
    finished.swap(finished_);
  }
  for (auto& t : threads) t.join();
  for (auto& t : finished) t.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
}

size_t HttpEndpoint::thread_count() const {
  std::lock_guard lock(threads_mutex_);
  return threads_.size();
}

size_t HttpEndpoint::connection_count() const {
  std::lock_guard lock(mutex_);
  return active_fds_.size();
}

void HttpEndpoint::KeeperLoop() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      spare_cv_.wait(lock, [this] { return stopping_ || idle_ < kSpareThreads; });
      if (stopping_) return;
      ++idle_;  // counted from now, so the worker's first accept needs no bookkeeping
    }
    std::lock_guard lock(threads_mutex_);
    for (auto& t : finished_) t.join();
    finished_.clear();
    threads_.emplace_back();
    auto self = std::prev(threads_.end());
    *self = std::thread([this, self] { WorkerLoop(self); });
  }
}

void HttpEndpoint::WorkerLoop(ThreadList::iterator self) {
  HttpRequestReader reader(options_.limits);
  std::string response;
  response.reserve(1024);
  for (;;) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      const int e = errno;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let others free some
      }
      continue;
    }
    bool short_of_spares;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      active_fds_.insert(fd);
      short_of_spares = --idle_ < kSpareThreads;
    }
    if (short_of_spares) spare_cv_.notify_one();
    Serve(fd, PeerText(addr), reader, response);
    bool retire = false;
    {
      std::lock_guard lock(mutex_);
      active_fds_.erase(fd);
      // Closed only after leaving active_fds_, so Stop never touches a reused number.
      ::close(fd);
      if (stopping_) return;
      if (idle_ >= options_.max_idle_threads) {
        retire = true;
      } else {
        ++idle_;
      }
    }
    if (retire) {
      std::lock_guard lock(threads_mutex_);
      finished_.push_back(std::move(*self));
      threads_.erase(self);
      return;
    }
  }
}

void HttpEndpoint::Serve(int fd, const std::string& peer, HttpRequestReader& reader,
                         std::string& response) {
  const auto deadline = Clock::now() + options_.request_deadline;
  reader.Reset();
  char buf[16 * 1024];
  HttpRequestReader::State state = HttpRequestReader::State::kNeedMore;
  bool timed_out = false;
  while (state == HttpRequestReader::State::kNeedMore) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      state = reader.Feed(std::string_view(buf, static_cast<size_t>(n)));
    } else if (n == 0) {
      if (reader.empty()) return;  // connected and left without a word
      state = reader.FeedEof();
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(fd, POLLIN, deadline)) {
        timed_out = true;
        break;
      }
    } else {
      return;  // reset by the peer, or cut by Stop
    }
  }
  const auto send_deadline = Clock::now() + options_.request_deadline;
  if (timed_out || state == HttpRequestReader::State::kError) {
    ErrorResponse(timed_out ? 408 : reader.error_status(), response);
    if (SendAll(fd, response, send_deadline)) DrainBriefly(fd);
    return;
  }
  ServeRequest(server_, reader.request(), peer, response);
  SendAll(fd, response, send_deadline);
}

}  // namespace velnaro
