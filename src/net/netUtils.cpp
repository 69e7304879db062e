#include "net/netUtils.h"

#include <exception>

namespace velnaro {
namespace {

const char* Word(bool b) { return b ? "True" : "False"; }

std::string Line(const char* key, const std::string& value, bool last = false) {
  return std::string(" \"") + key + "\": \"" + value + "\"" + (last ? " " : ",");
}

}  // namespace

bool ListNetworkInterfaces(tNetworkInterfaceList& list, Ipv4InterfaceSource& source) {
  list.clear();
  auto addresses = source.List();
  if (!addresses) return false;
  try {
    std::string name = source.ComputerName();
    for (const Ipv4InterfaceAddress& a : *addresses) {
      tNetworkInterface e;
      e.MachineName = name;
      e.IPAddress = Ipv4ToText(a.address);
      e.SubnetMask = Ipv4ToText(a.mask);
      e.AddrNet = Ipv4ToText(a.address & a.mask);
      e.ReportedBroadcast = Ipv4ToText(a.broadcast);
      e.ComputedBroadcast = Ipv4ToText(~a.mask | (a.address & a.mask));
      e.IsInterfaceUp = (a.flags & kIfUp) != 0;
      e.BroadcastSupport = (a.flags & kIfBroadcast) != 0;
      e.IsLoopback = (a.flags & kIfLoopback) != 0;
      e.HasCarrier = (a.flags & kIfRunning) != 0;
      list.push_back(std::move(e));
    }
  } catch (const std::exception&) {
    // What was filled so far stays; the caller goes on with it.
  }
  return true;
}

void ScegliInterfaccia(const tNetworkInterfaceList& list, const std::string& rete,
                       const LogSink& log, std::string& txtIPVPN) {
  auto put = [&](const std::string& s) {
    if (log) log(s);
  };
  for (const tNetworkInterface& e : list) {
    if (e.IsInterfaceUp && !e.IsLoopback) {
      put("- Questa si");
      put("- Lan da verificare: " + rete);
      if (!rete.empty()) {
        std::string head = e.IPAddress.substr(0, rete.size());
        put("- Verifico: " + head);
        if (head == rete) {
          put("- SICURO QUESTA");
          txtIPVPN = e.IPAddress;
        }
      }
    } else {
      put("- Questa no");
    }
    put(Line("IPAddress", e.IPAddress));
    put(Line("SubnetMask", e.SubnetMask));
    put(Line("AddrNet", e.AddrNet));
    put(Line("IsInterfaceUp", Word(e.IsInterfaceUp)));
    put(Line("BroadcastSupport", Word(e.BroadcastSupport)));
    put(Line("IsLoopback", Word(e.IsLoopback), true));
    put(" " + std::string(40, '-'));
  }
}

}  // namespace velnaro
