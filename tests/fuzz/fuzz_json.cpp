// Arbitrary bytes through the JSON reader and the start-up reply reading: results or the
// type error, nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "provisioning/json.h"
#include "provisioning/obj_oService.h"
#include "support/platform_fakes.h"

namespace {

void Walk(const velnaro::JsonValue& v, int depth) {
  if (depth > 64) return;
  if (v.IsObject()) {
    for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
      std::string name(it->name.GetString(), it->name.GetStringLength());
      try {
        (void)velnaro::GetText(v, name);
      } catch (const velnaro::JsonTypeError&) {
      }
      try {
        (void)velnaro::ObjectField(v, name);
      } catch (const velnaro::JsonTypeError&) {
      }
      Walk(it->value, depth + 1);
    }
  } else if (v.IsArray()) {
    for (auto& e : v.GetArray()) Walk(e, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (auto doc = velnaro::ParseJson(text)) Walk(doc->Root(), 0);

  static velnaro::FakeUserStore store;
  static velnaro::FakeAdapterSource adapters;
  static velnaro::FakeHardwareInfoSource hardware;
  velnaro::TConfig config({&store, &adapters, &hardware});
  velnaro::TobjVelnaroDS velnaro_ds;
  velnaro::ToService service(config, velnaro_ds);
  try {
    bool ok = service.ReadStartReply(text);
    if (ok && service.ErrorID != 0) __builtin_trap();
    if (!ok && service.ErrorID == 0) __builtin_trap();
    if (velnaro_ds.ServicePath != velnaro_ds.ServerPath + "/oService") __builtin_trap();
  } catch (const velnaro::JsonTypeError&) {
  }
  return 0;
}
