#pragma once
// Which of the sound server's devices can carry a call, and which one a call uses: the
// setting's device when present, else the desktop's default, else the first usable one.

#include <string>
#include <vector>

namespace velnaro {

struct SoundDevice {
  std::string id;      // the library's id ("PulseAudio Unknown: Jabra Evolve")
  std::string name;    // the device's description as the desktop shows it
  std::string driver;  // "PulseAudio", "ALSA", ...
  bool capture = false;
  bool playback = false;
};

// A sink's monitor hears the speakers, not the operator; the sound server's stand-in
// (auto_null) and ALSA's "default" stand for no device at all.
bool CountsAsMicrophone(const SoundDevice& d);
bool CountsAsPlayback(const SoundDevice& d);

// 0 when a call can have sound both ways, else the last-error code of what is missing:
// the microphone (14) first, then the playback device (15).
int MissingSound(const std::vector<SoundDevice>& devices);

// The device a call uses in one direction. `preferred`: "default" or empty for the
// desktop's choice, else a name or description substring (case does not matter) that wins
// while such a device exists. `desktop_default`: the description of the sound server's
// default device, empty when unknown. nullptr when no usable device exists.
const SoundDevice* PickSoundDevice(const std::vector<SoundDevice>& devices, bool capture,
                                   const std::string& preferred,
                                   const std::string& desktop_default);

}  // namespace velnaro
