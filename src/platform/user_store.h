#pragma once
// Per-user settings store: keys named by backslash paths ("Software\Velnaro\VelnaroDS"),
// each holding named, typed values. Stands in for the per-user registry hive: key paths and
// value names match whatever their case, and keep the spelling they were created with.

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velnaro {

enum class StoreValueType { kString, kExpandString, kDword, kBinary, kMultiString };

struct StoreValue {
  StoreValueType type = StoreValueType::kString;
  std::string data;
};

// Orders value names without regard to ASCII case.
struct StoreNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using StoreValues = std::map<std::string, StoreValue, StoreNameLess>;

// "Invalid data type for '<name>'", "Failed to set data for '<name>'".
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UserStore {
 public:
  virtual ~UserStore() = default;
  // Key paths are compared without a trailing backslash and without regard to case; so are
  // value names.
  virtual bool KeyExists(std::string_view key) = 0;
  // Makes `key` the current key. Without can_create a missing key fails.
  virtual bool OpenKey(std::string_view key, bool can_create) = 0;
  virtual void CloseKey() = 0;
  // String or expandable string (not expanded); a missing value reads as empty text;
  // any other type throws StoreError.
  virtual std::string ReadString(std::string_view name) = 0;
  // Writes a plain string into the current key; throws StoreError on failure.
  virtual void WriteString(std::string_view name, std::string_view value) = 0;
};

// $XDG_CONFIG_HOME/velnaro/VelnaroDS.json, $XDG_CONFIG_HOME defaulting to $HOME/.config.
std::string DefaultUserStorePath();

// A JSON file. Every write rewrites the whole file aside and renames it into place, so a
// crash never leaves a half-written store. An unreadable or unparsable file holds no keys
// and is never overwritten.
class FileUserStore final : public UserStore {
 public:
  explicit FileUserStore(std::string path = DefaultUserStorePath());
  bool KeyExists(std::string_view key) override;
  bool OpenKey(std::string_view key, bool can_create) override;
  void CloseKey() override;
  std::string ReadString(std::string_view name) override;
  void WriteString(std::string_view name, std::string_view value) override;
  const std::string& path() const { return path_; }

 private:
  struct Key {
    std::string spelling;  // the path as first written, without trailing backslash
    StoreValues values;
  };
  enum class LoadResult { kLoaded, kMissing, kUnusable };
  LoadResult Load(std::map<std::string, Key>& keys) const;
  bool Save(const std::map<std::string, Key>& keys) const;

  std::string path_;
  std::string current_;  // normalised path of the open key, empty when none
};

// Key path as stored: trailing backslashes removed, lower case.
std::string NormaliseStoreKey(std::string_view key);

// What every store answers: a string value's text (a missing value reads as empty text,
// another type throws StoreError), and the error of a write that failed.
std::string ReadStoreString(const StoreValues& values, std::string_view name);
StoreError FailedToSet(std::string_view name);

}  // namespace velnaro
