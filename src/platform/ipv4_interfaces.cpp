#include "platform/ipv4_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velnaro {
namespace {

std::uint32_t Addr(const sockaddr* sa) {
  if (!sa || sa->sa_family != AF_INET) return 0;
  return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
}

}  // namespace

std::optional<std::vector<Ipv4InterfaceAddress>> LinuxIpv4InterfaceSource::List() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return std::nullopt;
  ::close(s);
  std::vector<Ipv4InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    Ipv4InterfaceAddress a;
    a.address = Addr(i->ifa_addr);
    a.mask = Addr(i->ifa_netmask);
    if (i->ifa_flags & IFF_BROADCAST) a.broadcast = Addr(i->ifa_broadaddr);
    if (i->ifa_flags & IFF_UP) a.flags |= kIfUp;
    if (i->ifa_flags & IFF_BROADCAST) a.flags |= kIfBroadcast;
    if (i->ifa_flags & IFF_LOOPBACK) a.flags |= kIfLoopback;
    if (i->ifa_flags & IFF_RUNNING) a.flags |= kIfRunning;
    out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

std::string LinuxIpv4InterfaceSource::ComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
  std::string name(buf);
  if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  if (name.size() > 15) name.resize(15);
  return name;
}

Ipv4InterfaceSource& DefaultIpv4InterfaceSource() {
  static LinuxIpv4InterfaceSource source;
  return source;
}

std::string Ipv4ToText(std::uint32_t address) {
  char buf[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

}  // namespace velnaro
