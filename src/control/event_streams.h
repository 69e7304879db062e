#pragma once
// The status event stream: GET /phone/?Action=EVENTS answers text/event-stream and sends
// the GETSTATUS reply at once and again after every change of the record, so a page
// learns of a ringing or an answered call as it happens instead of at its next poll.
//
// The record hands each new value to OnRecord under its own lock, which only queues it for
// the fan-out thread. That thread writes each event straight into every open stream's
// socket without blocking, so a change costs one wake-up however many pages listen; a
// stream's own connection thread sends only what its socket could not take at once, and
// keeps the connection. A writer never waits for a client: a client that falls 256 KiB
// behind is cut.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "control/http_request.h"
#include "control/http_response.h"
#include "platform/unique_fd.h"
#include "status/phone_status.h"

namespace velnaro {

struct EventStreamOptions {
  size_t max_streams = 64;                   // one more gets 503
  size_t max_waiting = 256 * 1024;           // bytes queued for one client before it is cut
  std::chrono::milliseconds keep_alive{15000};  // a comment after this long without events
};

// One event: the id line, then the text as data lines (one per line of the text, so a
// line break inside it can never end the event early), then the blank line.
std::string FormatEvent(uint64_t id, std::string_view data);

class EventStreams {
 public:
  explicit EventStreams(PhoneStatus& status, EventStreamOptions options = {});
  ~EventStreams();
  EventStreams(const EventStreams&) = delete;
  EventStreams& operator=(const EventStreams&) = delete;

  // One open stream: its socket and what it could not take yet.
  class Queue {
   public:
    // Sends the bytes after what already waits, queueing what the socket does not take
    // now; false once the client is cut (for passing the limit with this call) or gone.
    bool Push(std::string_view bytes);
    // Sends what waits as far as the socket takes it now; false once cut or gone.
    bool Flush();
    // Bytes waiting for the socket.
    size_t waiting() const;
    bool cut() const;
    // When bytes were last handed to Push.
    std::chrono::steady_clock::time_point pushed_at() const;
    // Readable after waiting bytes appeared, or the client was cut or has gone.
    int wake_fd() const { return wake_fd_.get(); }

   private:
    friend class EventStreams;
    Queue(int fd, size_t max_waiting, UniqueFd wake_fd)
        : fd_(fd), max_waiting_(max_waiting), wake_fd_(std::move(wake_fd)) {}
    bool SendPending();  // under mutex_
    void Wake();
    const int fd_;  // the connection's, which its thread owns
    const size_t max_waiting_;
    const UniqueFd wake_fd_;
    mutable std::mutex mutex_;
    std::string pending_;
    std::chrono::steady_clock::time_point pushed_at_;
    bool cut_ = false;
    bool gone_ = false;
  };

  // A stream's place among the open ones, given up when it is destroyed.
  class Subscription {
   public:
    ~Subscription();
    Queue& queue() { return *queue_; }

   private:
    friend class EventStreams;
    Subscription(EventStreams& owner, std::list<std::unique_ptr<Queue>>::iterator queue)
        : owner_(owner), it_(queue), queue_(it_->get()) {}
    EventStreams& owner_;
    std::list<std::unique_ptr<Queue>>::iterator it_;
    Queue* queue_;
  };

  // A new stream on the socket: the head, then the current record's event, then every
  // later change; nullptr when max_streams are open.
  std::unique_ptr<Subscription> Subscribe(int fd, std::string_view head = {});
  size_t stream_count() const;

  // Answers a request that opens a stream (EVENTS, read and logged by the interpreter)
  // and, for GET and POST, holds the stream on this thread until the client leaves or is
  // cut, or the endpoint's Stop shuts the socket.
  void Serve(int fd, HttpMethodKind kind, std::string_view cross_origin = kOpenCrossOrigin);

 private:
  void OnRecord(uint64_t version, const StatusFields& record);
  void FanOut();      // under mutex_: sends what OnRecord queued to every stream
  void RunFanOut();   // the fan-out thread
  void RunStream(int fd, Queue& queue);

  PhoneStatus& status_;
  const EventStreamOptions options_;
  mutable std::mutex mutex_;  // streams_ and last_event_; taken before fan_out_mutex_
  std::list<std::unique_ptr<Queue>> streams_;
  std::string last_event_;  // the record as it stands, for the first event of a new stream
  std::mutex fan_out_mutex_;
  std::condition_variable fan_out_wake_;
  std::string fan_out_;       // events not yet sent to the streams, in order
  std::string fan_out_last_;  // the last of them
  bool stopping_ = false;
  std::thread fan_out_thread_;
};

}  // namespace velnaro
