#include "control/http_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <system_error>

#include "control/event_streams.h"
#include "control/http_response.h"
#include "control/socket_io.h"
#include "net/port_number.h"
#include "platform/thread_name.h"

namespace velnaro {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSpareThreads = 8;  // idle workers kept beyond the queued connections
// While every worker is busy the acceptor looks this often whether one has come free.
constexpr int kCeilingPollMs = 50;

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

UniqueFd OpenListener(int family, uint16_t port, int backlog, bool loopback, int& bind_errno) {
  bind_errno = 0;
  UniqueFd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int fd = socket.get();
  if (fd < 0) {
    bind_errno = errno;
    return socket;
  }
  const int one = 1, zero = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int r;
  if (family == AF_INET6) {
    // On ::1 alone the socket is IPv6 only; 127.0.0.1 has its own.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, loopback ? &one : &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
    a.sin6_port = htons(port);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    a.sin_port = htons(port);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (r == 0) r = ::listen(fd, backlog);
  // Hand a connection over only once its first bytes are there: the worker then reads at
  // once instead of sleeping again, and a connection that never speaks holds no thread.
  const int defer_seconds = 1;
  if (r == 0) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds, sizeof defer_seconds);
  }

  if (r != 0) {
    bind_errno = errno;
    return UniqueFd();
  }
  return socket;
}

}  // namespace

HttpEndpoint::HttpEndpoint(RequestHandler& handler, EndpointOptions options)
    : handler_(handler), options_(std::move(options)) {
  // Under the hardened profile no page is known yet to give the cross-origin headers to.
  std::string headers(options_.access && options_.access->hardened() ? "" : kOpenCrossOrigin);
  headers += "Retry-After: 1\r\n";
  OwnResponse(503, headers, "too many requests at once", busy_);
}

HttpEndpoint::~HttpEndpoint() { Stop(); }

std::optional<uint16_t> HttpEndpoint::ParsePort(std::string_view text) {
  return ParsePortNumber(text);
}

void HttpEndpoint::Start(uint16_t port) {
  if (listen_fd_) throw std::logic_error("endpoint already started");
  int err = 0;
  UniqueFd fd, fd6;
  dual_stack_ = false;
  const bool loopback = options_.loopback_only;
  if (options_.ipv6 && !loopback) {
    fd = OpenListener(AF_INET6, port, options_.backlog, false, err);
    dual_stack_ = static_cast<bool>(fd);
  }
  if (!fd && err != EADDRINUSE) fd = OpenListener(AF_INET, port, options_.backlog, loopback, err);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (fd) ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  if (fd && loopback && options_.ipv6) {
    // ::1 on the same port; a system without IPv6 serves 127.0.0.1 alone, but a port
    // another program holds on ::1 is as taken as on 127.0.0.1.
    fd6 = OpenListener(AF_INET6, port_, options_.backlog, true, err);
    if (!fd6 && err == EADDRINUSE) fd.reset();
  }
  if (!fd) {
    if (err == EADDRINUSE) throw std::runtime_error(kBindFailure);
    throw std::runtime_error(std::string("Could not bind socket. ") + std::strerror(err));
  }
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
  UniqueFd queued(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake || !queued)
    throw std::runtime_error("Could not create the endpoint's wake-up descriptor");
  listen_fd6_ = std::move(fd6);
  listen_fd_ = std::move(fd);
  wake_fd_ = std::move(wake);
  queue_fd_ = std::move(queued);
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    waiting_ = serving_ = 0;
  }
  keeper_ = std::thread([this] { KeeperLoop(); });
  acceptor_ = std::thread([this] { AcceptorLoop(); });
}

void HttpEndpoint::Stop() {
  if (!listen_fd_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const Worker& w : workers_) {
      if (w.fd >= 0) ::shutdown(w.fd, SHUT_RDWR);
    }
  }
  keeper_cv_.notify_all();
  acceptor_cv_.notify_all();
  // Never read: readable from now on, it wakes every idle worker and the acceptor.
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_fd_.get(), &one, sizeof one);
  acceptor_.join();
  keeper_.join();
  WorkerList workers;
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
    finished.swap(finished_);
  }
  for (Worker& w : workers) w.thread.join();
  for (std::thread& t : finished) t.join();
  queue_.clear();  // closes the connections no worker took
  listen_fd_.reset();
  listen_fd6_.reset();
  wake_fd_.reset();
  queue_fd_.reset();
}

size_t HttpEndpoint::thread_count() const {
  std::lock_guard lock(mutex_);
  return workers_.size();
}

