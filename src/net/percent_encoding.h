#pragma once
// Percent-encoding with a caller's choice of the bytes to escape, and hex digits.

#include <string>
#include <string_view>

namespace velnaro {

// The value of one hexadecimal digit, either case; -1 for any other character.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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
