#include "control/event_streams.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "control/access_policy.h"
#include "control/http_endpoint.h"
#include "control/reply.h"
#include "control/web_server.h"
#include "raw_http_client.h"
#include "support/control_service.h"
#include "support/event_stream_client.h"
#include "support/test_support.h"
#include "support/wire_fields.h"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
using testing::EventStreamClient;
using testing::WaitUntil;
using testing_http::Exchange;
using testing_http::Parse;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const StatusFields kInitial{};

TEST(EventFormat, IdThenOneDataLinePerLineOfTheText) {
  EXPECT_EQ(FormatEvent(7, "{ \"a\": 1 } "), "id: 7\ndata: { \"a\": 1 } \n\n");
  EXPECT_EQ(FormatEvent(8, "a\nb\r\nc\rd"), "id: 8\ndata: a\ndata: b\ndata: c\ndata: d\n\n");
  // A value with a blank line and a field of its own cannot end the event or forge one.
  EXPECT_EQ(FormatEvent(9, "x\n\nid: 1\ndata: y"),
            "id: 9\ndata: x\ndata: \ndata: id: 1\ndata: data: y\n\n");
}

// The streams on socket pairs, without the endpoint: the client's end is read here.
class StreamQueues : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }
  // A stream on a new socket pair; `client` gets the reading end. A small send buffer
  // makes the stream's socket fill up soon.
  std::unique_ptr<EventStreams::Subscription> Open(int& client, int send_buffer = 0) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return nullptr;
    if (send_buffer) ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    fds_.insert(fds_.end(), {sv[0], sv[1]});
    client = sv[1];
    return streams_.Subscribe(sv[0]);
  }
  // The next `count` events to reach the client; fewer if they do not come within 5 s.
  // Flushes the stream's queue meanwhile, as the stream's own thread does.
  std::vector<std::string> Read(EventStreams::Subscription& stream, int client, size_t count) {
    std::vector<std::string> events;
    std::string& buffer = buffers_[client];
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (events.size() < count) {
      size_t end = buffer.find("\n\n");
      if (end != std::string::npos) {
        events.push_back(buffer.substr(0, end + 2));
        buffer.erase(0, end + 2);
        continue;
      }
      stream.queue().Flush();
      pollfd p{client, POLLIN, 0};
      if (std::chrono::steady_clock::now() >= until || ::poll(&p, 1, 10) < 0) break;
      char chunk[65536];
      const ssize_t n = ::recv(client, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) buffer.append(chunk, static_cast<size_t>(n));
    }
    return events;
  }
  PhoneStatus status_;
  EventStreams streams_{status_};
  std::vector<int> fds_;
  std::map<int, std::string> buffers_;
};

TEST_F(StreamQueues, ANewStreamStartsWithTheRecordAndGetsEveryChangeUncoalesced) {
  status_.SetHold(true);  // version 2
  int client;
  auto stream = Open(client);
  ASSERT_TRUE(stream);
  // Many changes before the client reads once: none is merged into a later one.
  StatusFields record;
  record.Hold = true;
  std::vector<std::string> expected{FormatEvent(2, reply::Status(record))};
  for (int i = 0; i < 500; ++i) {
    record.Mute = i % 2 == 0;
    status_.SetMute(record.Mute);
    expected.push_back(FormatEvent(3 + i, reply::Status(record)));
  }
  EXPECT_EQ(Read(*stream, client, expected.size()), expected);
}

TEST_F(StreamQueues, AtMost64OpenAtOnce) {
  std::vector<std::unique_ptr<EventStreams::Subscription>> open;
  int client;
  for (int i = 0; i < 64; ++i) {
    open.push_back(Open(client));
    ASSERT_TRUE(open.back()) << i;
  }
  EXPECT_FALSE(Open(client));
  open.erase(open.begin() + 10);  // one leaves, its place is free again
  EXPECT_EQ(streams_.stream_count(), 63u);
  EXPECT_TRUE(Open(client));
}

