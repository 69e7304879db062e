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

// Runs fn with `key` open, closing it also when fn throws. False when the key cannot be
// opened (fn does not run then).
template <class Fn>
bool WithKeyOpen(UserStore& s, const std::string& key, bool can_create, Fn fn) {
  if (!s.OpenKey(key + "\\", can_create)) return false;
  try {
    fn();
  } catch (...) {
    s.CloseKey();
    throw;
  }
  s.CloseKey();
  return true;
}

// Reads ClientID under key. False when the key does not exist or cannot be opened.
bool ReadStoredClientID(UserStore& s, const char* key, std::string& id) {
  return s.KeyExists(key) && WithKeyOpen(s, key, false, [&] { id = s.ReadString("ClientID"); });
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
  WithKeyOpen(s, kCurrentKey, true, [&] { s.WriteString("ClientID", ClientID); });
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
