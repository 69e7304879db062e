#include "provisioning/clConfig.h"

#include <fstream>
#include <iterator>

#include "provisioning/uClientInfo.h"

namespace velnaro {

TConfig::TConfig(ConfigPlatform platform) : store_(platform.store) {
  {
    TClientInfo info(true, platform.adapters ? *platform.adapters : DefaultAdapterSource(),
                     platform.hardware ? *platform.hardware : DefaultHardwareInfoSource());
    HardwareError = info.HardwareError;
    oID = "0";
    ClientID = info.GetClientID();
  }
  ClientVersion = kClientVersion;
  SoftwareID = kSoftwareID;
  SoftwareVersion = kSoftwareVersion;
  ServiceURL = kDefaultServiceURL;
}

UserStore& TConfig::Store() {
  if (!store_) {
    own_store_ = std::make_unique<FileUserStore>();
    store_ = own_store_.get();
  }
  return *store_;
}

namespace {

// Reads ClientID under key, closing the key also when the read throws.
// False when the key does not exist or cannot be opened.
bool ReadStoredClientID(UserStore& s, const char* key, std::string& id) {
  if (!s.KeyExists(key) || !s.OpenKey(std::string(key) + "\\", false)) return false;
  try {
    id = s.ReadString("ClientID");
  } catch (...) {
    s.CloseKey();
    throw;
  }
  s.CloseKey();
  return true;
}

}  // namespace

void TConfig::LoadFromRegistry() {
  std::string id;
  if (ReadStoredClientID(Store(), kCurrentKey, id)) {
    if (!id.empty()) ClientID = id;
    return;
  }
  LoadFromLegacyRegistry();
}

void TConfig::LoadFromLegacyRegistry() {
  std::string id;
  if (!ReadStoredClientID(Store(), kLegacyKey, id)) return;
  if (!id.empty()) ClientID = id;
  SaveToRegistry();
}

void TConfig::SaveToRegistry() {
  UserStore& s = Store();
  if (!s.OpenKey(std::string(kCurrentKey) + "\\", true)) return;
  try {
    s.WriteString("ClientID", ClientID);
  } catch (...) {
    s.CloseKey();
    throw;
  }
  s.CloseKey();
}

void TConfig::ReadCommandLine(const std::vector<std::string>& params) {
  if (!params.empty() && !params[0].empty()) ServiceURL = params[0];
}

void TConfig::ReadCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  ReadCommandLine(args);
}

}  // namespace velnaro