TEST_F(StreamQueues, AReaderFallingBehindIsCutAtTheLimitAndNoOtherIs) {
  int stalled_client, reading_client;
  auto stalled = Open(stalled_client, 4096);
  auto reading = Open(reading_client);
  ASSERT_EQ(Read(*reading, reading_client, 1).size(), 1u);
  size_t queued = 0;
  std::string last;  // the latest event the reading stream got
  int changes = 0;
  for (; changes < 10000; ++changes) {
    status_.SetMute(changes % 2 == 0);
    const auto events = Read(*reading, reading_client, 1);  // the stalled stream had it first
    ASSERT_EQ(events.size(), 1u);
    last = events[0];
    if (stalled->queue().cut()) break;
    queued = stalled->queue().waiting();
  }
  // Cut by the event that would have put it over 256 KiB, and not before.
  EXPECT_LE(queued, 256u * 1024);
  EXPECT_GT(queued + last.size(), 256u * 1024);
  EXPECT_FALSE(stalled->queue().Push("x"));
  // A reader that keeps up is never cut, however long it runs.
  for (int i = changes + 1; i < changes + 5000; ++i) {
    status_.SetMute(i % 2 == 0);
    ASSERT_EQ(Read(*reading, reading_client, 1).size(), 1u);
  }
  EXPECT_FALSE(reading->queue().cut());
}

// Streams over the endpoint.
class StreamEndpoint : public ::testing::Test {
 protected:
  void Start(EventStreamOptions stream_options = {}, EndpointOptions options = {}) {
    streams_ = std::make_unique<EventStreams>(server_.status, stream_options);
    options.events = streams_.get();
    endpoint_ = std::make_unique<HttpEndpoint>(server_.interpreter, options);
    endpoint_->Start(0);
    port_ = endpoint_->port();
  }
  void TearDown() override {
    if (endpoint_) endpoint_->Stop();
  }
  std::string GetStatus() {
    return Parse(Exchange(port_, "GET /phone/?Action=GETSTATUS HTTP/1.1\r\nHost: x\r\n\r\n")).body;
  }

  testing::ControlService server_;
  std::unique_ptr<EventStreams> streams_;
  std::unique_ptr<HttpEndpoint> endpoint_;
  uint16_t port_ = 0;
};

// Under the hardened profile a stream is opened only for an admitted page, and carries that
// page's cross-origin headers.
TEST_F(StreamEndpoint, OnlyAnAdmittedPageGetsAStream) {
  AccessPolicy policy(true, {"http://app.example"});
  EndpointOptions options;
  options.access = &policy;
  Start({}, options);
  const std::string refused = Exchange(
      port_, "GET /phone/?Action=EVENTS HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n\r\n");
  EXPECT_EQ(refused.rfind("HTTP/1.1 403 ", 0), 0u) << refused;
  EXPECT_EQ(streams_->stream_count(), 0u);
  const std::string admitted = Exchange(
      port_, "HEAD /phone/?Action=EVENTS HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://app.example\r\n\r\n");
  EXPECT_THAT(admitted, HasSubstr("Content-Type: text/event-stream\r\n"));
  EXPECT_THAT(admitted, HasSubstr("Access-Control-Allow-Origin: http://app.example\r\n"));
}

TEST_F(StreamEndpoint, HeadThenTheStatusReplyAtOnceAndAfterEachChange) {
  Start();
  server_.status.SetRec(true);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
      "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: *\r\n"
      "Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept, "
      "Authorization\r\nX-Content-Type-Options: nosniff\r\nServer: velnaro-ds\r\n\r\n";
  EventStreamClient client(port_);
  EXPECT_EQ(client.Head(), head);
  auto first = client.Next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data, GetStatus());
  server_.status.AggiornaStato(LineState::kInCall, CallState::kCallIn, "", "call-1");
  server_.status.SetMute(true);
  auto call = client.Next(), mute = client.Next();
  ASSERT_TRUE(call && mute);
  EXPECT_EQ(call->data,
            reply::Status(testing::FromWire({"INCALL", "CALLIN", "", "call-1", "1", "0", "0"})));
  EXPECT_EQ(mute->data, GetStatus());
  EXPECT_EQ(std::stoi(call->id), std::stoi(first->id) + 1);
  EXPECT_EQ(std::stoi(mute->id), std::stoi(first->id) + 2);
  // Opening a stream writes no log line; HEAD gets the head alone; elsewhere EVENTS is
  // not recognised.
  EXPECT_THAT(server_.status.memoLogs(), IsEmpty());
  EXPECT_EQ(Exchange(port_, "HEAD /phone/?Action=EVENTS HTTP/1.1\r\n\r\n"), head);
  EXPECT_EQ(Parse(Exchange(port_, "GET /system/?Action=EVENTS HTTP/1.1\r\n\r\n")).body,
            reply::NotRecognised());
}

