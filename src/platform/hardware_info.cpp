#include "platform/hardware_info.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace velnaro {
namespace {

bool ReadFileText(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

std::string Trim(std::string s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// One-line files such as the DMI attributes; unreadable (some need root) or blank is null.
HardwareValue LineValue(const std::string& path) {
  std::string text;
  if (!ReadFileText(path, text)) return HardwareValue::Null();
  text = Trim(text);
  return text.empty() ? HardwareValue::Null() : HardwareValue::Text(text);
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::map<std::string, std::string> ReadOsRelease(const std::string& root) {
  std::string text;
  if (!ReadFileText(root + "/etc/os-release", text) &&
      !ReadFileText(root + "/usr/lib/os-release", text))
    throw HardwareError("os-release not found");
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos || line.starts_with('#')) continue;
    std::string v = Trim(line.substr(eq + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    out[Trim(line.substr(0, eq))] = v;
  }
  return out;
}

HardwareValue FromMap(const std::map<std::string, std::string>& m, const std::string& key) {
  auto it = m.find(key);
  if (it == m.end() || it->second.empty()) return HardwareValue::Null();
  return HardwareValue::Text(it->second);
}

}  // namespace

std::vector<HardwareItem> LinuxHardwareInfoSource::Query(const std::string& class_name) {
  const std::string dmi = root_ + "/sys/class/dmi/id/";
  if (class_name == "Win32_BaseBoard" || class_name == "Win32_BIOS") {
    if (!IsDirectory(dmi)) throw HardwareError("no DMI data under /sys/class/dmi/id");
    HardwareItem item;
    if (class_name == "Win32_BaseBoard") {
      item["SerialNumber"] = LineValue(dmi + "board_serial");
      item["Manufacturer"] = LineValue(dmi + "board_vendor");
      item["Product"] = LineValue(dmi + "board_name");
      item["Model"] = HardwareValue::Null();
    } else {
      HardwareValue version = LineValue(dmi + "bios_version");
      item["BIOSVersion"] = version.kind == HardwareValue::Kind::kNull
                                ? HardwareValue::Null()
                                : HardwareValue::Array({version});
      item["BuildNumber"] = HardwareValue::Null();
      item["Description"] = version;
      item["Manufacturer"] = LineValue(dmi + "bios_vendor");
      item["Name"] = version;
      item["SerialNumber"] = LineValue(dmi + "product_serial");
      item["Version"] = LineValue(dmi + "bios_date");
    }
    return {item};
  }
  if (class_name == "Win32_OperatingSystem") {
    auto os = ReadOsRelease(root_);
    HardwareItem item;
    item["BuildNumber"] = LineValue(root_ + "/proc/sys/kernel/osrelease");
    item["BuildType"] = LineValue(root_ + "/proc/sys/kernel/version");
    item["Manufacturer"] = FromMap(os, "NAME");
    item["Name"] = FromMap(os, "PRETTY_NAME");
    item["SerialNumber"] = HardwareValue::Null();
    item["Version"] = FromMap(os, "VERSION_ID");
    return {item};
  }
  if (class_name == "Win32_Processor") {
    std::string text;
    if (!ReadFileText(root_ + "/proc/cpuinfo", text)) throw HardwareError("/proc/cpuinfo unreadable");
    // One item per physical package; the first logical processor of each describes it.
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> packages;
    std::map<std::string, std::string> block;
    auto flush = [&] {
      if (block.empty()) return;
      std::string id = block.count("physical id") ? block["physical id"] : "0";
      bool seen = false;
      for (auto& p : packages) seen = seen || p.first == id;
      if (!seen) packages.emplace_back(id, block);
      block.clear();
    };
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      auto colon = line.find(':');
      if (Trim(line).empty()) {
        flush();
      } else if (colon != std::string::npos) {
        block[Trim(line.substr(0, colon))] = Trim(line.substr(colon + 1));
      }
    }
    flush();
    std::vector<HardwareItem> out;
    for (auto& [id, b] : packages) {
      HardwareItem item;
      std::string desc;
      if (b.count("cpu family"))
        desc = "Family " + b["cpu family"] + " Model " + b["model"] + " Stepping " + b["stepping"];
      item["Description"] = desc.empty() ? HardwareValue::Null() : HardwareValue::Text(desc);
      item["Manufacturer"] = FromMap(b, "vendor_id");
      item["Name"] = b.count("model name") ? FromMap(b, "model name") : FromMap(b, "Hardware");
      item["ProcessorId"] = HardwareValue::Null();
      item["UniqueId"] = HardwareValue::Null();
      out.push_back(std::move(item));
    }
    return out;
  }
  throw HardwareError("unknown hardware class " + class_name);
}

HardwareInfoSource& DefaultHardwareInfoSource() {
  static LinuxHardwareInfoSource source;
  return source;
}

}  // namespace velnaro
