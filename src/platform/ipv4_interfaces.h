#pragma once
// The workstation's IPv4 addresses with mask, broadcast address and three flags, in the
// system's order, and the computer name.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velnaro {

// Flag bits as the interface list reports them.
inline constexpr unsigned kIfUp = 1;
inline constexpr unsigned kIfBroadcast = 2;
inline constexpr unsigned kIfLoopback = 4;
// The link under it is running (carrier present); beside the three reported flags.
inline constexpr unsigned kIfRunning = 8;

struct Ipv4InterfaceAddress {
  std::uint32_t address = 0;    // network byte order
  std::uint32_t mask = 0;       // network byte order
  std::uint32_t broadcast = 0;  // network byte order, as reported (0 when none)
  unsigned flags = 0;
};

class Ipv4InterfaceSource {
 public:
  virtual ~Ipv4InterfaceSource() = default;
  // nullopt when no IPv4 socket can be opened; an empty list when the query failed.
  virtual std::optional<std::vector<Ipv4InterfaceAddress>> List() = 0;
  // At most 15 characters; empty when the name cannot be read.
  virtual std::string ComputerName() = 0;
};

// getifaddrs in the calling thread's network namespace; every address is listed.
class LinuxIpv4InterfaceSource final : public Ipv4InterfaceSource {
 public:
  std::optional<std::vector<Ipv4InterfaceAddress>> List() override;
  std::string ComputerName() override;
};

Ipv4InterfaceSource& DefaultIpv4InterfaceSource();

// "192.168.10.7" <-> network-order value; ParseIpv4 gives nullopt for bad text.
std::string Ipv4ToText(std::uint32_t address);
std::optional<std::uint32_t> ParseIpv4(const std::string& text);

}  // namespace velnaro
