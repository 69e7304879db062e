#pragma once
// Workstation identity: the identifier derived from the network adapter's hardware
// address, and descriptive data about the machine.

#include <bitset>
#include <string>

#include "platform/adapters.h"
#include "platform/hardware_info.h"

namespace velnaro {

struct TDatiSchedaMadre {
  std::string SerialNumber, Manufacturer, Product, Model;
};
struct TDatiOSInfo {
  std::string BuildNumber, BuildType, Manufacturer, Name, SerialNumber, Version;
};
struct TDatiBIOSInfo {
  std::string BIOSVersion, BuildNumber, Description, Manufacturer, Name, SerialNumber, Version;
};
struct TDatiProcessorInfo {
  std::string Description, Manufacturer, Name, ProcessorId, UniqueId;
};

class TClientInfo {
 public:
  explicit TClientInfo(bool read_hardware, AdapterSource& adapters = DefaultAdapterSource(),
                       HardwareInfoSource& hardware = DefaultHardwareInfoSource());

  // 12 upper-case hex digits, "000000000000" for an all-zero address, empty when none.
  std::string GetMACAddress();
  // "DSM" + StringToHex(GetMACAddress()); asks the adapters again on every call.
  std::string GetClientID();
  // Fills the four records and InfoText. Never throws: a failure of the hardware source
  // is kept in HardwareError and the result is false.
  bool ReadHardwareInfo();

  static std::string StringToHex(const std::string& text);
  // null: empty; array: "[a|b]"; otherwise the usual text form.
  static std::string VariantToText(const HardwareValue& value);

  TDatiSchedaMadre SchedaMadre;
  TDatiOSInfo OSInfo;
  TDatiBIOSInfo BIOSInfo;
  TDatiProcessorInfo ProcessorInfo;
  std::bitset<6> OSInfoFields;
  std::bitset<7> BIOSInfoFields;
  std::bitset<5> ProcessorInfoFields;
  std::bitset<4> SchedaMadreFields;
  std::string InfoText;       // every value read, each followed by "\r\n"
  std::string HardwareError;  // empty unless ReadHardwareInfo failed

 private:
  AdapterSource& adapters_;
  HardwareInfoSource& hardware_;
};

}  // namespace velnaro
