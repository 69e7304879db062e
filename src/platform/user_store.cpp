#include "platform/user_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "platform/atomic_file.h"
#include "platform/state_folder.h"

namespace velnaro {
namespace {

std::string InvalidType(std::string_view name) {
  return "Invalid data type for '" + std::string(name) + "'";
}

const char* TypeName(StoreValueType t) {
  switch (t) {
    case StoreValueType::kString: return "string";
    case StoreValueType::kExpandString: return "expand_string";
    case StoreValueType::kDword: return "dword";
    case StoreValueType::kBinary: return "binary";
    case StoreValueType::kMultiString: return "multi_string";
  }
  return "string";
}

bool TypeFromName(std::string_view s, StoreValueType& t) {
  for (auto c : {StoreValueType::kString, StoreValueType::kExpandString, StoreValueType::kDword,
                 StoreValueType::kBinary, StoreValueType::kMultiString}) {
    if (s == TypeName(c)) {
      t = c;
      return true;
    }
  }
  return false;
}


bool MakeDirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st{};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string StripTrailingBackslashes(std::string_view key) {
  std::string s(key);
  while (!s.empty() && s.back() == '\\') s.pop_back();
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string ReadStoreString(const StoreValues& values, std::string_view name) {
  auto it = values.find(std::string(name));
  if (it == values.end()) return "";
  const StoreValue& v = it->second;
  if (v.type != StoreValueType::kString && v.type != StoreValueType::kExpandString)
    throw StoreError(InvalidType(name));
  return v.data;
}

StoreError FailedToSet(std::string_view name) {
  return StoreError("Failed to set data for '" + std::string(name) + "'");
}

bool StoreNameLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Lower(x) < Lower(y); });
}

std::string NormaliseStoreKey(std::string_view key) {
  std::string s = StripTrailingBackslashes(key);
  for (char& c : s) c = Lower(c);
  return s;
}

std::string DefaultUserStorePath() {
  return XdgBaseFolder("XDG_CONFIG_HOME", ".config") + "/velnaro/VelnaroDS.json";
}

// ---- FileUserStore ----
// Layout: { "<key path>": { "<value name>": "text" | {"type": "...", "data": ...} } }.
// A plain JSON string is a string value; the object form carries other types.

FileUserStore::FileUserStore(std::string path) : path_(std::move(path)) {}

FileUserStore::LoadResult FileUserStore::Load(std::map<std::string, Key>& keys) const {
  keys.clear();
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    struct stat st{};
    return (stat(path_.c_str(), &st) != 0 && errno == ENOENT) ? LoadResult::kMissing
                                                              : LoadResult::kUnusable;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return LoadResult::kUnusable;
  std::string text = ss.str();
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return LoadResult::kUnusable;
  const rapidjson::Value& root = doc;
  for (auto k = root.MemberBegin(); k != root.MemberEnd(); ++k) {
    if (!k->value.IsObject()) return LoadResult::kUnusable;
    std::string_view spelling(k->name.GetString(), k->name.GetStringLength());
    Key& key = keys[NormaliseStoreKey(spelling)];
    if (key.spelling.empty()) key.spelling = StripTrailingBackslashes(spelling);
    for (auto v = k->value.MemberBegin(); v != k->value.MemberEnd(); ++v) {
      StoreValue sv;
      const auto& val = v->value;
      if (val.IsString()) {
        sv.data.assign(val.GetString(), val.GetStringLength());
      } else if (val.IsObject()) {
        auto t = val.FindMember("type");
        auto d = val.FindMember("data");
        if (t == val.MemberEnd() || !t->value.IsString() ||
            !TypeFromName(t->value.GetString(), sv.type))
          return LoadResult::kUnusable;
        if (d != val.MemberEnd()) {
          if (d->value.IsString()) {
            sv.data.assign(d->value.GetString(), d->value.GetStringLength());
          } else if (d->value.IsUint64()) {
            sv.data = std::to_string(d->value.GetUint64());
          }
        }
      } else if (val.IsNumber()) {
        sv.type = StoreValueType::kDword;
        sv.data = val.IsUint64() ? std::to_string(val.GetUint64()) : "0";
      } else {
        sv.type = StoreValueType::kBinary;
      }
      key.values.emplace(std::string(v->name.GetString(), v->name.GetStringLength()), std::move(sv));
    }
  }
  return LoadResult::kLoaded;
}

bool FileUserStore::Save(const std::map<std::string, Key>& keys) const {
  rapidjson::StringBuffer buf;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buf);
  w.StartObject();
  for (const auto& [path, key] : keys) {
    w.Key(key.spelling.c_str(), static_cast<rapidjson::SizeType>(key.spelling.size()));
    w.StartObject();
    for (const auto& [name, v] : key.values) {
      w.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
      if (v.type == StoreValueType::kString) {
        w.String(v.data.c_str(), static_cast<rapidjson::SizeType>(v.data.size()));
      } else {
        w.StartObject();
        w.Key("type");
        w.String(TypeName(v.type));
        w.Key("data");
        w.String(v.data.c_str(), static_cast<rapidjson::SizeType>(v.data.size()));
        w.EndObject();
      }
    }
    w.EndObject();
  }
  w.EndObject();
  std::string text(buf.GetString(), buf.GetSize());
  text += '\n';

  auto slash = path_.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
  if (!MakeDirs(dir)) return false;
  return ReplaceFile(path_, text, FileAccess::kOwnerOnly, true) == 0;
}

bool FileUserStore::KeyExists(std::string_view key) {
  std::map<std::string, Key> keys;
  if (Load(keys) != LoadResult::kLoaded) return false;
  return keys.count(NormaliseStoreKey(key)) > 0;
}

bool FileUserStore::OpenKey(std::string_view key, bool can_create) {
  current_.clear();
  std::string k = NormaliseStoreKey(key);
  if (k.empty()) return false;
  std::map<std::string, Key> keys;
  LoadResult r = Load(keys);
  if (r == LoadResult::kUnusable) return false;
  if (!keys.count(k)) {
    if (!can_create) return false;
    keys[k].spelling = StripTrailingBackslashes(key);
    if (!Save(keys)) return false;
  }
  current_ = k;
  return true;
}

void FileUserStore::CloseKey() { current_.clear(); }

std::string FileUserStore::ReadString(std::string_view name) {
  std::map<std::string, Key> keys;
  if (current_.empty() || Load(keys) != LoadResult::kLoaded) return "";
  auto it = keys.find(current_);
  if (it == keys.end()) return "";
  return ReadStoreString(it->second.values, name);
}

void FileUserStore::WriteString(std::string_view name, std::string_view value) {
  std::map<std::string, Key> keys;
  if (current_.empty() || Load(keys) == LoadResult::kUnusable)
    throw FailedToSet(name);
  Key& key = keys[current_];
  if (key.spelling.empty()) key.spelling = current_;  // the file lost the key meanwhile
  key.values[std::string(name)] = StoreValue{StoreValueType::kString, std::string(value)};
  if (!Save(keys)) throw FailedToSet(name);
}

}  // namespace velnaro
