#pragma once
// Web origins (scheme, host and port) as browsers write them in the Origin header.

#include <cstddef>
#include <string>
#include <string_view>

namespace velnaro {

// ASCII letters in lower case, other bytes unchanged.
std::string AsciiLower(std::string_view text);

// The length of a leading "http://" or "https://", in any letter case; 0 without one.
size_t WebSchemeLength(std::string_view url);

// A web origin as browsers send it: scheme "://" host [":" port], lower case, without the
// scheme's default port. One trailing "/" is forgiven. Empty when it is not an origin.
std::string NormalisedOrigin(std::string_view text);

}  // namespace velnaro
