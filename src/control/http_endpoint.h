#pragma once
// The control endpoint (IdHTTPServer1): HTTP on every local address, each connection in
// progress on a thread of its own, one request per connection.
//
// Threads are reused: an idle worker waits in accept() on the shared listening socket,
// and a worker that takes a connection starts another when none is left waiting, so
// no connection waits for another and there is no limit on their number.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/http_request.h"

namespace velnaro {

class TwebServer;

struct EndpointOptions {
  // Whole request head and body must arrive within this time from accept.
  std::chrono::milliseconds request_deadline{10000};
  HttpLimits limits;
  int backlog = 15;
  bool ipv6 = true;               // dual-stack socket where the system offers IPv6
  size_t max_idle_threads = 256;  // idle workers beyond this end
};

class HttpEndpoint {
 public:
  static constexpr uint16_t kDefaultPort = 9090;
  static constexpr const char* kBindFailure =
      "Could not bind socket. Address and port are already in use.";

  explicit HttpEndpoint(TwebServer& server, EndpointOptions options = {});
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
  size_t thread_count() const;
  size_t connection_count() const;  // connections accepted and not yet closed

 private:
  using ThreadList = std::list<std::thread>;
  void KeeperLoop();
  void WorkerLoop(ThreadList::iterator self);
  void Serve(int fd, const std::string& peer, HttpRequestReader& reader, std::string& response);

  TwebServer& server_;
  const EndpointOptions options_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  bool dual_stack_ = false;

  // Workers waiting in accept(), stop flag, connections being served.
  mutable std::mutex mutex_;
  std::condition_variable spare_cv_;
  bool stopping_ = false;
  size_t idle_ = 0;
  std::set<int> active_fds_;

  // The keeper starts workers off the accept path whenever too few are waiting.
  std::thread keeper_;
  mutable std::mutex threads_mutex_;
  ThreadList threads_;
  std::vector<std::thread> finished_;  // retired workers, joined by the keeper or Stop
};

}  // namespace velnaro
