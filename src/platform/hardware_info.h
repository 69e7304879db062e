#pragma once
// Descriptive data about the machine (base board, operating system, BIOS, processor),
// queried by management-class name and returned as items of named property values.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace velnaro {

struct HardwareValue {
  enum class Kind { kNull, kText, kInteger, kReal, kArray };
  Kind kind = Kind::kNull;
  std::string text;
  std::int64_t integer = 0;
  double real = 0;
  std::vector<HardwareValue> elements;

  static HardwareValue Null() { return {}; }
  static HardwareValue Text(std::string s) {
    HardwareValue v;
    v.kind = Kind::kText;
    v.text = std::move(s);
    return v;
  }
  static HardwareValue Integer(std::int64_t i) {
    HardwareValue v;
    v.kind = Kind::kInteger;
    v.integer = i;
    return v;
  }
  static HardwareValue Real(double d) {
    HardwareValue v;
    v.kind = Kind::kReal;
    v.real = d;
    return v;
  }
  static HardwareValue Array(std::vector<HardwareValue> e) {
    HardwareValue v;
    v.kind = Kind::kArray;
    v.elements = std::move(e);
    return v;
  }
};

// One instance of a class (one processor, one board); a missing property reads as null.
using HardwareItem = std::map<std::string, HardwareValue>;

class HardwareError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HardwareInfoSource {
 public:
  virtual ~HardwareInfoSource() = default;
  // class_name: "Win32_BaseBoard", "Win32_OperatingSystem", "Win32_BIOS", "Win32_Processor".
  // Throws HardwareError when the source cannot be read at all.
  virtual std::vector<HardwareItem> Query(const std::string& class_name) = 0;
};

// DMI under /sys/class/dmi/id, /etc/os-release (or /usr/lib/os-release), uname and
// /proc/cpuinfo (one item per physical package). `root` prefixes every path, for tests.
class LinuxHardwareInfoSource final : public HardwareInfoSource {
 public:
  explicit LinuxHardwareInfoSource(std::string root = "") : root_(std::move(root)) {}
  std::vector<HardwareItem> Query(const std::string& class_name) override;

 private:
  std::string root_;
};

HardwareInfoSource& DefaultHardwareInfoSource();

}  // namespace velnaro
