#pragma once
// The run's configuration: identity and version constants, the provisioning service
// address, the persisted workstation identifier and the values of the provisioning reply.
// Other parts read and write the fields directly.

#include <memory>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/hardware_info.h"
#include "platform/user_store.h"

namespace velnaro {

inline constexpr const char* kCurrentKey = "Software\\Velnaro\\VelnaroDS";
inline constexpr const char* kLegacyKey = "Software\\Morvel\\VelnaroDS";
inline constexpr const char* kDefaultServiceURL = "http://127.0.0.1:8088/oService";
inline constexpr const char* kClientVersion = "Windows 333";
inline constexpr const char* kSoftwareID = "3";
inline constexpr const char* kSoftwareVersion = "4.00.002";

struct ConfigPlatform {
  UserStore* store = nullptr;              // null: the per-user file store
  AdapterSource* adapters = nullptr;       // null: the system's adapters
  HardwareInfoSource* hardware = nullptr;  // null: the system's descriptions
};

class TConfig {
 public:
  // Sets the defaults and derives the identifier (DataModuleCreate).
  explicit TConfig(ConfigPlatform platform = {});

  // Stored identifier from the current key, else from the legacy key (copied over).
  // StoreError ("Invalid data type for 'ClientID'", "Failed to set data for 'ClientID'")
  // leaves these calls; ClientID then keeps its earlier value.
  void LoadFromRegistry();
  void LoadFromLegacyRegistry();
  void SaveToRegistry();
  // params: the command-line parameters after the program name; a non-empty first one
  // replaces ServiceURL. Without arguments the process's own command line is read.
  void ReadCommandLine(const std::vector<std::string>& params);
  void ReadCommandLine();

  std::string oID;
  std::string ClientID;
  std::string ClientVersion;
  std::string SoftwareID;
  std::string SoftwareVersion;
  std::string ServiceURL;
  std::string SipServer;  // written once by the start-up action, read by uploads
  std::string SipInterno;
  std::string SipUtente;
  std::string SipPassword;
  std::string ClientDS;
  std::string Rete;
  std::string ConferenceNumber;
  std::string Note;
  std::string UpdateURL;
  std::string UpdateFILE;
  std::string UpdateFORCE;
  std::string UpdateMSG;
  std::string UpdateInfoURL;

  // Set when the hardware descriptions could not be read at creation; the identifier
  // does not depend on them.
  std::string HardwareError;

 private:
  UserStore& Store();
  std::unique_ptr<UserStore> own_store_;
  UserStore* store_;
};

}  // namespace velnaro
