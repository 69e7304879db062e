#pragma once
// What the first command-line parameter may ask for before anything starts: the version or
// a short usage (or the browser policies, provisioning/browser_policies). An option the
// program does not know is refused; any other first parameter is the provisioning address
// (TConfig).

#include <optional>
#include <string>
#include <vector>

namespace velnaro {

// The text to print when the first parameter is exactly "--version" or "--help"; nothing
// for any other command line, which starts the agent. params: the parameters after the
// program name.
std::optional<std::string> InformationRequested(const std::vector<std::string>& params);

// The first parameter when it is an option (it starts with "-") other than those two. Read
// once Qt has taken its own options out: nothing then knows it, and it is no address.
std::optional<std::string> UnknownOption(const std::vector<std::string>& params);

std::string UsageText();

}  // namespace velnaro
