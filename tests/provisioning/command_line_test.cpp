#include "provisioning/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace velnaro {
namespace {

using ::testing::HasSubstr;
using Params = std::vector<std::string>;

TEST(CommandLine, OnlyAnExactFirstParameterAsksForInformation) {
  EXPECT_EQ(InformationRequested({"--version"}), "velnaro-ds 4.00.002\n");
  EXPECT_EQ(InformationRequested({"--help"}), UsageText());
  EXPECT_EQ(InformationRequested({"--version", "http://prov.example.internal/oService"}),
            "velnaro-ds 4.00.002\n");
  // Anything else is a provisioning address, or nothing at all: the agent starts.
  for (const Params& p : {Params{}, Params{""}, Params{"-h"}, Params{"--HELP"}, Params{"-version"},
                          Params{"--version=1"}, Params{" --help"},
                          Params{"http://prov.example.internal/oService", "--help"}}) {
    EXPECT_EQ(InformationRequested(p), std::nullopt) << (p.empty() ? "(none)" : p[0]);
  }
}

// Qt has taken its own options out by then; any other is no provisioning address.
TEST(CommandLine, AnUnknownOptionIsRefused) {
  EXPECT_EQ(UnknownOption({"--verbose"}), "--verbose");
  EXPECT_EQ(UnknownOption({"-h", "http://prov.example.internal/oService"}), "-h");
  for (const Params& p : {Params{}, Params{""}, Params{"--help"}, Params{"--version"},
                          Params{"http://prov.example.internal/oService", "--verbose"}})
    EXPECT_EQ(UnknownOption(p), std::nullopt) << (p.empty() ? "(none)" : p[0]);
}

// Every variable the program reads is explained, with the files an administrator looks for.
TEST(CommandLine, HelpNamesEveryEnvironmentVariableAndFile) {
  std::string help = UsageText();
  std::set<std::string> names = {"VELNARO_SERVICE_URL", "VELNARO_CONFIG_FILE",
                                 "VELNARO_HARDENING",   "TEMP",
                                 "TMPDIR",              "XDG_STATE_HOME"};
  std::regex read_call(R"((getenv|qgetenv|qEnvironmentVariable\w*)\(\s*"([A-Z_0-9]+)\")");
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(std::string(VELNARO_SOURCE_DIR) + "/src")) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    for (std::sregex_iterator m(s.begin(), s.end(), read_call), end; m != end; ++m)
      names.insert((*m)[2].str());
  }
  EXPECT_GT(names.size(), 10u);
  for (const std::string& name : names) EXPECT_THAT(help, HasSubstr(name)) << name;
  EXPECT_THAT(help, HasSubstr("/etc/velnaro-ds/velnaro-ds.conf"));
  EXPECT_THAT(help, HasSubstr("$XDG_STATE_HOME/velnaro-ds/velnaro-ds.log"));
  EXPECT_THAT(help, HasSubstr("http://127.0.0.1:8088/oService"));
}

}  // namespace
}  // namespace velnaro
