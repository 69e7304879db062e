// The network watch in a namespace of its own: bursts of netlink changes, a notification
// and logind's resume on a private bus each make one call, and quiet makes none.
#include "platform/network_watch.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "../platform/netns_helper.h"
#include "support/child_process.h"

namespace velnaro {
namespace {

using namespace std::chrono_literals;

std::string Counts(const std::function<void(LinuxNetworkWatch&, std::function<void()>)>& steps,
                   const std::string& bus) {
  std::atomic<int> calls{0};
  LinuxNetworkWatch watch([&] { ++calls; }, {.settle = 200ms, .sleep_bus = bus});
  std::string error;
  if (!watch.Start(&error)) return error;
  std::string out;
  steps(watch, [&] {
    std::this_thread::sleep_for(700ms);
    out += std::to_string(calls.load());
  });
  return out;
}

TEST(LinuxNetworkWatch, OneCallPerSettledBurst) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  auto r = test::RunInNewNetns({"ip link set lo up"}, [] {
    return Counts([](LinuxNetworkWatch& watch, const std::function<void()>& settle) {
      settle();  // nothing moved
      (void)!std::system(
          "ip link add nw0 type veth peer name nw1 && ip addr add 10.79.0.2/24 dev nw0 && "
          "ip link set nw0 up && ip link set nw1 up");
      settle();
      (void)!std::system("ip addr del 10.79.0.2/24 dev nw0 && ip addr add 10.79.0.3/24 dev nw0");
      settle();
      watch.Notify();
      settle();
    }, "-");
  });
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  EXPECT_EQ(r.output, "0123");
}

TEST(LinuxNetworkWatch, ResumeFromSleepIsAChange) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  char tmpl[] = "/tmp/velnaro-netwatch-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string address = "unix:path=" + dir + "/bus";
  testing::Child daemon({"dbus-daemon", "--session", "--nofork", "--address=" + address}, {},
                        dir + "/dbus.log");
  for (int i = 0; i < 100 && !std::filesystem::exists(dir + "/bus"); ++i)
    std::this_thread::sleep_for(50ms);
  auto r = test::RunInNewNetns({}, [&] {
    // logind as far as the watch can tell: the name, and the signal from it.
    sd_bus* logind = nullptr;
    if (sd_bus_new(&logind) < 0 || sd_bus_set_address(logind, address.c_str()) < 0 ||
        sd_bus_set_bus_client(logind, 1) < 0 || sd_bus_start(logind) < 0 ||
        sd_bus_request_name(logind, "org.freedesktop.login1", 0) < 0)
      return std::string("no fake logind");
    auto emit = [&](int sleeping) {
      sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "PrepareForSleep", "b", sleeping);
      sd_bus_flush(logind);
    };
    std::string out = Counts([&](LinuxNetworkWatch&, const std::function<void()>& settle) {
      emit(1);  // going to sleep: nothing to do yet
      settle();
      emit(0);
      settle();
    }, address);
    sd_bus_flush_close_unref(logind);
    return out;
  });
  daemon.Stop();
  std::filesystem::remove_all(dir);
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  EXPECT_EQ(r.output, "01");
}

}  // namespace
}  // namespace velnaro
