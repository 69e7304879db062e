// How soon a page learns of a status change: the time from sending a MUTE (or UNMUTE) to
// the control endpoint until its event reaches each of the readers holding the status
// event stream, beside the same change seen by a page polling GETSTATUS once a second,
// both in the same run. The agent's side (endpoint, interpreter, commands, record, event
// streams, over a phone that does nothing) runs in a child process of its own.
// Usage: bench_events [changes] [readers]

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/control/raw_http_client.h"
#include "bench_stats.h"
#include "control/commands.h"
#include "control/event_streams.h"
#include "control/http_endpoint.h"
#include "control/web_server.h"
#include "support/control_service.h"
#include "support/event_stream_client.h"
#include "support/phone_fakes.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using velnaro::testing::EventStreamClient;
using velnaro::testing::Field;

using velnaro::bench::Ms;
using velnaro::bench::Percentile;

// The agent's side, until the parent closes the pipe.
[[noreturn]] void Serve(int port_pipe, int stop_pipe) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  velnaro::testing::ControlService server;
  velnaro::testing::FakePhone phone;
  velnaro::RegisterCommands(server.interpreter.Commands(), {server.status, server.window, phone},
                            {});
  velnaro::EventStreams events(server.status);
  velnaro::EndpointOptions options;
  options.events = &events;
  velnaro::HttpEndpoint endpoint(server.interpreter, options);
  endpoint.Start(0);
  const uint16_t port = endpoint.port();
  if (::write(port_pipe, &port, sizeof port) != sizeof port) std::_Exit(1);
  char c;
  while (::read(stop_pipe, &c, 1) > 0) {
  }
  endpoint.Stop();
  std::_Exit(0);
}

struct Reader {
  std::unique_ptr<EventStreamClient> client;
  std::vector<Clock::time_point> arrived;  // [0] the first event, [k] change k
  std::vector<std::string> mute;
  bool ids_in_order = true;
  std::thread thread;
};

struct Poll {
  Clock::time_point sent, answered;
  std::string mute;
};

}  // namespace

