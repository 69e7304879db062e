#include "provisioning/machine_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/support_log.h"
#include "provisioning/clConfig.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

class MachineConfigTest : public ::testing::Test {
 protected:
  MachineConfig Parse(const std::string& text) {
    return ParseMachineConfig(text, "velnaro-ds.conf", sink_);
  }
  std::vector<std::string> problems_;
  ConfigProblemSink sink_ = [this](const std::string& p) { problems_.push_back(p); };
};

TEST_F(MachineConfigTest, ReadsEverySettingOfAWellFormedFile) {
  MachineConfig c = Parse(
      "\xEF\xBB\xBF# rolled out by IT\r\n"
      "\n"
      "ServiceURL = https://prov.example.internal/velnaro/oService ; the new service\r\n"
      "controlport: 9191\n"
      "Hardening = TRUE\n"
      "AllowedOrigins = https://crm.example.internal, http://10.0.0.5:8080\n"
      "    https://crm2.example.internal\n"
      "SipTransport = TLS\nSipServerPort = 5062\nSipCACertificate = /etc/velnaro-ds/ca.pem\n"
      "MediaEncryption = srtp-required\nAudioCodecs = PCMA, opus,pcma\n");
  EXPECT_THAT(problems_, IsEmpty());
  EXPECT_EQ(c.Sip.ServerPort(), 5062);
  EXPECT_EQ(c.Sip.ca_file, "/etc/velnaro-ds/ca.pem");
  EXPECT_EQ(c.Sip.MediaEncryption(), SipServerSettings::Media::kSrtpRequired);
  EXPECT_THAT(c.Sip.codecs, ElementsAre("pcma", "opus"));
  EXPECT_EQ(c.ServiceURL, "https://prov.example.internal/velnaro/oService");
  EXPECT_EQ(c.ControlPort, 9191);
  EXPECT_TRUE(c.Hardening);
  EXPECT_THAT(c.AllowedOrigins, ElementsAre("https://crm.example.internal", "http://10.0.0.5:8080",
                                            "https://crm2.example.internal"));
}

TEST_F(MachineConfigTest, NothingSetLeavesEveryDefault) {
  MachineConfig c = Parse("# nothing here\n; nor here\n\n");
  EXPECT_THAT(problems_, IsEmpty());
  EXPECT_EQ(c.ServiceURL, "");
  EXPECT_FALSE(c.ControlPort);
  EXPECT_FALSE(c.Hardening);
  EXPECT_THAT(c.AllowedOrigins, IsEmpty());
  const SipServerSettings tls = Parse("SipTransport = tls\n").Sip;
  EXPECT_TRUE(tls.ServerPort() == 5061 && tls.MediaEncryption() == SipServerSettings::Media::kSrtp);
}

// The file the package installs: as shipped it sets nothing, and each commented default,
// once uncommented, is accepted and equal to the built-in value.
TEST_F(MachineConfigTest, ShippedFileDocumentsTheBuiltInDefaults) {
  std::ifstream in(std::string(VELNARO_SOURCE_DIR) + "/packaging/velnaro-ds.conf");
  std::stringstream shipped;
  shipped << in.rdbuf();
  ASSERT_FALSE(shipped.str().empty());
  MachineConfig as_shipped = Parse(shipped.str());
  EXPECT_EQ(as_shipped.ServiceURL, "");
  EXPECT_FALSE(as_shipped.ControlPort);

  std::string uncommented =
      std::regex_replace(shipped.str(), std::regex("^#([A-Za-z]+ =)", std::regex::multiline), "$1");
  ASSERT_NE(uncommented, shipped.str());
  MachineConfig c = Parse(uncommented);
  EXPECT_THAT(problems_, IsEmpty());
  EXPECT_EQ(c.ServiceURL, kDefaultServiceURL);
  EXPECT_EQ(c.ControlPort, 9090);
  EXPECT_FALSE(c.Hardening);
  EXPECT_THAT(c.AllowedOrigins, IsEmpty());
  EXPECT_EQ(c.Sip.ServerPort(), 5060);
  EXPECT_THAT(c.Sip.codecs, ElementsAre("opus", "g722", "pcma", "pcmu"));
}

