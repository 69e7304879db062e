// The network watch in a namespace of its own, logind on a private bus: each burst of
// netlink changes (a carrier coming included) and a resume make one call; quiet and going to
// sleep none.
#include "platform/network_watch.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "../platform/netns_helper.h"
#include "support/child_process.h"

namespace velnaro {
namespace {

TEST(LinuxNetworkWatch, OneCallPerSettledChange) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  char dir[] = "/tmp/velnaro-netwatch-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string bus = std::string("unix:path=") + dir + "/bus";
  testing::Child daemon({"dbus-daemon", "--session", "--nofork", "--address=" + bus}, {},
                        std::string(dir) + "/dbus.log");
  testing::WaitUntil([&] { return std::filesystem::exists(std::string(dir) + "/bus"); }, 5000);
  auto r = test::RunInNewNetns({"ip link set lo up"}, [&] {
    sd_bus* logind = nullptr;  // as far as the watch can tell: the name, and its signal
    if (sd_bus_new(&logind) < 0 || sd_bus_set_address(logind, bus.c_str()) < 0 ||
        sd_bus_set_bus_client(logind, 1) < 0 || sd_bus_start(logind) < 0 ||
        sd_bus_request_name(logind, "org.freedesktop.login1", 0) < 0)
      return std::string("no fake logind");
    std::atomic<int> calls{0};
    LinuxNetworkWatch watch([&] { ++calls; }, {std::chrono::milliseconds(200), bus});
    if (!watch.Start()) return std::string("no watch");
    std::string out;
    for (int step = 0; step < 6; ++step) {
      if (step == 1) (void)!std::system("ip link add nw0 type veth peer name nw1 && "
                                        "ip addr add 10.79.0.2/24 dev nw0 && ip link set nw0 up");
      if (step == 2) (void)!std::system("ip addr add 10.79.0.3/24 dev nw0");
      if (step == 3) (void)!std::system("ip link set nw1 up");  // nw0 gets its carrier
      if (step >= 4)  // going to sleep, then back
        sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "PrepareForSleep", "b", step == 4);
      sd_bus_flush(logind);
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      out += std::to_string(calls.load());
    }
    sd_bus_flush_close_unref(logind);
    return out;
  });
  daemon.Stop();
  std::filesystem::remove_all(dir);
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  EXPECT_EQ(r.output, "012334");
}

}  // namespace
}  // namespace velnaro
