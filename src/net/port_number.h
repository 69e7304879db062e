#pragma once
// A TCP port number as people write it: decimal digits only, 1 to 65535.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velnaro {

inline std::optional<uint16_t> ParsePortNumber(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [last, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || last != end || value == 0 || value > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace velnaro
