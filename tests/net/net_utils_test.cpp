#include "net/netUtils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../platform/netns_helper.h"
#include "support/platform_fakes.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;

Ipv4InterfaceAddress Addr(const char* ip, const char* mask, unsigned flags, const char* bcast = "0.0.0.0") {
  return {*ParseIpv4(ip), *ParseIpv4(mask), *ParseIpv4(bcast), flags};
}

tNetworkInterface Entry(const char* ip, bool up, bool loopback = false) {
  tNetworkInterface e;
  e.IPAddress = ip;
  e.SubnetMask = "255.255.255.0";
  e.AddrNet = "x";
  e.IsInterfaceUp = up;
  e.BroadcastSupport = !loopback;
  e.IsLoopback = loopback;
  return e;
}

struct Choice {
  std::vector<std::string> log;
  std::string address;
};

Choice Choose(const tNetworkInterfaceList& list, const std::string& rete) {
  Choice c;
  ScegliInterfaccia(list, rete, [&](const std::string& l) { c.log.push_back(l); }, c.address);
  return c;
}

size_t Count(const std::vector<std::string>& log, const std::string& line) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), line));
}

TEST(ListNetworkInterfaces, FillsEveryFieldInTheSystemsOrder) {
  FakeIpv4InterfaceSource src;
  src.computer_name = "PC-OPERATORE";
  src.addresses = {Addr("192.168.10.7", "255.255.255.0", kIfUp | kIfBroadcast | kIfRunning,
                        "192.168.10.255"),
                   Addr("127.0.0.1", "255.0.0.0", kIfUp | kIfLoopback)};
  tNetworkInterfaceList list(3);  // emptied first
  ASSERT_TRUE(ListNetworkInterfaces(list, src));
  ASSERT_EQ(list.size(), 2u);
  const auto& e = list[0];
  EXPECT_EQ(e.MachineName, "PC-OPERATORE");
  EXPECT_EQ(e.IPAddress, "192.168.10.7");
  EXPECT_EQ(e.SubnetMask, "255.255.255.0");
  EXPECT_EQ(e.AddrNet, "192.168.10.0");
  EXPECT_EQ(e.ReportedBroadcast, "192.168.10.255");
  EXPECT_EQ(e.ComputedBroadcast, "192.168.10.255");
  EXPECT_TRUE(e.IsInterfaceUp);
  EXPECT_TRUE(e.BroadcastSupport);
  EXPECT_FALSE(e.IsLoopback);
  EXPECT_TRUE(e.HasCarrier && !list[1].HasCarrier);
  EXPECT_EQ(list[1].IPAddress, "127.0.0.1");
  EXPECT_EQ(list[1].AddrNet, "127.0.0.0");
  EXPECT_EQ(list[1].ComputedBroadcast, "127.255.255.255");
  EXPECT_EQ(list[1].ReportedBroadcast, "0.0.0.0");
  EXPECT_TRUE(list[1].IsLoopback);
  EXPECT_FALSE(list[1].BroadcastSupport);
}

TEST(ListNetworkInterfaces, NoSocketIsFalseAndAFailedQueryAnEmptyList) {
  FakeIpv4InterfaceSource src;
  src.no_socket = true;
  tNetworkInterfaceList list(2);
  EXPECT_FALSE(ListNetworkInterfaces(list, src));
  EXPECT_TRUE(list.empty());
  src.no_socket = false;
  EXPECT_TRUE(ListNetworkInterfaces(list, src));
  EXPECT_TRUE(list.empty());
}

TEST(ListNetworkInterfaces, ManyAddressesAreAllListed) {
  FakeIpv4InterfaceSource src;
  for (int i = 1; i <= 40; ++i) {
    std::string ip = "10.0.0." + std::to_string(i);
    src.addresses.push_back(Addr(ip.c_str(), "255.255.255.0", kIfUp | kIfBroadcast));
  }
  tNetworkInterfaceList list;
  ASSERT_TRUE(ListNetworkInterfaces(list, src));
  EXPECT_EQ(list.size(), 40u);
  EXPECT_EQ(list.back().IPAddress, "10.0.0.40");
  EXPECT_EQ(Choose(list, "10.0.0.4").address, "10.0.0.40");
}

TEST(ScegliInterfaccia, LogsEachEntryInSevenLines) {
  tNetworkInterface e = Entry("192.168.1.20", true);
  e.AddrNet = "192.168.1.0";
  Choice c = Choose({e}, "192.168.1");
  EXPECT_THAT(c.log, ElementsAre("- Questa si", "- Lan da verificare: 192.168.1",
                                 "- Verifico: 192.168.1", "- SICURO QUESTA",
                                 " \"IPAddress\": \"192.168.1.20\",",
                                 " \"SubnetMask\": \"255.255.255.0\",",
                                 " \"AddrNet\": \"192.168.1.0\",", " \"IsInterfaceUp\": \"True\",",
                                 " \"BroadcastSupport\": \"True\",", " \"IsLoopback\": \"False\" ",
                                 " ----------------------------------------"));
  EXPECT_EQ(c.address, "192.168.1.20");
}