size_t HttpEndpoint::connection_count() const {
  std::lock_guard lock(mutex_);
  return serving_;
}

bool HttpEndpoint::ShortOfWorkersLocked() const {
  return waiting_ < queue_.size() + kSpareThreads &&
         workers_.size() < options_.max_request_threads;
}

bool HttpEndpoint::AtCeilingLocked() const {
  return waiting_ == 0 && workers_.size() >= options_.max_request_threads;
}

bool HttpEndpoint::AcceptWaiting(Job& job) const {
  for (const UniqueFd& listener : {std::cref(listen_fd_), std::cref(listen_fd6_)}) {
    if (!listener) continue;
    socklen_t len = sizeof job.addr;
    const int fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&job.addr), &len,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      job.fd.reset(fd);
      return true;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  }
  return false;
}

UniqueFd HttpEndpoint::OpenPoller() const {
  UniqueFd poller(::epoll_create1(EPOLL_CLOEXEC));
  auto add = [&poller](const UniqueFd& fd, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd.get();
    return !fd || ::epoll_ctl(poller.get(), EPOLL_CTL_ADD, fd.get(), &e) == 0;
  };
  // Exclusive: a connection, or a queued one, wakes one idle worker rather than all of
  // them; Stop wakes them all.
  constexpr uint32_t kOne = EPOLLIN | EPOLLEXCLUSIVE;
  if (!poller || !add(listen_fd_, kOne) || !add(listen_fd6_, kOne) || !add(queue_fd_, kOne) ||
      !add(wake_fd_, EPOLLIN))
    return UniqueFd();
  return poller;
}

void HttpEndpoint::AcceptorLoop() {
  NameThisThread("http-accept");
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      acceptor_cv_.wait(lock, [this] { return stopping_ || AtCeilingLocked(); });
      if (stopping_) return;
    }
    // Every worker is busy: nobody else takes connections off the backlog. A negative
    // descriptor (no ::1 socket) is skipped by poll.
    pollfd p[3] = {{wake_fd_.get(), POLLIN, 0},
                   {listen_fd_.get(), POLLIN, 0},
                   {listen_fd6_.get(), POLLIN, 0}};
    if (::poll(p, 3, kCeilingPollMs) > 0 && p[0].revents) return;  // Stop
    Job job;
    while (AcceptWaiting(job)) {
      QueueOrRefuse(std::move(job));
      job = Job();
    }
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let others free some
    }
  }
}

void HttpEndpoint::QueueOrRefuse(Job job) {
  job.accepted = Clock::now();
  bool queued = false, idle_worker = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (!AtCeilingLocked() || queue_.size() < options_.max_request_threads) {
      queued = true;
      idle_worker = waiting_ > 0;
      queue_.push_back(std::move(job));
    }
  }
  if (!queued) {
    Refuse(std::move(job));
    return;
  }
  if (idle_worker) {  // one came free meanwhile
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(queue_fd_.get(), &one, sizeof one);
  }
  keeper_cv_.notify_one();  // for the time the connection may wait
}

// The request is read as far as it has come, so that closing does not reset the
// connection under the answer; the rest of the drain is left out so no thread waits.
void HttpEndpoint::Refuse(Job job) const {
  char sink[4096];
  for (size_t total = 0; total < (64u << 10);) {
    const ssize_t n = ::recv(job.fd.get(), sink, sizeof sink, MSG_DONTWAIT);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  SendNow(job.fd.get(), busy_);  // a fresh socket's buffer takes it whole
  ::shutdown(job.fd.get(), SHUT_WR);
}

void HttpEndpoint::KeeperLoop() {
  NameThisThread("http-keeper");
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (!ShortOfWorkersLocked()) {
      if (queue_.empty() || !AtCeilingLocked()) {
        keeper_cv_.wait(lock);
        continue;
      }
      // Every worker busy: the oldest queued connection is refused once it has waited.
      const auto refuse_at = queue_.front().accepted + options_.queue_wait;
      if (Clock::now() < refuse_at) {
        keeper_cv_.wait_until(lock, refuse_at);
        continue;
      }
      Job late = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      Refuse(std::move(late));
      lock.lock();
      continue;
    }
    std::vector<std::thread> done;
    done.swap(finished_);
    ++waiting_;  // counted from now, so the shortage is not seen twice
    workers_.emplace_back();
    const auto self = std::prev(workers_.end());
    lock.unlock();
    for (std::thread& t : done) t.join();
    std::thread thread;
    try {
      thread = std::thread([this, self] { WorkerLoop(self); });
    } catch (const std::system_error&) {
      // Out of threads for now: connections wait for a worker to come free.
      lock.lock();
      --waiting_;
      workers_.erase(self);
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock.lock();
      continue;
    }
    lock.lock();
    self->thread = std::move(thread);
  }
}

