#pragma once
// The workstation's browser policies that let the pages of AllowedOrigins reach the agent.
// Today's browsers put every request from a page on a public address to the loopback
// address behind a permission, which a page served over plain http cannot even ask for;
// these managed policies grant it to the listed origins, and to them alone.
//
//   velnaro-ds --write-browser-policies [--root DIR]    (the package runs it on configure)
//   velnaro-ds --remove-browser-policies [--root DIR]   (and this one on remove)

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

// Where each browser reads them, below the root: Chromium, Google Chrome, Microsoft Edge.
inline constexpr const char* kChromiumPolicyFiles[] = {
    "etc/chromium/policies/managed/velnaro-ds.json",
    "etc/opt/chrome/policies/managed/velnaro-ds.json",
    "etc/opt/edge/policies/managed/velnaro-ds.json",
};
// Firefox has one file for every policy: ours are merged into the administrator's.
inline constexpr const char* kFirefoxPolicyFile = "etc/firefox/policies/policies.json";
// The hosts this program added to Firefox's SkipDomains, one a line, so that a later run
// takes out its own and nothing of the administrator's.
inline constexpr const char* kFirefoxHostsRecord = "var/lib/velnaro-ds/firefox-skip-domains";

// The document of the Chromium family for these origins (as MachineConfig holds them).
std::string ChromiumPolicies(const std::vector<std::string>& origins);

// Firefox's policies.json: `existing` (empty: no file) with the hosts that `previous` names
// taken out of LocalNetworkAccess's SkipDomains and the hosts of `origins` put in; all else
// stays as it was. `added` receives the hosts that were not there before. Empty text when no
// policy is left; nothing, with `error` set, when `existing` is not a policies document.
std::optional<std::string> FirefoxPolicies(std::string_view existing,
                                           const std::vector<std::string>& origins,
                                           const std::vector<std::string>& previous,
                                           std::vector<std::string>& added, std::string& error);

// "--write-browser-policies" or "--remove-browser-policies" as the first parameter: does
// it and gives the exit status. Nothing for any other command line.
std::optional<int> BrowserPolicyCommand(const std::vector<std::string>& params);

}  // namespace velnaro
