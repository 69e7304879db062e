#include "control/event_streams.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

#include "control/http_response.h"
#include "control/reply.h"
#include "control/socket_io.h"
#include "platform/thread_name.h"

namespace velnaro {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kKeepAlive = ": keep-alive\n\n";
constexpr int kSendBuffer = 64 * 1024;  // what the kernel may hold for a client beyond our queue
// For a head or an error answer on a socket with nothing else queued: it fits the send
// buffer, so only a client that reads nothing at all can hold it up, and then only briefly.
constexpr auto kAnswerTime = std::chrono::seconds(10);

// Bytes the client sent after its request are read and dropped; false once it has gone.
bool ClientStillThere(int fd) {
  char sink[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace

std::string FormatEvent(uint64_t id, std::string_view data) {
  std::string out;
  out.reserve(data.size() + 32);
  out += "id: ";
  out += std::to_string(id);
  out += '\n';
  size_t start = 0;
  for (;;) {
    const size_t end = data.find_first_of("\r\n", start);
    out += "data: ";
    out.append(data.substr(start, end == std::string_view::npos ? end : end - start));
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
    if (data[end] == '\r' && start < data.size() && data[start] == '\n') ++start;
  }
  out += '\n';
  return out;
}

void EventStreams::Queue::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_fd_.get(), &one, sizeof one);
}

bool EventStreams::Queue::SendPending() {
  const auto sent = SendNow(fd_, pending_);
  if (!sent) {
    gone_ = true;
    pending_ = std::string();
    return false;
  }
  pending_.erase(0, *sent);
  return true;
}

bool EventStreams::Queue::Push(std::string_view bytes) {
  bool wake, open;
  {
    std::lock_guard lock(mutex_);
    if (cut_ || gone_) return false;
    pushed_at_ = Clock::now();
    const bool was_empty = pending_.empty();
    if (!was_empty && pending_.size() + bytes.size() > max_waiting_) {
      cut_ = true;
    } else {
      pending_ += bytes;
      // Nothing waits: straight into the socket, the stream's thread is not needed.
      if (was_empty) SendPending();
      if (!gone_ && pending_.size() > max_waiting_) cut_ = true;
    }
    if (cut_) pending_ = std::string();  // frees the memory at once
    open = !cut_ && !gone_;
    wake = !open || (was_empty && !pending_.empty());
  }
  if (wake) Wake();
  return open;
}

bool EventStreams::Queue::Flush() {
  std::lock_guard lock(mutex_);
  if (cut_ || gone_) return false;
  return SendPending();
}

size_t EventStreams::Queue::waiting() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

Clock::time_point EventStreams::Queue::pushed_at() const {
  std::lock_guard lock(mutex_);
  return pushed_at_;
}

bool EventStreams::Queue::cut() const {
  std::lock_guard lock(mutex_);
  return cut_;
}

EventStreams::Subscription::~Subscription() {
  std::lock_guard lock(owner_.mutex_);
  owner_.streams_.erase(it_);
}

EventStreams::EventStreams(PhoneStatus& status, EventStreamOptions options)
    : status_(status), options_(options), fan_out_thread_([this] { RunFanOut(); }) {
  status_.SetRecordObserver(
      [this](uint64_t version, const StatusFields& record) { OnRecord(version, record); });
}

EventStreams::~EventStreams() {
  status_.SetRecordObserver(nullptr);
  {
    std::lock_guard lock(fan_out_mutex_);
    stopping_ = true;
  }
  fan_out_wake_.notify_one();
  fan_out_thread_.join();
}

// Under the record's lock: only formats and queues, so the record's writers never wait
// for a socket.
void EventStreams::OnRecord(uint64_t version, const StatusFields& record) {
  std::string event = FormatEvent(version, reply::Status(record));
  bool was_empty;
  {
    std::lock_guard lock(fan_out_mutex_);
    was_empty = fan_out_.empty();
    fan_out_ += event;
    fan_out_last_ = std::move(event);
  }
  if (was_empty) fan_out_wake_.notify_one();
}

void EventStreams::FanOut() {
  std::string events;
  {
    std::lock_guard lock(fan_out_mutex_);
    if (fan_out_.empty()) return;
    events.swap(fan_out_);
    last_event_.swap(fan_out_last_);
  }
  for (const auto& queue : streams_) queue->Push(events);
}

void EventStreams::RunFanOut() {
  NameThisThread("events");
  for (;;) {
    {
      std::unique_lock lock(fan_out_mutex_);
      fan_out_wake_.wait(lock, [this] { return stopping_ || !fan_out_.empty(); });
      if (stopping_) return;
    }
    std::lock_guard lock(mutex_);
    FanOut();
  }
}

std::unique_ptr<EventStreams::Subscription> EventStreams::Subscribe(int fd,
                                                                    std::string_view head) {
  std::lock_guard lock(mutex_);
  if (streams_.size() >= options_.max_streams) return nullptr;
  UniqueFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_fd) return nullptr;
  FanOut();  // so that the new stream starts with the record as it stands now
  streams_.push_back(
      std::unique_ptr<Queue>(new Queue(fd, options_.max_waiting, std::move(wake_fd))));
  auto it = std::prev(streams_.end());
  std::string first(head);
  first += last_event_;
  (*it)->Push(first);
  return std::unique_ptr<Subscription>(new Subscription(*this, it));
}

size_t EventStreams::stream_count() const {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

void EventStreams::Serve(int fd, HttpMethodKind kind, std::string_view cross_origin) {
  // The record is the stream's first event, from the feed, in step with the changes that
  // follow.
  std::string response;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each event goes at once
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  EventStreamHead(response, cross_origin);
  if (kind == HttpMethodKind::kHead) {
    if (stream_count() >= options_.max_streams) ErrorResponse(503, response, cross_origin);
    SendAll(fd, response, Clock::now() + kAnswerTime);
    return;
  }
  auto subscription = Subscribe(fd, response);
  if (!subscription) {
    ErrorResponse(503, response, cross_origin);
    SendAll(fd, response, Clock::now() + kAnswerTime);
    return;
  }
  RunStream(fd, subscription->queue());
}

// Sends what the fan-out could not put into the socket at once, watches for the client
// leaving, and keeps the connection alive.
void EventStreams::RunStream(int fd, Queue& queue) {
  for (;;) {
    const auto keep_alive_at = queue.pushed_at() + options_.keep_alive;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(keep_alive_at - Clock::now());
    pollfd p[2] = {{fd, static_cast<short>(POLLIN | (queue.waiting() ? POLLOUT : 0)), 0},
                   {queue.wake_fd(), POLLIN, 0}};
    const int r = ::poll(p, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r < 0 && errno != EINTR) return;
    if (p[0].revents & (POLLERR | POLLNVAL)) return;
    if ((p[0].revents & (POLLIN | POLLHUP)) && !ClientStillThere(fd)) return;
    if (p[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t read = ::read(queue.wake_fd(), &count, sizeof count);
    }
    if (Clock::now() >= queue.pushed_at() + options_.keep_alive) {
      queue.Push(kKeepAlive);  // between two events, counted towards the limit like one
    }
    if (!queue.Flush()) {
      if (queue.cut()) {
        // Cut for falling behind: reset, so the kernel drops what it still holds for it.
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      return;
    }
  }
}

}  // namespace velnaro