TEST_F(MachineConfigTest, BadValuesAreReportedWithTheirLineAndLeaveTheDefault) {
  for (const char* bad : {"ftp://prov.example.internal/oService", "prov.example.internal/oService",
                          "http://", "http:///oService", "http://prov example/oService"}) {
    problems_.clear();
    MachineConfig c = Parse(std::string("\nServiceURL = ") + bad + "\n");
    EXPECT_EQ(c.ServiceURL, "") << bad;
    ASSERT_THAT(problems_, SizeIs(1)) << bad;
    EXPECT_THAT(problems_[0], HasSubstr("velnaro-ds.conf:2: ServiceURL must be"));
    EXPECT_THAT(problems_[0], HasSubstr(bad));
  }
  for (const char* bad : {"0", "65536", "90x", "-1", "9 090"}) {
    problems_.clear();
    EXPECT_FALSE(Parse(std::string("ControlPort = ") + bad + "\n").ControlPort) << bad;
    ASSERT_THAT(problems_, SizeIs(1)) << bad;
    EXPECT_THAT(problems_[0], HasSubstr("ControlPort must be a port number"));
  }
  problems_.clear();
  EXPECT_FALSE(Parse("Hardening = yes please\n").Hardening);
  ASSERT_THAT(problems_, SizeIs(1));
  EXPECT_THAT(problems_[0], HasSubstr("Hardening must be true or false"));
  problems_.clear();
  EXPECT_THAT(Parse("SipTransport = sctp\nSipServerPort = 0\nSipCACertificate = ca.pem\n"
                    "MediaEncryption = zrtp\nAudioCodecs = opus, g7<22\n").Sip.codecs,
              ElementsAre("opus"));
  EXPECT_THAT(problems_, SizeIs(5));
}

TEST_F(MachineConfigTest, UnknownKeysSectionsRepeatsAndStrayLinesAreReported) {
  MachineConfig c = Parse(
      "RingTone = loud\n"
      "ControlPort = 9191\n"
      "ControlPort = 9192\n"
      "this line is no setting\n"
      "[General]\n"
      "ServiceURL = http://prov.example.internal/oService\n");
  // The agent goes on with what it could read.
  EXPECT_EQ(c.ControlPort, 9192);
  EXPECT_EQ(c.ServiceURL, "");
  ASSERT_THAT(problems_, SizeIs(4));
  EXPECT_THAT(problems_[0], HasSubstr(":1: unknown key \"RingTone\""));
  EXPECT_THAT(problems_[1], HasSubstr(":3: ControlPort is set more than once"));
  EXPECT_THAT(problems_[2], HasSubstr(":6: settings go at the top of the file, not in [General]"));
  EXPECT_THAT(problems_[3], HasSubstr(":4: not a setting"));
}

TEST_F(MachineConfigTest, OriginsAreNormalisedAndBadOnesLeftOut) {
  MachineConfig c = Parse(
      "AllowedOrigins = HTTPS://CRM.Example.com:443/ http://10.0.0.5:8080,,https://[::1]:9000\n"
      "AllowedOrigins = crm.example.com https://crm.example.com/path https://x:0 "
      "https://crm.example.com\n");
  EXPECT_THAT(c.AllowedOrigins,
              ElementsAre("https://crm.example.com", "http://10.0.0.5:8080", "https://[::1]:9000"));
  ASSERT_THAT(problems_, SizeIs(3));
  EXPECT_THAT(problems_[0], HasSubstr(":2: AllowedOrigins: \"crm.example.com\" is not an origin"));
  EXPECT_THAT(problems_[1], HasSubstr("\"https://crm.example.com/path\""));
  EXPECT_THAT(problems_[2], HasSubstr("\"https://x:0\""));
}

TEST_F(MachineConfigTest, OverlongLineIsLeftOutWholeNotCut) {
  std::string origins;
  for (int i = 0; i < 12; ++i) origins += " https://crm" + std::to_string(i) + ".example.internal";
  ASSERT_GT(origins.size(), 200u);
  MachineConfig c = Parse("AllowedOrigins =" + origins + "\nControlPort = 9191\n");
  EXPECT_THAT(c.AllowedOrigins, IsEmpty());
  EXPECT_EQ(c.ControlPort, 9191);
  ASSERT_THAT(problems_, SizeIs(1));
  EXPECT_THAT(problems_[0], HasSubstr(":1: the line is longer than"));
}

