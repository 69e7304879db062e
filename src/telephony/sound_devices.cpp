#include "telephony/sound_devices.h"

#include <algorithm>
#include <cctype>

#include "telephony/sip_user_agent.h"
#include "telephony/virtual_sound_card.h"

namespace velnaro {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return Lower(text).find(Lower(part)) != std::string::npos;
}

bool StandIn(const SoundDevice& d) {
  return Contains(d.id, "auto_null") || Contains(d.name, "auto_null") ||
         Lower(d.name) == "dummy output" || (d.driver == "ALSA" && Lower(d.name) == "default") ||
         d.driver == virtual_sound::kDriver;  // the agent's own silent card
}

}  // namespace

bool CountsAsMicrophone(const SoundDevice& d) {
  if (!d.capture || StandIn(d)) return false;
  return !EndsWith(Lower(d.name), ".monitor") && !EndsWith(Lower(d.id), ".monitor") &&
         Lower(d.name).rfind("monitor of ", 0) != 0;
}

bool CountsAsPlayback(const SoundDevice& d) { return d.playback && !StandIn(d); }

int MissingSound(const std::vector<SoundDevice>& devices) {
  if (std::none_of(devices.begin(), devices.end(), CountsAsMicrophone))
    return sip_error::kInputDevice;
  if (std::none_of(devices.begin(), devices.end(), CountsAsPlayback))
    return sip_error::kOutputDevice;
  return sip_error::kNone;
}

const SoundDevice* PickSoundDevice(const std::vector<SoundDevice>& devices, bool capture,
                                   const std::string& preferred,
                                   const std::string& desktop_default) {
  std::vector<const SoundDevice*> usable;
  for (const SoundDevice& d : devices)
    if (capture ? CountsAsMicrophone(d) : CountsAsPlayback(d)) usable.push_back(&d);
  if (usable.empty()) return nullptr;
  auto find = [&](auto&& match) -> const SoundDevice* {
    auto it = std::find_if(usable.begin(), usable.end(), match);
    return it == usable.end() ? nullptr : *it;
  };
  if (!preferred.empty() && Lower(preferred) != "default") {
    if (const SoundDevice* d = find([&](const SoundDevice* s) {
          return Contains(s->name, preferred) || Contains(s->id, preferred);
        }))
      return d;
  }
  if (!desktop_default.empty()) {
    if (const SoundDevice* d = find([&](const SoundDevice* s) { return s->name == desktop_default; }))
      return d;
  }
  return usable.front();
}

}  // namespace velnaro
