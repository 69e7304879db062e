#include "provisioning/uClientInfo.h"

#include <exception>
#include <sstream>

namespace velnaro {
namespace {

std::string RealText(double d) {
  std::ostringstream ss;
  ss.imbue(std::locale::classic());
  ss.precision(15);
  ss << d;
  return ss.str();
}

}  // namespace

TClientInfo::TClientInfo(bool read_hardware, AdapterSource& adapters, HardwareInfoSource& hardware)
    : adapters_(adapters), hardware_(hardware) {
  OSInfoFields.set();
  BIOSInfoFields.set();
  ProcessorInfoFields.set();
  SchedaMadreFields.set();
  if (read_hardware) ReadHardwareInfo();
}

std::string TClientInfo::GetMACAddress() {
  // Go past adapters that report an all-zero address; stop at the first real address,
  // and at an unreadable adapter while nothing has been read yet.
  std::vector<AdapterAddress> list = adapters_.Adapters();
  std::string text;
  size_t pos = 0;
  do {
    if (pos < list.size() && list[pos].readable) text = StringToHex({list[pos].mac.begin(), list[pos].mac.end()});
    ++pos;
  } while (pos < list.size() && text == "000000000000");
  return text;
}

std::string TClientInfo::GetClientID() { return "DSM" + StringToHex(GetMACAddress()); }

std::string TClientInfo::StringToHex(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string TClientInfo::VariantToText(const HardwareValue& v) {
  switch (v.kind) {
    case HardwareValue::Kind::kNull: return "";
    case HardwareValue::Kind::kText: return v.text;
    case HardwareValue::Kind::kInteger: return std::to_string(v.integer);
    case HardwareValue::Kind::kReal: return RealText(v.real);
    case HardwareValue::Kind::kArray: {
      std::string out = "[";
      for (size_t i = 0; i < v.elements.size(); ++i) {
        if (i) out += "|";
        out += VariantToText(v.elements[i]);
      }
      return out + "]";
    }
  }
  return "";
}

bool TClientInfo::ReadHardwareInfo() {
  struct Member {
    const char* name;
    std::string* field;
  };
  auto read_class = [&](const char* cls, const auto& selection, std::initializer_list<Member> members) {
    if (selection.none()) return;
    for (const HardwareItem& item : hardware_.Query(cls)) {
      size_t n = 0;
      for (const Member& m : members) {
        if (selection.test(n++)) {
          auto it = item.find(m.name);
          std::string text = it == item.end() ? "" : VariantToText(it->second);
          InfoText += text + "\r\n";
          *m.field = text;
        }
      }
    }
  };
  HardwareError.clear();
  auto guarded = [&](auto&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      if (!HardwareError.empty()) HardwareError += "; ";
      HardwareError += e.what();
    }
  };
  guarded([&] {
    auto& r = SchedaMadre;
    read_class("Win32_BaseBoard", SchedaMadreFields,
               {{"SerialNumber", &r.SerialNumber}, {"Manufacturer", &r.Manufacturer},
                {"Product", &r.Product}, {"Model", &r.Model}});
  });
  guarded([&] {
    auto& r = OSInfo;
    read_class("Win32_OperatingSystem", OSInfoFields,
               {{"BuildNumber", &r.BuildNumber}, {"BuildType", &r.BuildType},
                {"Manufacturer", &r.Manufacturer}, {"Name", &r.Name},
                {"SerialNumber", &r.SerialNumber}, {"Version", &r.Version}});
  });
  guarded([&] {
    auto& r = BIOSInfo;
    read_class("Win32_BIOS", BIOSInfoFields,
               {{"BIOSVersion", &r.BIOSVersion}, {"BuildNumber", &r.BuildNumber},
                {"Description", &r.Description}, {"Manufacturer", &r.Manufacturer},
                {"Name", &r.Name}, {"SerialNumber", &r.SerialNumber}, {"Version", &r.Version}});
  });
  guarded([&] {
    auto& r = ProcessorInfo;
    read_class("Win32_Processor", ProcessorInfoFields,
               {{"Description", &r.Description}, {"Manufacturer", &r.Manufacturer},
                {"Name", &r.Name}, {"ProcessorId", &r.ProcessorId}, {"UniqueId", &r.UniqueId}});
  });
  return HardwareError.empty();
}

}  // namespace velnaro