TEST_F(MachineConfigTest, FileThatCannotBeReadIsReportedUnlessItIsTheAbsentDefault) {
  std::string dir = ::testing::TempDir() + "machine-config-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/velnaro-ds.conf") << "ControlPort = 9191\n";

  EXPECT_EQ(ReadMachineConfigFile(dir + "/velnaro-ds.conf", true, sink_).ControlPort, 9191);
  ReadMachineConfigFile(dir + "/absent.conf", false, sink_);
  EXPECT_THAT(problems_, IsEmpty());

  ReadMachineConfigFile(dir + "/absent.conf", true, sink_);
  ReadMachineConfigFile(dir, false, sink_);
  ASSERT_THAT(problems_, SizeIs(2));
  EXPECT_THAT(problems_[0], HasSubstr("absent.conf: cannot be read (No such file"));
  EXPECT_THAT(problems_[1], HasSubstr("cannot be read (Is a directory)"));
  std::filesystem::remove_all(dir);
}

TEST_F(MachineConfigTest, EnvironmentOverridesTheFileWhichOverridesTheBuiltInAddress) {
  const std::string builtin = kDefaultServiceURL;
  MachineConfig none;
  MachineConfig file;
  file.ServiceURL = "http://prov.example.internal/oService";
  EXPECT_EQ(ConfiguredServiceURL(none, nullptr, builtin, sink_), builtin);
  EXPECT_EQ(ConfiguredServiceURL(file, nullptr, builtin, sink_), file.ServiceURL);
  EXPECT_EQ(ConfiguredServiceURL(file, "", builtin, sink_), file.ServiceURL);
  EXPECT_EQ(ConfiguredServiceURL(file, "https://other.example.internal/oService", builtin, sink_),
            "https://other.example.internal/oService");
  EXPECT_THAT(problems_, IsEmpty());
  // A bad address in the environment is passed over, not used.
  EXPECT_EQ(ConfiguredServiceURL(file, "other.example.internal", builtin, sink_), file.ServiceURL);
  ASSERT_THAT(problems_, SizeIs(1));
  EXPECT_THAT(problems_[0], HasSubstr("VELNARO_SERVICE_URL must be an http:// or https:// address"));
}

// The environment switches the profile either way over the file, for every reader of it;
// a value it cannot use is reported and the file's setting stands.
TEST_F(MachineConfigTest, HardeningVariableOverridesTheFile) {
  std::string dir = ::testing::TempDir() + "machine-config-env-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/on.conf") << "Hardening = true\n";
  std::ofstream(dir + "/unset.conf") << "# nothing\n";
  auto read = [&](const char* file, const char* variable) {
    setenv(kMachineConfigVariable, (dir + "/" + file).c_str(), 1);
    if (variable)
      setenv(kHardeningVariable, variable, 1);
    else
      unsetenv(kHardeningVariable);
    return ReadMachineConfig(sink_).Hardening;
  };
  EXPECT_TRUE(read("on.conf", nullptr));
  EXPECT_TRUE(read("on.conf", ""));
  EXPECT_FALSE(read("on.conf", "0"));
  EXPECT_TRUE(read("unset.conf", "1"));
  EXPECT_TRUE(read("unset.conf", "TRUE"));
  EXPECT_FALSE(read("unset.conf", "false"));
  EXPECT_THAT(problems_, IsEmpty());
  EXPECT_TRUE(read("on.conf", "yes"));
  ASSERT_THAT(problems_, SizeIs(1));
  EXPECT_EQ(problems_[0],
            "VELNARO_HARDENING must be 1 or 0 (true or false), not \"yes\"; it is ignored");
  unsetenv(kHardeningVariable);
  unsetenv(kMachineConfigVariable);
  std::filesystem::remove_all(dir);
}

// The program's own reporter: standard error, and the support log as a warning.
TEST(ReportConfigProblem, GoesToStandardErrorAndTheLog) {
  std::string dir = ::testing::TempDir() + "machine-config-log-" + std::to_string(getpid());
  {
    SupportLogFile log({.path = dir + "/velnaro-ds.log"});
    ASSERT_EQ(log.error(), "");
    ::testing::internal::CaptureStderr();
    ReportConfigProblem("velnaro-ds.conf:3: unknown key \"RingTone\" is ignored");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "velnaro-ds: velnaro-ds.conf:3: unknown key \"RingTone\" is ignored\n");
  }
  std::ifstream in(dir + "/velnaro-ds.log");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_THAT(text.str(), HasSubstr("[warning] config: velnaro-ds.conf:3: unknown key"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velnaro
