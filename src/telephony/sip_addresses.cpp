#include "telephony/sip_addresses.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "telephony/linphone_handles.h"

namespace velnaro {
namespace {

// Host and port of a proxy text such as "sip:host:5080;transport=udp" or "host".
void SplitHostPort(std::string s, std::string* host, std::string* port) {
  if (s.rfind("sip:", 0) == 0) s = s.substr(4);
  if (auto at = s.find('@'); at != std::string::npos) s = s.substr(at + 1);
  if (auto semi = s.find_first_of(";>"); semi != std::string::npos) s = s.substr(0, semi);
  *port = "5060";
  if (auto colon = s.find(':'); colon != std::string::npos) {
    *port = s.substr(colon + 1);
    s = s.substr(0, colon);
  }
  *host = s;
}

// The numeric form of an IPv4 or IPv6 address (brackets allowed); empty for anything else.
std::string NumericAddress(std::string ip) {
  if (ip.size() > 1 && ip.front() == '[' && ip.back() == ']') ip = ip.substr(1, ip.size() - 2);
  char buf[INET6_ADDRSTRLEN];
  in_addr a4{};
  in6_addr a6{};
  if (::inet_pton(AF_INET, ip.c_str(), &a4) == 1 && ::inet_ntop(AF_INET, &a4, buf, sizeof buf))
    return buf;
  if (::inet_pton(AF_INET6, ip.c_str(), &a6) == 1 && ::inet_ntop(AF_INET6, &a6, buf, sizeof buf))
    return buf;
  return {};
}

std::string Text(const char* s) { return s ? s : ""; }

}  // namespace

std::string RouteAddressTo(const std::string& proxy) {
  std::string host, port;
  SplitHostPort(proxy, &host, &port);
  if (host.empty()) return "127.0.0.1";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return "127.0.0.1";
  std::string out = "127.0.0.1";
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0) {
    if (::connect(fd, res->ai_addr, res->ai_addrlen) == 0) {
      sockaddr_in local{};
      socklen_t len = sizeof local;
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        char buf[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &local.sin_addr, buf, sizeof buf)) out = buf;
      }
    }
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return out;
}

std::vector<std::string> HostAddresses(const std::string& proxy) {
  std::string host, port;
  SplitHostPort(proxy, &host, &port);
  std::vector<std::string> out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (addrinfo* a = res; a; a = a->ai_next) {
    char buf[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, buf, sizeof buf, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    if (std::string n = NumericAddress(buf); !n.empty()) out.push_back(std::move(n));
  }
  ::freeaddrinfo(res);
  return out;
}

std::vector<std::string> ViaSenderAddresses(const std::string& via) {
  std::vector<std::string> out;
  // The stack's own parser, as for the request itself: the first Via of the text.
  const ViaPtr v(kTakeRef, belle_sip_header_via_parse(("Via: " + via).c_str()));
  if (!v) return out;
  if (std::string a = NumericAddress(Text(belle_sip_header_via_get_host(v.get()))); !a.empty())
    out.push_back(std::move(a));
  if (const char* received = belle_sip_header_via_get_received(v.get()))
    out.push_back(NumericAddress(received));
  // A "received" that is no address stays an ordinary parameter: an empty entry for it,
  // which nobody trusts.
  const auto* params = BELLE_SIP_PARAMETERS(v.get());
  for (const belle_sip_list_t* n = belle_sip_parameters_get_parameter_names(params); n;
       n = n->next) {
    const char* name = static_cast<const char*>(n->data);
    if (::strcasecmp(name, "received") == 0)
      out.push_back(NumericAddress(Text(belle_sip_parameters_get_parameter(params, name))));
  }
  return out;
}

}  // namespace velnaro
