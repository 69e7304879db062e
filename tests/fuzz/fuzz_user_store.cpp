// Arbitrary bytes as the stored user file. Reading fails only with StoreError; a file the
// store cannot use is never overwritten; a write lands and keeps every other value of its
// key as it was read. The key and value names probed are the document's own.
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/scratch_file.h"
#include "platform/user_store.h"

namespace {

std::string ReadAll(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// The first key of the document and up to four value names in it.
void Names(const std::string& text, std::string& key, std::vector<std::string>& values) {
  key = "Software\\Velnaro\\VelnaroDS";
  values = {"ClientID"};
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject() || doc.MemberCount() == 0) return;
  const auto& first = *doc.MemberBegin();
  const std::string name(first.name.GetString(), first.name.GetStringLength());
  if (velnaro::NormaliseStoreKey(name).empty()) return;  // no key can be opened by that path
  key = name;
  if (!first.value.IsObject()) return;
  for (auto v = first.value.MemberBegin(); v != first.value.MemberEnd() && values.size() < 5; ++v)
    values.emplace_back(v->name.GetString(), v->name.GetStringLength());
}

// A value's text, or nothing when it is not a string.
std::optional<std::string> Read(velnaro::UserStore& s, const std::string& name) {
  try {
    return s.ReadString(name);
  } catch (const velnaro::StoreError&) {
    return std::nullopt;
  }
}

bool SameName(const std::string& a, const std::string& b) {
  velnaro::StoreNameLess less;
  return !less(a, b) && !less(b, a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = velnaro::fuzz::Scratch() / "VelnaroDS.json";
  velnaro::fuzz::WriteWhole(path, data, size);
  std::string key;
  std::vector<std::string> names;
  Names(text, key, names);

  velnaro::FileUserStore store(path);
  const bool existed = store.KeyExists(key);
  Check(store.OpenKey(key, false) == existed);
  std::vector<std::optional<std::string>> before;
  for (const auto& n : names) before.push_back(existed ? Read(store, n) : std::string());

  const std::string value = "fuzz\"\\\x01" + text.substr(0, 8);
  if (!store.OpenKey(key, true)) {
    bool threw = false;
    try {
      store.WriteString(names[0], value);
    } catch (const velnaro::StoreError&) {
      threw = true;
    }
    Check(threw && ReadAll(path) == text);
    return 0;
  }
  store.WriteString(names[0], value);

  velnaro::FileUserStore again(path);
  Check(again.OpenKey(key, false));
  Check(Read(again, names[0]) == value);
  for (size_t i = 1; i < names.size(); ++i) {
    if (SameName(names[i], names[0])) continue;
    Check(Read(again, names[i]) == before[i]);
  }
  return 0;
}
