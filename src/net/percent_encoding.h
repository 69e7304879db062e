#pragma once
// Percent-encoding with a caller's choice of the bytes to escape.

#include <string>
#include <string_view>

namespace velnaro {

// Every byte for which `escape(byte)` holds becomes %XX (upper-case hex); the rest pass.
template <class Escape>
std::string PercentEncode(std::string_view text, Escape escape) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (escape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace velnaro