TEST(ScegliInterfaccia, PrefixIsPlainTextAndTheLastMatchWins) {
  Choice c = Choose({Entry("192.168.1.20", true), Entry("192.168.10.7", true)}, "192.168.1");
  EXPECT_EQ(c.address, "192.168.10.7");
  EXPECT_EQ(Count(c.log, "- SICURO QUESTA"), 2u);
  EXPECT_EQ(Count(c.log, "- Verifico: 192.168.1"), 2u);
  // Shorter address than the prefix: the whole address is compared.
  Choice shorter = Choose({Entry("1.2.3.4", true)}, "1.2.3.4.5.6.7");
  EXPECT_EQ(shorter.log[2], "- Verifico: 1.2.3.4");
  EXPECT_EQ(shorter.address, "");
}

TEST(ScegliInterfaccia, DownAndLoopbackEntriesNeverQualify) {
  Choice c = Choose({Entry("192.168.1.5", false), Entry("127.0.0.1", true, true)}, "1");
  EXPECT_EQ(c.address, "");
  EXPECT_EQ(Count(c.log, "- Questa no"), 2u);
  EXPECT_EQ(c.log.size(), 16u);
  EXPECT_EQ(c.log[4], " \"IsInterfaceUp\": \"False\",");
  Choice lo = Choose({Entry("127.0.0.1", true, true)}, "127");
  EXPECT_EQ(lo.log.front(), "- Questa no");
  EXPECT_EQ(lo.log.size(), 8u);
  EXPECT_EQ(lo.address, "");
}

TEST(ScegliInterfaccia, EmptyPrefixChoosesNothing) {
  Choice c = Choose({Entry("10.1.1.1", true), Entry("10.1.1.2", true)}, "");
  EXPECT_EQ(Count(c.log, "- Questa si"), 2u);
  EXPECT_EQ(Count(c.log, "- Lan da verificare: "), 2u);
  for (const auto& l : c.log) EXPECT_EQ(l.find("- Verifico"), std::string::npos);
  EXPECT_EQ(c.address, "");
}

TEST(ScegliInterfaccia, NoMatchLeavesTheFieldAsItWas) {
  std::string field = "untouched";
  ScegliInterfaccia({Entry("10.1.1.1", true)}, "192.", nullptr, field);
  EXPECT_EQ(field, "untouched");
  Choice none = Choose({}, "10");
  EXPECT_TRUE(none.log.empty());
}

TEST(LinuxIpv4Interfaces, ComputerNameIsShort) {
  EXPECT_LE(LinuxIpv4InterfaceSource().ComputerName().size(), 15u);
}

TEST(LinuxIpv4Interfaces, RealEnumerationInANamespace) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  auto r = test::RunInNewNetns(
      {"ip link add vn0 type veth peer name vn1", "ip link set lo up",
       "ip addr add 10.77.1.5/24 broadcast 10.77.1.255 dev vn0", "ip addr add 10.77.2.6/16 dev vn1",
       "ip addr add 10.77.1.9/24 dev vn0", "ip link set vn0 up"},
      [] {
        tNetworkInterfaceList list;
        if (!ListNetworkInterfaces(list)) return std::string("no socket");
        std::string out;
        for (const auto& e : list) {
          out += e.IPAddress + " " + e.SubnetMask + " " + e.AddrNet + " " + e.ReportedBroadcast + " " +
                 e.ComputedBroadcast + " " + (e.IsInterfaceUp ? "up" : "down") +
                 (e.IsLoopback ? " lo" : "") + (e.BroadcastSupport ? " bc" : "") + "\n";
        }
        std::string chosen;
        ScegliInterfaccia(list, "10.77.", nullptr, chosen);
        return out + "chosen " + chosen;
      });
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  EXPECT_THAT(r.output, ::testing::HasSubstr("127.0.0.1 255.0.0.0 127.0.0.0 0.0.0.0 127.255.255.255 up lo\n"));
  EXPECT_THAT(r.output, ::testing::HasSubstr(
                            "10.77.1.5 255.255.255.0 10.77.1.0 10.77.1.255 10.77.1.255 up bc\n"));
  EXPECT_THAT(r.output, ::testing::HasSubstr("10.77.1.9 255.255.255.0 10.77.1.0"));
  // Without a configured broadcast the reported one is whatever the system says.
  EXPECT_THAT(r.output, ::testing::MatchesRegex(
                            "(.|\n)*10\\.77\\.2\\.6 255\\.255\\.0\\.0 10\\.77\\.0\\.0 [0-9.]+ 10\\.77\\.255\\.255 down bc\n(.|\n)*"));
  // vn1 is down; of the two on vn0 the later one in the system's order wins.
  auto pos5 = r.output.find("10.77.1.5 "), pos9 = r.output.find("10.77.1.9 ");
  EXPECT_THAT(r.output, ::testing::EndsWith(pos9 > pos5 ? "chosen 10.77.1.9" : "chosen 10.77.1.5"));
}

}  // namespace
}  // namespace velnaro
