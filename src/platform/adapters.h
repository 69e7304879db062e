#pragma once
// The workstation's network adapters with an Ethernet-type hardware address, in
// interface-index order: the source of the workstation identifier.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velnaro {

struct AdapterAddress {
  std::string name;
  int index = 0;
  bool readable = false;  // false: the adapter's address could not be read
  std::array<std::uint8_t, 6> mac{};
};

class AdapterSource {
 public:
  virtual ~AdapterSource() = default;
  virtual std::vector<AdapterAddress> Adapters() = 0;
};

// getifaddrs AF_PACKET entries of ARPHRD_ETHER type in the calling thread's network
// namespace, sorted by interface index. An address that is not six bytes long counts as
// unreadable.
class LinuxAdapterSource final : public AdapterSource {
 public:
  std::vector<AdapterAddress> Adapters() override;
};

AdapterSource& DefaultAdapterSource();

}  // namespace velnaro
