#pragma once
// The sound devices of the library's core: the agent's virtual card when asked for it,
// otherwise the real devices, checked before the phone goes online and followed while it
// runs. Each call uses the SoundDevice setting's device when present, else the desktop's
// default, and moves when that choice changes (a default picked in the desktop's settings,
// a headset plugged in or pulled out); rings go to RingDevice. With no device left a call
// is not answered into silence, and one in progress ends after a grace. Owner thread only.

#include <linphone/core.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "telephony/sip_owner_thread.h"
#include "telephony/sound_devices.h"

namespace velnaro {

class PulseWatch;

struct SoundOptions {
  bool force_virtual = false;  // the agent's virtual card, whatever else exists
  std::string sound_device;    // "default"/empty, or a name or description substring
  std::string ring_device;     // empty: the same as the calls
  std::string state_dir;       // for the generated ringback tone
};

class LinphoneSound {
 public:
  // A call left without any device ends after this.
  static constexpr std::chrono::seconds kSilenceGrace{10};
  // How long after start a missing sound server is waited for.
  static constexpr std::chrono::seconds kServerGrace{10};

  LinphoneSound(SipOwnerThread& owner, SoundOptions options);
  ~LinphoneSound();
  LinphoneSound(const LinphoneSound&) = delete;
  LinphoneSound& operator=(const LinphoneSound&) = delete;

  // Before a core is made: 14 while the sound server may still be starting (a login), for
  // the library, once it has looked for one, never sees a server that comes later.
  int BeforeCore();
  // The core has started: its devices set up and the ringback tone given. A sip_error
  // code: 14 without a usable microphone, 15 without a usable playback device.
  int Setup(LinphoneCore* core);
  // The core is about to stop.
  void Forget();

  // From the library's call-state callback. True when the call was declined for want of
  // a device (480): nobody else is to see it.
  bool OnCallState(LinphoneCall* call, LinphoneCallState state);
  // Between iterations: a changed device list or default applied to the calls; a call
  // without sound ended once the grace is over.
  void Pump();
  // Whether the pump has work due soon (the device list to read again after a change):
  // the owner thread keeps its short cadence meanwhile.
  bool Busy() const;
  // The device list read again: whether a call would have sound both ways now, or
  // would on a new core.
  bool Ready();

 private:
  struct Choice {
    std::string mic, speaker, ringer;  // library ids, empty for none
    std::string mic_name, speaker_name;  // their descriptions
  };
  std::vector<SoundDevice> Devices() const;
  Choice Choose() const;
  void UseForNewCalls(const Choice& c);
  void ApplyTo(LinphoneCall* call, const Choice& c, bool starting);
  void SetupRingback();
  // The device list read again, and what it lacks; `starting`: a call that has no streams
  // yet.
  void Reload(LinphoneCall* starting = nullptr);
  bool Stale() const;  // the library's server connection predates the server
  // Calls whose streams may use the library's server connection, `starting` aside.
  int CallsWithSound(LinphoneCall* starting) const;

  SipOwnerThread& owner_;
  const SoundOptions options_;
  LinphoneCore* core_ = nullptr;
  int missing_ = 0;  // what MissingSound said last
  std::map<std::string, Choice> applied_;  // by call id: what each call was given
  std::chrono::steady_clock::time_point silent_since_{};
  bool silent_ = false;
  std::atomic<bool> changed_{false};  // set by the watch's thread
  int rereads_ = 0;
  std::chrono::steady_clock::time_point reread_at_{};
  bool ServerPending() const;
  std::unique_ptr<PulseWatch> watch_;  // not with the virtual card
  MSSndCardDesc* pulse_ = nullptr;     // the library's sound-server devices
  int library_connection_ = 0;         // the watch's connection the library's matches
  const std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
};

}  // namespace velnaro