void HttpEndpoint::ServeAvailable(WorkerList::iterator self, std::unique_lock<std::mutex>& lock,
                                  HttpRequestReader& reader, std::string& response) {
  for (;;) {
    Job job;
    if (!queue_.empty()) {
      job = std::move(queue_.front());
      queue_.pop_front();
    } else {
      lock.unlock();
      const bool accepted = AcceptWaiting(job);
      if (!accepted && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let others free some
      lock.lock();
      if (!accepted || stopping_) return;
    }
    ++serving_;
    self->fd = job.fd.get();
    lock.unlock();
    Serve(job.fd.get(), PeerText(job.addr), reader, response);
    lock.lock();
    self->fd = -1;  // before close, so Stop never cuts a reused number
    --serving_;
    lock.unlock();
    job.fd.reset();
    lock.lock();
    if (stopping_) return;
  }
}

void HttpEndpoint::WorkerLoop(WorkerList::iterator self) {
  NameThisThread("http-worker");
  HttpRequestReader reader(options_.limits);
  std::string response;
  response.reserve(1024);
  const UniqueFd poller = OpenPoller();
  std::unique_lock lock(mutex_);
  while (poller) {  // counted in waiting_ by the keeper, and again after each round
    // One queued while no worker was idle is taken at once: nobody was woken for it.
    if (queue_.empty()) {
      lock.unlock();
      epoll_event events[4];
      const int n = ::epoll_wait(poller.get(), events, 4, -1);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.fd != queue_fd_.get()) continue;
        uint64_t count;
        [[maybe_unused]] ssize_t read = ::read(queue_fd_.get(), &count, sizeof count);
      }
      lock.lock();
    }
    if (stopping_) return;
    --waiting_;
    if (ShortOfWorkersLocked()) keeper_cv_.notify_one();
    if (AtCeilingLocked()) acceptor_cv_.notify_one();
    ServeAvailable(self, lock, reader, response);
    if (stopping_) return;
    if (waiting_ >= options_.max_idle_threads && self->thread.joinable()) break;
    ++waiting_;
  }
  // Retired, or without a poller (out of descriptors): the keeper starts another later.
  if (!poller) {
    --waiting_;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lock.lock();
    if (stopping_ || !self->thread.joinable()) return;
  }
  finished_.push_back(std::move(self->thread));
  workers_.erase(self);
}

void HttpEndpoint::Serve(int fd, const std::string& peer, HttpRequestReader& reader,
                         std::string& response) {
  const auto deadline = Clock::now() + options_.request_deadline;
  reader.Reset();
  char buf[16 * 1024];
  HttpRequestReader::State state = HttpRequestReader::State::kNeedMore;
  bool timed_out = false;
  bool continued = false;
  while (state == HttpRequestReader::State::kNeedMore) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      state = reader.Feed(std::string_view(buf, static_cast<size_t>(n)));
      if (!continued && reader.in_body() && reader.request().expect_continue) {
        continued = true;
        SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", deadline);
      }
    } else if (n == 0) {
      if (reader.empty()) return;  // connected and left without a word
      state = reader.FeedEof();
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitReady(fd, POLLIN, deadline)) {
        timed_out = true;
        break;
      }
    } else {
      return;  // reset by the peer, or cut by Stop
    }
  }
  if (timed_out || state == HttpRequestReader::State::kError) {
    ErrorResponse(timed_out ? 408 : reader.error_status(), response);
    if (SendAll(fd, response, Clock::now() + options_.request_deadline)) DrainBriefly(fd);
    return;
  }
  // Who may drive the phone is settled before any command runs; a refusal is sent alike.
  std::string cross_origin(kOpenCrossOrigin);
  const bool admitted =
      !options_.access || options_.access->Admit(reader.request(), cross_origin, response);
  if (admitted && ServeRequest(handler_, reader.request(), peer, response, cross_origin) &&
      options_.events) {
    // An event stream stays on this thread, past the request deadline, until it ends.
    options_.events->Serve(fd, reader.request().kind, cross_origin);
    return;
  }
  // A command may run long (a RECSTOP upload): the reply gets its own time from here, and
  // keeps it while the client goes on reading.
  const auto idle = options_.request_deadline;
  SendAll(fd, response, Clock::now() + idle, idle);
}

}  // namespace velnaro
