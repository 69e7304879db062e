#include "platform/adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>

#include <algorithm>
#include <cstring>

namespace velnaro {

std::vector<AdapterAddress> LinuxAdapterSource::Adapters() {
  std::vector<AdapterAddress> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    if (ll->sll_hatype != ARPHRD_ETHER) continue;
    AdapterAddress a;
    a.name = i->ifa_name ? i->ifa_name : "";
    a.index = ll->sll_ifindex;
    a.readable = ll->sll_halen == 6;
    if (a.readable) std::memcpy(a.mac.data(), ll->sll_addr, 6);
    out.push_back(std::move(a));
  }
  freeifaddrs(list);
  std::stable_sort(out.begin(), out.end(),
                   [](const AdapterAddress& x, const AdapterAddress& y) { return x.index < y.index; });
  return out;
}

AdapterSource& DefaultAdapterSource() {
  static LinuxAdapterSource source;
  return source;
}

}  // namespace velnaro
