// The real program's address (a veth) renumbered, taken down, left without carrier and
// replaced under a proxy and a softphone: calls reach it after each move and a call in
// progress follows it; while no address is usable the page reads OFFLINE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <memory>

#include "../telephony/real_peers.h"
#include "lab_harness.h"

namespace velnaro::testing {
namespace {

const test::SipAccount kAgent{"1001", "secret1001"}, kCustomer{"2002", "secret2002"};

class Roaming : public LabFixture {
 protected:
  void Ip(std::initializer_list<std::string> commands) {
    for (const auto& c : commands) ASSERT_EQ(std::system(("ip " + c).c_str()), 0) << c;
  }
  // Runs fn on a thread of its own in the named namespace: what it starts lives there.
  template <typename F>
  void InNetns(const std::string& name, F fn) {
    std::thread([&] {
      const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) fn();
      if (fd >= 0) ::close(fd);
    }).join();
  }
  // One call from the customer: answered by the agent, ended by the customer.
  bool AnsweredAtOnce(test::Softphone& customer) {
    const int n = customer.Count("CALL_ESTABLISHED");
    customer.Command("dial", "sip:" + kAgent.user + "@127.0.0.1");
    const bool answered = WaitUntil([&] { return customer.Count("CALL_ESTABLISHED") > n; }, 3000);
    customer.Command("hangup");
    return answered && WaitForStatus("IDLE", "", 5000);
  }
  bool ReachesTheAgent(test::Softphone& customer) {
    return WaitUntil([&] { return AnsweredAtOnce(customer); }, 10000);
  }
};

TEST_F(Roaming, CallsFollowTheAddressThroughRenumberLinkLossAndANewInterface) {
  Ip({"link add ag0 type veth peer name ag1", "link set ag1 up", "addr add 10.80.0.2/24 dev ag0",
      "link set ag0 up"});
  test::SipProxy proxy(dir_, {kAgent, kCustomer}, 5060);
  test::Softphone customer(dir_, proxy, kCustomer, 440);
  ASSERT_TRUE(proxy.ok() && customer.ok() && customer.WaitRegistered()) << customer.Log();
  StartProvisioning();
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService?reply=roaming", agent, "agent.log", AgentEnv());
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status() << agent.Output();
  ASSERT_TRUE(ReachesTheAgent(customer)) << customer.Dump() << proxy.TraceText();
  // Renumbered during a call: offered again from the new address, the call goes on.
  customer.Command("dial", "sip:" + kAgent.user + "@127.0.0.1");
  ASSERT_TRUE(WaitForStatus("INCALL", "", 5000) && customer.WaitFor("CALL_ESTABLISHED"));
  Ip({"addr del 10.80.0.2/24 dev ag0", "addr add 10.80.0.5/24 dev ag0"});
  EXPECT_TRUE(WaitUntil(
      [&] { return proxy.TraceText().find("c=IN IP4 10.80.0.5") != std::string::npos; }));
  const size_t heard = customer.Heard().mono.size();  // 8 kHz: a second of the agent's sound
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(WaitForStatus("INCALL", "", 0) && customer.Heard().mono.size() > heard + 8000);
  customer.Command("hangup");
  EXPECT_TRUE(WaitForStatus("IDLE", "", 5000)) << Status();
  // A new lease in the same prefix while idle: both ways again.
  Ip({"addr del 10.80.0.5/24 dev ag0", "addr add 10.80.0.7/24 dev ag0"});
  EXPECT_TRUE(ReachesTheAgent(customer)) << customer.Dump() << proxy.TraceText();
  HttpGet(9090, "/phone/?Action=CALL&Prefix=&Number=" + kCustomer.user);
  EXPECT_TRUE(WaitForStatus("INCALL", "ANSWERE", 10000)) << Status();
  HttpGet(9090, "/phone/?Action=HANGUP");
  const auto down = std::chrono::steady_clock::now();
  Ip({"link set ag0 down"});  // the link goes away for 20 s, then comes back
  EXPECT_TRUE(WaitForStatus("OFFLINE", "", 10000)) << Status();
  std::this_thread::sleep_until(down + std::chrono::seconds(20));
  Ip({"link set ag0 up"});
  EXPECT_TRUE(WaitForStatus("ONLINE", "", 10000) && ReachesTheAgent(customer)) << Status();
  Ip({"link set ag1 down"});  // the far end of the cable goes: the address stays, no carrier
  EXPECT_TRUE(WaitForStatus("OFFLINE", "", 10000)) << Status();
  Ip({"link set ag1 up"});
  EXPECT_TRUE(WaitForStatus("ONLINE", "", 10000) && ReachesTheAgent(customer)) << Status();
  Ip({"link del ag0"});  // a VPN reconnecting: a new device, another address
  EXPECT_TRUE(WaitForStatus("OFFLINE", "", 10000)) << Status();
  Ip({"link add tun7 type veth peer name tun7p", "link set tun7p up",
      "addr add 10.80.0.9/24 dev tun7", "link set tun7 up"});
  EXPECT_TRUE(ReachesTheAgent(customer)) << customer.Dump() << proxy.TraceText();
}

// Behind a router (a namespace between the program's and the proxy's) whose UDP mappings
// last 30 s: after three quiet minutes a call still comes in, at the first try.
TEST_F(Roaming, AnIncomingCallArrivesBehindARouterAfterThreeIdleMinutes) {
  const std::string nat = "velnaro-nat-" + std::to_string(::getpid());
  const std::string sip = "velnaro-sip-" + std::to_string(::getpid());
  Ip({"netns add " + nat, "netns add " + sip});
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    (void)!std::system(("ip netns del " + nat + "; ip netns del " + sip).c_str());
  });
  const std::string in_nat = "-n " + nat + " ", in_sip = "-n " + sip + " ";
  Ip({"link add ag0 type veth peer name ag1 netns " + nat, "addr add 10.80.0.2/24 dev ag0",
      "link set ag0 up", "route add default via 10.80.0.1", in_nat + "addr add 10.80.0.1/24 dev ag1",
      in_nat + "link set ag1 up", in_nat + "link add wan1 type veth peer name wan0 netns " + sip,
      in_nat + "addr add 10.81.0.1/24 dev wan1", in_nat + "link set wan1 up",
      in_sip + "addr add 10.81.0.2/24 dev wan0", in_sip + "link set wan0 up",
      in_sip + "link set lo up"});
  const std::string router = "netns exec " + nat + " ";
  Ip({router + "nft add table ip nat",
      router + "nft 'add chain ip nat post { type nat hook postrouting priority 100 ; }'",
      router + "nft add rule ip nat post oifname wan1 masquerade",
      router + "sysctl -qw net.ipv4.ip_forward=1 net.netfilter.nf_conntrack_udp_timeout=30 "
               "net.netfilter.nf_conntrack_udp_timeout_stream=30"});
  std::unique_ptr<test::SipProxy> proxy;
  std::unique_ptr<test::Softphone> customer;
  InNetns(sip, [&] {
    proxy = std::make_unique<test::SipProxy>(dir_, std::vector{kAgent, kCustomer}, 5060,
                                             test::ProxyListener{"", "", "", "10.81.0.2"});
    customer = std::make_unique<test::Softphone>(dir_, *proxy, kCustomer, 440);
  });
  ASSERT_TRUE(proxy && customer && proxy->ok() && customer->ok() && customer->WaitRegistered());
  StartProvisioning();
  Child agent;
  StartAgent("http://127.0.0.1:8088/oService?reply=roaming-nat", agent, "agent.log", AgentEnv());
  ASSERT_TRUE(WaitForStatus("ONLINE", "", 20000)) << Status() << agent.Output();
  ASSERT_TRUE(ReachesTheAgent(*customer)) << customer->Dump() << proxy->TraceText();
  std::this_thread::sleep_for(std::chrono::minutes(3));
  EXPECT_TRUE(AnsweredAtOnce(*customer)) << customer->Dump() << proxy->TraceText();
}

}  // namespace
}  // namespace velnaro::testing
