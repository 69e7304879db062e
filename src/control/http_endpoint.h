#pragma once
// The control endpoint (IdHTTPServer1): HTTP on every local address (or on the loopback
// addresses only), each connection in progress on a thread of its own, one request per
// connection.
//
// Idle workers wait on the listening sockets themselves, each connection waking one of
// them, which accepts it and serves it; a worker that has finished takes the next
// connection straight from the backlog while any are there. A keeper thread starts workers
// whenever fewer than a few wait idle, so no connection waits for another.
//
// At most max_request_threads workers run (event streams included). With all of them busy
// an acceptor thread takes new connections off the backlog into a queue, oldest served
// first as workers come free; one that has waited queue_wait, or comes when as many wait
// as there are workers, is answered 503 and closed without a thread of its own.

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "control/access_policy.h"
#include "control/http_request.h"
#include "control/request_handler.h"
#include "platform/unique_fd.h"

namespace velnaro {

class EventStreams;

struct EndpointOptions {
  // Whole request head and body must arrive within this time from accept.
  std::chrono::milliseconds request_deadline{10000};
  HttpLimits limits;
  int backlog = 15;
  bool ipv6 = true;               // dual-stack socket where the system offers IPv6
  // 127.0.0.1 and ::1 only (two sockets) instead of every address.
  bool loopback_only = false;
  size_t max_idle_threads = 256;  // idle workers beyond this end
  size_t max_request_threads = 256;  // busy at once; past it connections queue, then 503
  std::chrono::milliseconds queue_wait{1000};  // a queued connection's wait for a worker
  // Asked before each request is served; nullptr: every page may, as always.
  const AccessPolicy* access = nullptr;
  EventStreams* events = nullptr;   // serves Action=EVENTS as a stream when set
};

class HttpEndpoint {
 public:
  static constexpr uint16_t kDefaultPort = 9090;
  static constexpr const char* kBindFailure =
      "Could not bind socket. Address and port are already in use.";

  // A port given as text (environment, command line): decimal 1 to 65535, nothing else.
  static std::optional<uint16_t> ParsePort(std::string_view text);

  explicit HttpEndpoint(RequestHandler& handler, EndpointOptions options = {});
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Binds and starts serving; port 0 picks a free one. Throws std::runtime_error
  // (kBindFailure when the port is taken).
  void Start(uint16_t port = kDefaultPort);
  // Stops accepting, cuts connections still being read, waits for running requests,
  // joins every thread and releases the port.
  void Stop();

  uint16_t port() const { return port_; }
  bool dual_stack() const { return dual_stack_; }
  bool loopback_ipv6() const { return static_cast<bool>(listen_fd6_); }  // loopback_only: ::1 too
  size_t thread_count() const;
  size_t connection_count() const;  // connections being served, each on its worker

 private:
  using Clock = std::chrono::steady_clock;
  struct Worker {
    std::thread thread;
    int fd = -1;  // the connection it serves, for Stop to cut
  };
  using WorkerList = std::list<Worker>;
  struct Job {
    UniqueFd fd;
    sockaddr_storage addr{};
    Clock::time_point accepted{};  // when queued, for the acceptor's queue
  };

  // A connection waiting on either listening socket; false (errno set) when none waits.
  bool AcceptWaiting(Job& job) const;
  // The worker's own wait: one epoll on the listening sockets, the queue and Stop.
  UniqueFd OpenPoller() const;
  void AcceptorLoop();
  void KeeperLoop();
  void WorkerLoop(WorkerList::iterator self);
  // Queued connections, then the backlog's, until none is left or Stop; `lock` held.
  void ServeAvailable(WorkerList::iterator self, std::unique_lock<std::mutex>& lock,
                      HttpRequestReader& reader, std::string& response);
  void Serve(int fd, const std::string& peer, HttpRequestReader& reader, std::string& response);
  void QueueOrRefuse(Job job);
  void Refuse(Job job) const;
  bool ShortOfWorkersLocked() const;
  bool AtCeilingLocked() const;

  RequestHandler& handler_;
  const EndpointOptions options_;
  std::string busy_;  // the 503 of a connection no worker could take
  UniqueFd listen_fd_;
  UniqueFd listen_fd6_;  // ::1 beside 127.0.0.1 when loopback_only
  UniqueFd wake_fd_;     // eventfd, readable from Stop on: wakes every thread
  UniqueFd queue_fd_;    // eventfd: a connection was queued for an idle worker
  uint16_t port_ = 0;
  bool dual_stack_ = false;

  mutable std::mutex mutex_;
  std::condition_variable keeper_cv_;    // workers are short, or the queue has a first
  std::condition_variable acceptor_cv_;  // every worker is busy
  std::deque<Job> queue_;  // accepted while every worker was busy, oldest first
  size_t waiting_ = 0;  // idle workers, or being started
  size_t serving_ = 0;
  bool stopping_ = false;
  WorkerList workers_;
  std::vector<std::thread> finished_;  // retired workers, joined by the keeper or Stop
  std::thread acceptor_;
  std::thread keeper_;
};

}  // namespace velnaro
