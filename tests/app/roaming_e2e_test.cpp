// The real program's address (a veth) renumbered, taken down, left without carrier and
// replaced under a proxy and a softphone: calls reach it after each move and a call in
// progress follows it; while no address is usable the page reads OFFLINE.
#include <gtest/gtest.h>

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
  // The customer calls until the agent answers, ending each try itself.
  bool ReachesTheAgent(test::Softphone& customer) {
    return WaitUntil([&] {
      const int n = customer.Count("CALL_ESTABLISHED");
      customer.Command("dial", "sip:" + kAgent.user + "@127.0.0.1");
      const bool answered = WaitUntil([&] { return customer.Count("CALL_ESTABLISHED") > n; }, 3000);
      customer.Command("hangup");
      return answered && WaitForStatus("IDLE", "", 5000);
    }, 10000);
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
  Ip({"link set ag0 down"});  // the link goes away for a while, then comes back
  EXPECT_TRUE(WaitForStatus("OFFLINE", "", 10000)) << Status();
  std::this_thread::sleep_for(std::chrono::seconds(5));
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

}  // namespace
}  // namespace velnaro::testing