TEST_F(StreamEndpoint, RequestLinesAreLoggedWhenAskedForLikeAnyRequest) {
  Start();
  server_.window.ckLogHTTPRequest = true;
  EventStreamClient client(port_, "/phone/?Action=EVENTS&t=1");
  ASSERT_TRUE(client.Next());
  EXPECT_THAT(server_.status.memoLogs(),
              ElementsAre("-----------------", "/phone/", "Client: 127.0.0.1", "Action=EVENTS",
                          "Parametro: *Action*", "Valore:    *EVENTS*", "t=1", "Parametro: *t=1*",
                          "Valore:    **"));
}

TEST_F(StreamEndpoint, KeepAliveCommentsAndNoRequestDeadlineOnTheOpenStream) {
  EventStreamOptions stream_options;
  stream_options.keep_alive = 100ms;
  EndpointOptions options;
  options.request_deadline = 300ms;
  Start(stream_options, options);
  EventStreamClient client(port_);
  ASSERT_TRUE(client.Next());
  EXPECT_FALSE(client.Next(1200ms));  // only comments meanwhile
  EXPECT_GE(client.comments(), 3);
  EXPECT_FALSE(client.ended());
  server_.status.SetHold(true);  // long past the request deadline
  auto event = client.Next();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->data, GetStatus());
}

TEST_F(StreamEndpoint, BeyondTheLimit503UntilAStreamEnds) {
  EventStreamOptions stream_options;
  stream_options.max_streams = 1;
  Start(stream_options);
  auto first = std::make_unique<EventStreamClient>(port_);
  ASSERT_TRUE(first->Next());
  EventStreamClient second(port_);
  EXPECT_EQ(Parse(second.Head()).status_line, "HTTP/1.1 503 Service Unavailable");
  EXPECT_TRUE(second.ReadToEnd(5s));
  EXPECT_EQ(Parse(Exchange(port_, "GET /phone/?Action=GETSTATUS HTTP/1.1\r\n\r\n")).status_line,
            "HTTP/1.1 200 OK");
  first.reset();  // the page goes away: its place is free once the agent notices
  ASSERT_TRUE(WaitUntil([&] { return streams_->stream_count() == 0; }, 5000));
  EventStreamClient third(port_);
  EXPECT_TRUE(third.Next());
}

// A reader that stops reading holds up neither the record's writers, nor GETSTATUS, nor
// the other streams, and is cut once 256 KiB wait for it.
TEST_F(StreamEndpoint, AStalledReaderDelaysNobodyAndIsCut) {
  Start();
  EventStreamClient stalled(port_, "/phone/?Action=EVENTS", 4096);
  EventStreamClient reading(port_);
  ASSERT_EQ(Parse(stalled.Head()).status_line, "HTTP/1.1 200 OK");
  ASSERT_TRUE(reading.Next());
  std::atomic<int> received{0};
  std::atomic<bool> in_order{true};
  std::thread reader([&] {
    uint64_t last = 0;
    while (auto event = reading.Next(20s)) {
      const uint64_t id = std::stoull(event->id);
      if (last && id != last + 1) in_order = false;
      last = id;
      if (++received == 3000) return;
    }
  });
  // Far more than the stalled client's buffers and its 256 KiB hold; every so often a
  // GETSTATUS, which would hang if anything waited for the stalled client. The changes
  // keep within some 500 events (125 KiB) of the reading client, which is not slow but may
  // be slower than this loop: it must not be cut for falling behind.
  for (int i = 0; i < 3000; ++i) {
    if (i % 100 == 0 && !WaitUntil([&] { return received >= i - 400; }, 10000)) {
      ADD_FAILURE() << "the reading client stopped at " << received << " of " << i;
      break;
    }
    const std::string call = "call-" + std::to_string(i);
    server_.status.AggiornaStato(LineState::kInCall, CallState::kCallIn, "", call);
    if (i % 500 == 499) {
      EXPECT_EQ(GetStatus(), reply::Status(testing::FromWire({"INCALL", "CALLIN", "", call})));
    }
  }
  reader.join();
  EXPECT_EQ(received, 3000);
  EXPECT_TRUE(in_order);
  EXPECT_TRUE(WaitUntil([&] { return streams_->stream_count() == 1; }, 5000));
  EXPECT_TRUE(stalled.ReadToEnd(10s));  // what the kernel had, then the end
}

TEST_F(StreamEndpoint, StopEndsEveryOpenStream) {
  Start();
  std::vector<std::unique_ptr<EventStreamClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<EventStreamClient>(port_));
    ASSERT_TRUE(clients.back()->Next());
  }
  const auto start = std::chrono::steady_clock::now();
  endpoint_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(streams_->stream_count(), 0u);
  for (auto& c : clients) EXPECT_TRUE(c->ReadToEnd(1s));
}

}  // namespace
}  // namespace velnaro
