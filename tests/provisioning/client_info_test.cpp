#include "provisioning/uClientInfo.h"

#include <net/if.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../platform/netns_helper.h"
#include "support/platform_fakes.h"

namespace velnaro {
namespace {

using Mac = std::array<std::uint8_t, 6>;

AdapterAddress Adapter(Mac mac, bool readable = true) {
  static int index = 1;
  return {"eth", ++index, readable, mac};
}

class IdentityTest : public ::testing::Test {
 protected:
  std::string IdOf(std::vector<AdapterAddress> list) {
    adapters_.adapters = std::move(list);
    TClientInfo info(false, adapters_, hardware_);
    return info.GetClientID();
  }
  FakeAdapterSource adapters_;
  FakeHardwareInfoSource hardware_;
};

TEST_F(IdentityTest, IdentifierIsTheHexOfTheAddressText) {
  adapters_.adapters = {Adapter({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})};
  TClientInfo info(false, adapters_, hardware_);
  EXPECT_EQ(info.GetMACAddress(), "001A2B3C4D5E");
  EXPECT_EQ(info.GetClientID(), "DSM303031413242334334443545");
  EXPECT_EQ(info.GetClientID().size(), 27u);
  // Asked again on every call.
  adapters_.adapters = {Adapter({0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA})};
  EXPECT_EQ(info.GetMACAddress(), "FFEEDDCCBBAA");
}

TEST_F(IdentityTest, AllZeroAdaptersAreSkipped) {
  const Mac zero{};
  EXPECT_EQ(IdOf({Adapter(zero), Adapter({0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})}),
            "DSM303031413242334334443545");
  EXPECT_EQ(IdOf({Adapter(zero)}), "DSM303030303030303030303030");
  EXPECT_EQ(IdOf({Adapter(zero), Adapter(zero)}), "DSM303030303030303030303030");
  // An unreadable adapter after an all-zero one does not end the search.
  EXPECT_EQ(IdOf({Adapter(zero), Adapter({1, 2, 3, 4, 5, 6}, false), Adapter({0, 0, 0, 0, 0, 0x0A})}),
            "DSM303030303030303030303041");
  EXPECT_EQ(IdOf({Adapter(zero), Adapter({1, 2, 3, 4, 5, 6}, false)}), "DSM303030303030303030303030");
}

TEST_F(IdentityTest, FirstUnreadableAdapterEndsTheSearch) {
  EXPECT_EQ(IdOf({Adapter({1, 2, 3, 4, 5, 6}, false), Adapter({0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})}),
            "DSM");
  EXPECT_EQ(IdOf({}), "DSM");
  // The first real address ends it too.
  EXPECT_EQ(IdOf({Adapter({0, 0, 0, 0, 0, 1}), Adapter({0, 0, 0, 0, 0, 2})}),
            "DSM303030303030303030303031");
}

TEST(StringToHex, EachCharacterAsTwoUpperCaseDigits) {
  EXPECT_EQ(TClientInfo::StringToHex(""), "");
  EXPECT_EQ(TClientInfo::StringToHex("001A"), "30303141");
  EXPECT_EQ(TClientInfo::StringToHex(std::string("\x00\xff z", 4)), "00FF207A");
}

TEST(VariantToText, NullArraysNumbersAndText) {
  using V = HardwareValue;
  EXPECT_EQ(TClientInfo::VariantToText(V::Null()), "");
  EXPECT_EQ(TClientInfo::VariantToText(V::Text("abc")), "abc");
  EXPECT_EQ(TClientInfo::VariantToText(V::Integer(-42)), "-42");
  EXPECT_EQ(TClientInfo::VariantToText(V::Real(2.5)), "2.5");
  EXPECT_EQ(TClientInfo::VariantToText(V::Array({V::Text("A"), V::Text("B")})), "[A|B]");
  EXPECT_EQ(TClientInfo::VariantToText(V::Array({V::Integer(1), V::Real(0.25), V::Null()})),
            "[1|0.25|]");
  EXPECT_EQ(TClientInfo::VariantToText(V::Array({})), "[]");
}

TEST(ReadHardwareInfo, FillsRecordsAndInfoTextInReadingOrder) {
  FakeAdapterSource adapters;
  FakeHardwareInfoSource hw;
  using V = HardwareValue;
  hw.items["Win32_BaseBoard"] = {{{"SerialNumber", V::Text("SN1")}, {"Manufacturer", V::Text("Board Co")},
                                  {"Product", V::Text("B-1")}}};
  hw.items["Win32_OperatingSystem"] = {{{"Name", V::Text("Linux")}, {"Version", V::Text("12")}}};
  hw.items["Win32_BIOS"] = {{{"BIOSVersion", V::Array({V::Text("A"), V::Text("B")})}}};
  hw.items["Win32_Processor"] = {
      {{"Name", V::Text("CPU one")}, {"Manufacturer", V::Text("M1")}},
      {{"Name", V::Text("CPU two")}, {"Manufacturer", V::Text("M2")}, {"UniqueId", V::Null()}}};
  TClientInfo info(true, adapters, hw);
  EXPECT_EQ(info.HardwareError, "");
  EXPECT_EQ(info.SchedaMadre.SerialNumber, "SN1");
  EXPECT_EQ(info.SchedaMadre.Model, "");
  EXPECT_EQ(info.OSInfo.Name, "Linux");
  EXPECT_EQ(info.BIOSInfo.BIOSVersion, "[A|B]");
  EXPECT_EQ(info.ProcessorInfo.Name, "CPU two");
  EXPECT_EQ(info.ProcessorInfo.Manufacturer, "M2");
  std::string expected = "SN1\r\nBoard Co\r\nB-1\r\n\r\n"          // board: 4
                         "\r\n\r\n\r\nLinux\r\n\r\n12\r\n"         // OS: 6
                         "[A|B]\r\n\r\n\r\n\r\n\r\n\r\n\r\n"        // BIOS: 7
                         "\r\nM1\r\nCPU one\r\n\r\n\r\n"           // processor 1: 5
                         "\r\nM2\r\nCPU two\r\n\r\n\r\n";          // processor 2: 5
  EXPECT_EQ(info.InfoText, expected);
}

TEST(ReadHardwareInfo, SelectionSetsLimitWhatIsRead) {
  FakeAdapterSource adapters;
  FakeHardwareInfoSource hw;
  hw.items["Win32_Processor"] = {{{"Description", HardwareValue::Text("d")}, {"Name", HardwareValue::Text("n")}}};
  TClientInfo info(false, adapters, hw);
  EXPECT_EQ(info.InfoText, "");
  info.SchedaMadreFields.reset();
  info.OSInfoFields.reset();
  info.BIOSInfoFields.reset();
  info.ProcessorInfoFields.reset();
  info.ProcessorInfoFields.set(2);
  EXPECT_TRUE(info.ReadHardwareInfo());
  EXPECT_EQ(info.InfoText, "n\r\n");
  EXPECT_EQ(info.ProcessorInfo.Description, "");
}

TEST(ReadHardwareInfo, FailureIsReportedNotThrown) {
  FakeAdapterSource adapters;
  adapters.adapters = {{"eth0", 2, true, {0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}};
  FakeHardwareInfoSource hw;
  hw.fail = true;
  TClientInfo info(true, adapters, hw);
  EXPECT_THAT(info.HardwareError, ::testing::HasSubstr("unavailable"));
  EXPECT_EQ(info.GetClientID(), "DSM303031413242334334443545");
}

// ---- Linux sources ----

void Put(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

TEST(LinuxHardwareInfo, ReadsDmiOsReleaseAndCpuinfoUnderARoot) {
  char tmpl[] = "/tmp/velnaro-hw-XXXXXX";
  std::filesystem::path root = mkdtemp(tmpl);
  Put(root / "sys/class/dmi/id/board_vendor", "Board Co\n");
  Put(root / "sys/class/dmi/id/board_name", "B-1\n");
  Put(root / "sys/class/dmi/id/bios_version", "1.2.3\n");
  Put(root / "sys/class/dmi/id/bios_vendor", "Bios Co\n");
  Put(root / "etc/os-release", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n");
  Put(root / "proc/sys/kernel/osrelease", "6.1.0\n");
  Put(root / "proc/cpuinfo",
      "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\nmodel name\t: CPU A\n"
      "stepping\t: 7\nphysical id\t: 0\n\n"
      "processor\t: 1\nvendor_id\t: GenuineIntel\nmodel name\t: CPU A\nphysical id\t: 0\n\n"
      "processor\t: 2\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\nmodel name\t: CPU B\n"
      "stepping\t: 7\nphysical id\t: 1\n\n");
  LinuxHardwareInfoSource src(root.string());
  FakeAdapterSource adapters;
  TClientInfo info(true, adapters, src);
  EXPECT_EQ(info.HardwareError, "");
  EXPECT_EQ(info.SchedaMadre.Manufacturer, "Board Co");
  EXPECT_EQ(info.SchedaMadre.SerialNumber, "");
  EXPECT_EQ(info.BIOSInfo.BIOSVersion, "[1.2.3]");
  EXPECT_EQ(info.BIOSInfo.Manufacturer, "Bios Co");
  EXPECT_EQ(info.OSInfo.Name, "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(info.OSInfo.Version, "12");
  EXPECT_EQ(info.OSInfo.BuildNumber, "6.1.0");
  EXPECT_EQ(src.Query("Win32_Processor").size(), 2u);  // one per package
  EXPECT_EQ(info.ProcessorInfo.Name, "CPU B");
  EXPECT_EQ(info.ProcessorInfo.Description, "Family 6 Model 85 Stepping 7");

  std::filesystem::remove_all(root / "sys");
  std::filesystem::remove_all(root / "proc");
  TClientInfo partial(true, adapters, src);
  EXPECT_THAT(partial.HardwareError, ::testing::HasSubstr("DMI"));
  EXPECT_THAT(partial.HardwareError, ::testing::HasSubstr("cpuinfo"));
  EXPECT_EQ(partial.OSInfo.Version, "12");  // what could be read still is
  std::filesystem::remove_all(root);
}

TEST(LinuxHardwareInfo, TheRealMachineNeverThrows) {
  FakeAdapterSource adapters;
  TClientInfo info(true, adapters, DefaultHardwareInfoSource());
  SUCCEED() << info.HardwareError;
}

TEST(LinuxAdapters, EthernetAdaptersOfANamespaceInIndexOrder) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  auto r = test::RunInNewNetns(
      {"ip link add vz0 address 02:00:00:00:00:0b type veth peer name vz1 address 00:1a:2b:3c:4d:5e",
       "ip link add vz2 address 02:00:00:00:00:0c type veth peer name vz3 address 02:00:00:00:00:0d"},
      [] {
        std::string out;
        for (const auto& a : LinuxAdapterSource().Adapters()) {
          char mac[32];
          std::snprintf(mac, sizeof mac, "%02X%02X%02X%02X%02X%02X", a.mac[0], a.mac[1], a.mac[2],
                        a.mac[3], a.mac[4], a.mac[5]);
          out += a.name + " " + std::to_string(a.index == static_cast<int>(if_nametoindex(a.name.c_str()))) +
                 " " + mac + "\n";
        }
        FakeHardwareInfoSource hw;
        out += "id " + TClientInfo(false, DefaultAdapterSource(), hw).GetClientID();
        return out;
      });
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  // Loopback is not Ethernet-type; the veth ends come in index order, whichever end the
  // kernel numbered first.
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 5u) << r.output;
  std::map<std::string, std::string> mac_of = {{"vz0", "02000000000B"}, {"vz1", "001A2B3C4D5E"},
                                               {"vz2", "02000000000C"}, {"vz3", "02000000000D"}};
  std::string first;
  for (size_t i = 0; i < 4; ++i) {
    std::istringstream l(lines[i]);
    std::string name, index_ok, mac;
    l >> name >> index_ok >> mac;
    EXPECT_EQ(index_ok, "1") << lines[i];
    EXPECT_EQ(mac_of[name], mac) << lines[i];
    if (i == 0) first = mac;
  }
  EXPECT_EQ(lines[4], "id DSM" + TClientInfo::StringToHex(first));
}

TEST(LinuxAdapters, NamespaceWithOnlyLoopbackGivesBareDSM) {
  if (!test::IsRoot()) GTEST_SKIP() << "needs root to create a network namespace";
  auto r = test::RunInNewNetns({}, [] {
    FakeHardwareInfoSource hw;
    return TClientInfo(false, DefaultAdapterSource(), hw).GetClientID();
  });
  if (!r.ok) GTEST_SKIP() << "network namespace not usable here: " << r.error;
  EXPECT_EQ(r.output, "DSM");
}

}  // namespace
}  // namespace velnaro