int main(int argc, char** argv) {
  const int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int readers_wanted = argc > 2 ? std::atoi(argv[2]) : 64;
  if (changes < 2 || readers_wanted < 1) {
    std::fprintf(stderr, "usage: bench_events [changes >= 2] [readers >= 1]\n");
    return 2;
  }
  int port_pipe[2], stop_pipe[2];
  if (::pipe(port_pipe) != 0 || ::pipe(stop_pipe) != 0) return 1;
  const pid_t agent = ::fork();
  if (agent == 0) {
    ::close(port_pipe[0]);
    ::close(stop_pipe[1]);
    Serve(port_pipe[1], stop_pipe[0]);
  }
  ::close(port_pipe[1]);
  ::close(stop_pipe[0]);
  uint16_t port = 0;
  if (::read(port_pipe[0], &port, sizeof port) != sizeof port) {
    std::fprintf(stderr, "the agent's side did not start\n");
    return 1;
  }
  auto request = [port](const std::string& action) {
    return velnaro::testing_http::Exchange(
        port, "GET /phone/?Action=" + action + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  };

  // The readers: each a connection and a thread of its own, like a tab each.
  std::vector<Reader> readers(static_cast<size_t>(readers_wanted));
  std::atomic<int> ready{0};
  for (Reader& r : readers) {
    r.client = std::make_unique<EventStreamClient>(port);
    if (r.client->Head().rfind("HTTP/1.1 200", 0) != 0) {
      std::fprintf(stderr, "a reader was refused its stream\n");
      return 1;
    }
    r.arrived.reserve(static_cast<size_t>(changes) + 1);
    r.thread = std::thread([&r, &ready, changes] {
      uint64_t last = 0;
      for (int k = 0; k <= changes; ++k) {
        auto event = r.client->Next(std::chrono::seconds(10));
        if (!event) return;
        r.arrived.push_back(Clock::now());
        if (k == 0) ++ready;
        r.mute.push_back(Field(event->data, "Mute"));
        const uint64_t id = std::stoull(event->id);
        if (last && id != last + 1) r.ids_in_order = false;
        last = id;
      }
    });
  }
  // Every reader has its first event before the changes begin.
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  while (ready < readers_wanted && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The reference: a page polling GETSTATUS once a second, through the same run.
  std::atomic<bool> polling{true};
  std::vector<Poll> polls;
  std::thread poller([&] {
    auto next = Clock::now();
    while (polling) {
      Poll p;
      p.sent = Clock::now();
      const std::string reply = request("GETSTATUS");
      p.answered = Clock::now();
      p.mute = Field(reply, "Mute");
      polls.push_back(p);
      next += std::chrono::seconds(1);
      std::this_thread::sleep_until(next);
    }
  });

  // The changes, at random moments 10 to 30 ms apart, so that they fall anywhere in the
  // poll's second.
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> gap_us(10000, 30000);
  std::vector<Clock::time_point> sent(static_cast<size_t>(changes) + 1), replied(sent.size());
  std::vector<double> command_ms;
  for (int k = 1; k <= changes; ++k) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(rng)));
    sent[k] = Clock::now();
    request(k % 2 ? "MUTE" : "UNMUTE");
    replied[k] = Clock::now();
    command_ms.push_back(Ms(replied[k] - sent[k]));
  }
  // The poll's view of the last change too.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  polling = false;
  poller.join();
  for (Reader& r : readers) r.thread.join();
  ::close(stop_pipe[1]);
  int status = 0;
  ::waitpid(agent, &status, 0);

  // Stream: every reader, every change; and per change the last of the readers.
  std::vector<double> each, slowest;
  int incomplete = 0;
  for (int k = 1; k <= changes; ++k) {
    double last = 0;
    for (const Reader& r : readers) {
      if (r.arrived.size() <= static_cast<size_t>(k)) continue;
      const double ms = Ms(r.arrived[k] - sent[k]);
      each.push_back(ms);
      last = std::max(last, ms);
    }
    slowest.push_back(last);
  }
  for (const Reader& r : readers) {
    bool alternating = r.arrived.size() == static_cast<size_t>(changes) + 1 && r.ids_in_order;
    for (size_t k = 1; alternating && k < r.mute.size(); ++k) {
      alternating = r.mute[k] == (k % 2 ? "1" : "0");
    }
    incomplete += !alternating;
  }
  // Poll: the first poll sent after the change was made shows it (or a later value); a
  // change is shown at all only if the record still held it when some poll read it.
  std::vector<double> poll_ms;
  int shown = 0;
  for (int k = 1; k <= changes; ++k) {
    const auto seen = std::find_if(polls.begin(), polls.end(),
                                   [&](const Poll& p) { return p.sent >= replied[k]; });
    if (seen != polls.end()) poll_ms.push_back(Ms(seen->answered - sent[k]));
    const auto until = k < changes ? sent[k + 1] : Clock::time_point::max();
    shown += std::any_of(polls.begin(), polls.end(),
                         [&](const Poll& p) { return p.sent >= replied[k] && p.answered <= until; });
  }

  std::printf("status changes: %d (MUTE/UNMUTE, 10-30 ms apart), readers: %d\n", changes,
              readers_wanted);
  std::printf("event stream, each reader   p50 %7.2f ms  p99 %7.2f ms  max %7.2f ms\n",
              Percentile(each, 0.5), Percentile(each, 0.99), Percentile(each, 1.0));
  std::printf("event stream, last reader   p50 %7.2f ms  p99 %7.2f ms\n", Percentile(slowest, 0.5),
              Percentile(slowest, 0.99));
  std::printf("1 s GETSTATUS poll (ref.)   p50 %7.2f ms  p99 %7.2f ms  (%zu polls)\n",
              Percentile(poll_ms, 0.5), Percentile(poll_ms, 0.99), polls.size());
  std::printf("MUTE request round trip     p50 %7.2f ms  p99 %7.2f ms\n",
              Percentile(command_ms, 0.5), Percentile(command_ms, 0.99));
  std::printf("changes shown: stream %d of %d to every reader (%d readers missed some), "
              "poll %d of %d\n",
              incomplete ? 0 : changes, changes, incomplete, shown, changes);
  std::printf("p99 ratio stream/poll: %.4f\n",
              Percentile(each, 0.99) / Percentile(poll_ms, 0.99));
  return incomplete == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
