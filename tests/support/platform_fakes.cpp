#include "support/platform_fakes.h"

namespace velnaro {

FakeInstanceGuard::~FakeInstanceGuard() {
  std::lock_guard lock(registry_.mutex);
  std::erase_if(registry_.holders, [this](const auto& h) { return h.second == this; });
}

bool FakeInstanceGuard::Claim(const std::string& name) {
  std::lock_guard lock(registry_.mutex);
  for (auto& [held, owner] : registry_.holders) {
    if (held == name) return owner == this;
  }
  registry_.holders.emplace_back(name, this);
  return true;
}

bool FakeInstanceGuard::AskHolderToRestore(const std::string& name) {
  FakeInstanceGuard* owner = nullptr;
  {
    std::lock_guard lock(registry_.mutex);
    for (auto& [held, o] : registry_.holders) {
      if (held == name) owner = o;
    }
  }
  if (!owner) return false;
  ++owner->restore_requests_;
  if (owner->handler_) owner->handler_();
  return true;
}

bool FakeUserStore::KeyExists(std::string_view key) {
  return keys_.count(NormaliseStoreKey(key)) > 0;
}

bool FakeUserStore::OpenKey(std::string_view key, bool can_create) {
  current_.clear();
  std::string k = NormaliseStoreKey(key);
  if (fail_open) return false;
  if (!keys_.count(k)) {
    if (!can_create || fail_create) return false;
    keys_[k];
  }
  current_ = k;
  return true;
}

void FakeUserStore::CloseKey() { current_.clear(); }

std::string FakeUserStore::ReadString(std::string_view name) {
  auto it = keys_.find(current_);
  if (current_.empty() || it == keys_.end()) return "";
  return ReadStoreString(it->second, name);
}

void FakeUserStore::WriteString(std::string_view name, std::string_view value) {
  if (current_.empty() || fail_write) throw FailedToSet(name);
  keys_[current_][std::string(name)] = StoreValue{StoreValueType::kString, std::string(value)};
  ++writes;
}

void FakeUserStore::Set(std::string_view key, std::string_view name, StoreValue value) {
  keys_[NormaliseStoreKey(key)][std::string(name)] = std::move(value);
}

void FakeUserStore::AddKey(std::string_view key) { keys_[NormaliseStoreKey(key)]; }

const StoreValue* FakeUserStore::Get(std::string_view key, std::string_view name) const {
  auto k = keys_.find(NormaliseStoreKey(key));
  if (k == keys_.end()) return nullptr;
  auto v = k->second.find(std::string(name));
  return v == k->second.end() ? nullptr : &v->second;
}

}  // namespace velnaro
