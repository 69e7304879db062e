#pragma once
// The workstation's IPv4 interfaces and the choice of the local address for telephony.

#include <functional>
#include <string>
#include <vector>

#include "platform/ipv4_interfaces.h"

namespace velnaro {

struct tNetworkInterface {
  std::string MachineName;
  std::string IPAddress;
  std::string SubnetMask;
  std::string AddrNet;
  std::string ReportedBroadcast;
  std::string ComputedBroadcast;
  bool IsInterfaceUp = false;
  bool BroadcastSupport = false;
  bool IsLoopback = false;
  bool HasCarrier = false;  // not logged: an up interface whose cable or peer is gone has none
};
using tNetworkInterfaceList = std::vector<tNetworkInterface>;

// Empties and fills `list`; false only when no IPv4 socket could be opened.
bool ListNetworkInterfaces(tNetworkInterfaceList& list,
                           Ipv4InterfaceSource& source = DefaultIpv4InterfaceSource());

using LogSink = std::function<void(const std::string& line)>;

// Logs every entry to `log` and writes into `txtIPVPN` the address of the last up,
// non-loopback entry whose text starts with `rete`; `txtIPVPN` is left alone otherwise.
void ScegliInterfaccia(const tNetworkInterfaceList& list, const std::string& rete,
                       const LogSink& log, std::string& txtIPVPN);

}  // namespace velnaro
