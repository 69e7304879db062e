// The SIP owner thread: tasks from other threads run there one at a time, events reach the
// sink in order and never inside another handler, and owner-only code refuses other threads.

#include "telephony/sip_owner_thread.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "telephony/linphone_session.h"

namespace velnaro {
namespace {

struct Recorder : SipUserAgentEvents {
  void OnConnecting(int line) override {
    seen.push_back("Connecting " + std::to_string(line));
    if (on_connecting) on_connecting();
  }
  void OnDisconnectCall(int line) override { seen.push_back("Disconnect " + std::to_string(line)); }
  std::vector<std::string> seen;
  std::function<void()> on_connecting;
};

TEST(SipOwnerThread, RunsTasksOnItsThreadAndDeliversEventsInOrderOutsideHandlers) {
  SipOwnerThread owner;
  int pumps = 0;
  owner.Start([&] {
    ++pumps;
    owner.Deliver();
  });
  Recorder sink;
  owner.Invoke([&] { owner.SetSink(&sink); });

  std::thread::id ran_on;
  EXPECT_EQ(owner.Call([&] {
    ran_on = std::this_thread::get_id();
    return owner.Call([] { return 7; });  // on the owner thread: at once, no deadlock
  }), 7);
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_FALSE(owner.OnOwnerThread());

  // A handler that queues more and calls back in sees the rest only after it returns.
  sink.on_connecting = [&] {
    owner.Queue([](SipUserAgentEvents& e) { e.OnDisconnectCall(2); });
    owner.Invoke([&] { owner.Deliver(); });
    sink.seen.push_back("handler done");
  };
  owner.Invoke([&] {
    owner.Queue([](SipUserAgentEvents& e) { e.OnConnecting(0); });
    owner.Queue([](SipUserAgentEvents& e) { e.OnDisconnectCall(1); });
  });
  EXPECT_EQ(owner.Call([&] { return sink.seen; }),
            (std::vector<std::string>{"Connecting 0", "handler done", "Disconnect 1",
                                      "Disconnect 2"}));
  EXPECT_GT(owner.Call([&] { return pumps; }), 0);
}

// Idle, it sleeps in the wait it is given (the library's loop, serving its sockets) until
// a packet there raises an event or another thread posts a task.
TEST(SipOwnerThread, SleepsUntilASocketEventOrATask) {
  SipOwnerThread owner(std::chrono::hours(1));
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv), 0);
  std::atomic<int> pumps{0}, waits{0};
  std::atomic<bool> raised{false};
  Recorder sink;
  sink.on_connecting = [&] { raised = true; };
  owner.Start([&] { ++pumps; owner.Deliver(); }, [] { return false; }, [&](int wake_fd, int ms) {
    for (++waits;;) {
      pollfd p[2] = {{wake_fd, POLLIN, 0}, {sv[0], POLLIN, 0}};
      if (::poll(p, 2, ms) <= 0 || p[0].revents) return;
      [[maybe_unused]] const ssize_t n = ::recv(sv[0], &p, 1, 0);
      owner.Queue([](SipUserAgentEvents& e) { e.OnConnecting(0); });
    }
  });
  owner.Invoke([&] { owner.SetSink(&sink); });
  // The thread may have slept once before the task came: the sleep that counts is the one
  // after the task's cadence.
  const int before = waits;
  ASSERT_TRUE(testing::WaitUntil([&] { return waits > before; }));
  const int asleep = pumps;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(pumps, asleep);
  ASSERT_EQ(::send(sv[1], "x", 1, 0), 1);
  EXPECT_TRUE(testing::WaitUntil([&] { return raised.load(); }));
  auto task = std::async(std::launch::async, [&] { owner.Invoke([] {}); });
  EXPECT_EQ(task.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(SipOwnerThreadDeathTest, OwnerOnlyCodeAbortsOnAnotherThread) {
  if (!SipOwnerThread::ChecksThreads()) GTEST_SKIP() << "a release build checks no thread";
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  SipOwnerThread owner;
  owner.Start({});
  EXPECT_DEATH(owner.Queue([](SipUserAgentEvents&) {}), "Queue: owner-thread function");
  // The adapter's own parts are checked in this build too.
  LinphoneSound sound(owner, {.force_virtual = true});
  LinphoneSession session(owner, sound, "", {});
  EXPECT_DEATH(session.Registered(), "Registered: owner-thread function");
  EXPECT_FALSE(owner.Call([&] { return session.Registered(); }));
}

}  // namespace
}  // namespace velnaro
