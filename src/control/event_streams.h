#pragma once
// The status event stream: GET /phone/?Action=EVENTS answers text/event-stream and sends
// the GETSTATUS reply at once and again after every change of the record, so a page
// learns of a ringing or an answered call as it happens instead of at its next poll.
//
// The record hands each new value to OnRecord under its own lock; the event is built
// once and queued for every open stream, and each stream's connection thread sends its
// queue. A writer never waits for a client: a client that falls 256 KiB behind is cut.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "control/http_request.h"
#include "control/http_response.h"
#include "control/request_handler.h"
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

  // The queue of one open stream.
  class Queue {
   public:
    ~Queue();
    // Appends an event unless that would put more than the limit in waiting; then the
    // client is cut (nothing more is queued) and false is returned.
    bool Push(std::string_view event);
    // Moves what is queued to the end of out; false once the client has been cut.
    bool Take(std::string& out);
    // Bytes of what Take gave out that have reached the socket.
    void Sent(size_t bytes);
    // Readable while something is queued.
    int wake_fd() const { return wake_fd_; }

   private:
    friend class EventStreams;
    Queue(size_t max_waiting, int wake_fd) : max_waiting_(max_waiting), wake_fd_(wake_fd) {}
    const size_t max_waiting_;
    const int wake_fd_;
    std::mutex mutex_;
    std::string pending_;
    size_t waiting_ = 0;  // queued or taken, not yet sent
    bool cut_ = false;
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

  // A new stream whose queue starts with the current record's event; nullptr when
  // max_streams are open.
  std::unique_ptr<Subscription> Subscribe();
  size_t stream_count() const;

  // The endpoint's hook for a request it has read whole. False when the request is not
  // EVENTS on "/phone/" (the endpoint then serves it as usual); otherwise it answers the
  // request and, for GET and POST, sends events on this thread until the client leaves or
  // is cut, or the endpoint's Stop shuts the socket.
  bool Serve(int fd, const HttpRequest& request, const std::string& peer_ip,
             RequestHandler& handler, std::string_view cross_origin = kOpenCrossOrigin);

 private:
  void OnRecord(uint64_t version, const StatusFields& record);
  void RunStream(int fd, Queue& queue);

  PhoneStatus& status_;
  const EventStreamOptions options_;
  mutable std::mutex mutex_;  // streams_ and last_event_
  std::list<std::unique_ptr<Queue>> streams_;
  std::string last_event_;  // the record as it stands, for the first event of a new stream
};

}  // namespace velnaro
