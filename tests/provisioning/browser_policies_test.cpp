#include "provisioning/browser_policies.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "provisioning/machine_config.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;

std::string Compact(std::string json) {
  json.erase(std::remove_if(json.begin(), json.end(), [](char c) { return c == ' ' || c == '\n'; }),
             json.end());
  return json;
}

TEST(BrowserPolicies, ChromiumFamilyLetsEachOriginReachTheLoopbackAddress) {
  EXPECT_EQ(ChromiumPolicies({"https://crm.example.test", "http://10.0.0.5:8080"}),
            "{\n  \"LoopbackNetworkAllowedForUrls\": "
            "[\"https://crm.example.test\", \"http://10.0.0.5:8080\"],\n"
            "  \"LocalNetworkAccessAllowedForUrls\": "
            "[\"https://crm.example.test\", \"http://10.0.0.5:8080\"],\n"
            "  \"OverrideSecurityRestrictionsOnInsecureOrigin\": [\"http://10.0.0.5:8080\"]\n}\n");
}

// Firefox has one file for all policies: ours go in beside the administrator's, and a later
// run takes out only the hosts it put in itself.
TEST(BrowserPolicies, FirefoxHostsJoinTheAdministratorsAndLeaveAlone) {
  const std::string admin = R"({"policies": {"DisableTelemetry": true, "LocalNetworkAccess":
      {"SkipDomains": ["intranet.test", "crm.example.test"]}}})";
  std::vector<std::string> first, second, none;
  std::string error;
  const auto written = FirefoxPolicies(
      admin, {"https://crm.example.test:8443", "http://[fd00::5]:8080"}, {}, first, error);
  ASSERT_TRUE(written) << error;
  EXPECT_THAT(first, ElementsAre("fd00::5"));  // the other host was the administrator's
  const auto edited =
      FirefoxPolicies(*written, {"https://other.example.test"}, first, second, error);
  EXPECT_EQ(Compact(*edited),
            R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":{"SkipDomains":)"
            R"(["intranet.test","crm.example.test","other.example.test"]}}})");
  EXPECT_EQ(Compact(FirefoxPolicies(*edited, {}, second, none, error).value()), Compact(admin));
  // A file that held ours alone goes; one that is no policies document is left as it is.
  const auto alone = FirefoxPolicies("", {"https://crm.example.test"}, {}, first, error);
  EXPECT_EQ(FirefoxPolicies(*alone, {}, first, none, error), "");
  EXPECT_FALSE(
      FirefoxPolicies(R"({"policies": []})", {"https://crm.example.test"}, {}, none, error));
}

TEST(BrowserPolicies, WhatIsNoOriginIsRefusedAndNothingWritten) {
  char folder[] = "/tmp/velnaro-policies-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::filesystem::path root = folder;
  std::filesystem::create_directories(root / "etc/velnaro-ds");
  std::ofstream(root / "etc/velnaro-ds/velnaro-ds.conf")
      << "AllowedOrigins = https://crm.example.test crm.example.test\n";
  unsetenv(kMachineConfigVariable);
  EXPECT_EQ(BrowserPolicyCommand({"--write-browser-policies", "--root", root}), 1);
  EXPECT_FALSE(std::filesystem::exists(root / kChromiumPolicyFiles[0]));
  EXPECT_FALSE(std::filesystem::exists(root / kFirefoxPolicyFile));
  EXPECT_EQ(BrowserPolicyCommand({"--write-browser-policies", "--root"}), 2);
  EXPECT_EQ(BrowserPolicyCommand({"http://prov.example.internal/oService"}), std::nullopt);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace velnaro
