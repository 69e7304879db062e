#include "provisioning/browser_policies.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

namespace velnaro {
namespace {

std::string Compact(std::string json) { return std::erase_if(json, ::isspace), json; }

// Firefox has one file for all policies: ours join the administrator's, and a later run
// takes out only the hosts it put in itself.
TEST(BrowserPolicies, FirefoxHostsJoinTheAdministratorsAndLeaveAlone) {
  const std::string admin = R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":)"
                            R"({"SkipDomains":["a.test","crm.example.test"]}}})";
  std::vector<std::string> first, second, none;
  std::string error;
  const auto written = FirefoxPolicies(
      admin, {"https://crm.example.test:8443", "http://[fd00::5]:8080"}, {}, first, error);
  const auto edited = FirefoxPolicies(written.value(), {"https://b.test"}, first, second, error);
  EXPECT_EQ(Compact(edited.value()), R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":)"
                                     R"({"SkipDomains":["a.test","crm.example.test","b.test"]}}})");
  EXPECT_EQ(Compact(FirefoxPolicies(*edited, {}, second, none, error).value()), admin);
  // One that is no policies document stays as it is.
  EXPECT_FALSE(FirefoxPolicies(R"({"policies": []})", {"https://a.test"}, {}, none, error));
}

TEST(BrowserPolicies, WhatIsNoOriginIsRefusedAndNothingWritten) {
  char root[] = "/tmp/velnaro-policies-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  std::filesystem::create_directories(std::string(root) + "/etc/velnaro-ds");
  std::ofstream(std::string(root) + "/etc/velnaro-ds/velnaro-ds.conf")
      << "AllowedOrigins = https://crm.example.test crm.example.test\n";
  unsetenv("VELNARO_CONFIG_FILE");
  EXPECT_EQ(BrowserPolicyCommand({"--write-browser-policies", "--root", root}), 1);
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(root), {}), 3);
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace velnaro
