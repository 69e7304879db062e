#include "net/web_origin.h"

#include <algorithm>
#include <cctype>

#include "net/port_number.h"

namespace velnaro {

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return out;
}

size_t WebSchemeLength(std::string_view url) {
  std::string head = AsciiLower(url.substr(0, 8));
  if (head.rfind("http://", 0) == 0) return 7;
  if (head == "https://") return 8;
  return 0;
}

std::string NormalisedOrigin(std::string_view text) {
  std::string s = AsciiLower(text);
  if (!s.empty() && s.back() == '/') s.pop_back();
  size_t scheme_length = WebSchemeLength(s);
  if (scheme_length == 0) return {};
  std::string scheme = s.substr(0, scheme_length - 3);
  std::string authority = s.substr(scheme_length);
  std::string host = authority, port;
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (!ParsePortNumber(port)) return {};
  }
  bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  auto host_char = [bracketed](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
           (bracketed && (c == ':' || c == '[' || c == ']'));
  };
  if (host.empty() || !std::all_of(host.begin(), host.end(), host_char)) return {};
  if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) port.clear();
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

}  // namespace velnaro
