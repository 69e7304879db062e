#include "telephony/linphone_sound.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <bctoolbox/list.h>
#include <linphone/core_utils.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/mssndcard.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <functional>

#include "platform/support_log.h"
#include "telephony/pulse_watch.h"
#include "telephony/sip_user_agent.h"
#include "telephony/virtual_sound_card.h"
#include "telephony/wav_file.h"

namespace velnaro {
namespace {

std::string Text(const char* s) { return s ? s : ""; }

std::string CallIdOf(LinphoneCall* call) {
  return Text(linphone_call_log_get_call_id(linphone_call_get_call_log(call)));
}

std::string IdOf(const LinphoneAudioDevice* d) {
  return d ? Text(linphone_audio_device_get_id(d)) : "";
}

// Runs fn with the core's device of this id, if there is one.
void WithDevice(LinphoneCore* core, const std::string& id,
                const std::function<void(LinphoneAudioDevice*)>& fn) {
  if (id.empty()) return;
  bctbx_list_t* list = linphone_core_get_extended_audio_devices(core);
  for (bctbx_list_t* it = list; it; it = bctbx_list_next(it)) {
    auto* d = static_cast<LinphoneAudioDevice*>(bctbx_list_get_data(it));
    if (IdOf(d) == id) {
      fn(d);
      break;
    }
  }
  bctbx_list_free_with_data(list, reinterpret_cast<bctbx_list_free_func>(linphone_audio_device_unref));
}

// The ringback of the public networks here: 425 Hz, one second on and four off.
std::vector<int16_t> RingbackTone(int rate) {
  std::vector<int16_t> samples(static_cast<size_t>(rate) * 5, 0);
  for (int i = 0; i < rate; ++i)
    samples[static_cast<size_t>(i)] =
        static_cast<int16_t>(8000 * std::sin(2 * M_PI * 425.0 * i / rate));
  return samples;
}

}  // namespace

LinphoneSound::LinphoneSound(SipOwnerThread& owner, SoundOptions options)
    : owner_(owner), options_(std::move(options)) {
  if (!options_.force_virtual)
    watch_ = std::make_unique<PulseWatch>([this] {
      changed_ = true;
      owner_.Wake();  // the owner thread may be asleep between calls
    });
}

LinphoneSound::~LinphoneSound() = default;

bool LinphoneSound::Busy() const {
  VELNARO_OWNER_ONLY(owner_);
  return changed_ || rereads_ > 0;
}

std::vector<SoundDevice> LinphoneSound::Devices() const {
  VELNARO_OWNER_ONLY(owner_);
  std::vector<SoundDevice> out;
  if (!core_) return out;
  bctbx_list_t* list = linphone_core_get_extended_audio_devices(core_);
  for (bctbx_list_t* it = list; it; it = bctbx_list_next(it)) {
    auto* d = static_cast<LinphoneAudioDevice*>(bctbx_list_get_data(it));
    out.push_back({IdOf(d), Text(linphone_audio_device_get_device_name(d)),
                   Text(linphone_audio_device_get_driver_name(d)),
                   bool(linphone_audio_device_has_capability(d, LinphoneAudioDeviceCapabilityRecord)),
                   bool(linphone_audio_device_has_capability(d, LinphoneAudioDeviceCapabilityPlay))});
  }
  bctbx_list_free_with_data(list, reinterpret_cast<bctbx_list_free_func>(linphone_audio_device_unref));
  return out;
}

// The library keeps one connection to the sound server per process, counted once more by
// each device reload and given back only when its core goes, so it outlived the server
// it was made for: a restarted server (or another one, after a new core) was never seen
// again. Each reload's count is given back here, and a connection made before the
// server's last restart is dropped and made anew while no stream can be using it.
void LinphoneSound::Reload(LinphoneCall* starting) {
  VELNARO_OWNER_ONLY(owner_);
  MSSndCardManager* cards = ms_factory_get_snd_card_manager(linphone_core_get_ms_factory(core_));
  if (!pulse_) {
    for (const bctbx_list_t* it = cards->descs; it; it = bctbx_list_next(it)) {
      auto* d = static_cast<MSSndCardDesc*>(bctbx_list_get_data(it));
      if (d->driver_type && std::string(d->driver_type) == "PulseAudio" && d->detect && d->unload) pulse_ = d;
    }
  }
  const bool reconnect = Stale() && CallsWithSound(starting) == 0;
  if (reconnect) {
    library_connection_ = watch_->Connections();
    if (pulse_) {
      SupportLog(LogLevel::kInfo, "sound", "the sound server restarted: connecting to it again");
      linphone_core_stop_dtmf_stream(core_);
      pulse_->unload(cards);
    }
  }
  linphone_core_reload_sound_devices(core_);
  if (pulse_ && !reconnect) pulse_->unload(cards);  // the reload's count
  missing_ = MissingSound(Devices());
}

// A call that has not reached its far end has no streams yet; one that has ended
// stopped them.
int LinphoneSound::CallsWithSound(LinphoneCall* starting) const {
  int n = 0;
  for (const bctbx_list_t* it = linphone_core_get_calls(core_); it; it = bctbx_list_next(it)) {
    auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
    switch (linphone_call_get_state(call)) {
      case LinphoneCallOutgoingInit:
      case LinphoneCallOutgoingProgress:
      case LinphoneCallEnd:
      case LinphoneCallError:
      case LinphoneCallReleased:
        break;
      default:
        n += call != starting;
    }
  }
  return n;
}

bool LinphoneSound::Stale() const {
  return watch_ && watch_->Connected() && watch_->Connections() != library_connection_;
}

LinphoneSound::Choice LinphoneSound::Choose() const {
  VELNARO_OWNER_ONLY(owner_);
  const std::vector<SoundDevice> devices = Devices();
  const std::string sink = watch_ ? watch_->DefaultSink() : "";
  const std::string source = watch_ ? watch_->DefaultSource() : "";
  Choice c;
  if (const SoundDevice* d = PickSoundDevice(devices, true, options_.sound_device, source)) {
    c.mic = d->id;
    c.mic_name = d->driver == "PulseAudio" ? d->name : "";
  }
  if (const SoundDevice* d = PickSoundDevice(devices, false, options_.sound_device, sink)) {
    c.speaker = d->id;
    c.speaker_name = d->driver == "PulseAudio" ? d->name : "";
  }
  const std::string& ring = options_.ring_device.empty() ? options_.sound_device : options_.ring_device;
  if (const SoundDevice* d = PickSoundDevice(devices, false, ring, sink)) c.ringer = d->id;
  // Without a device the library is given the silent card, never a sound-server device
  // that is gone: one opened on a connection the server dropped crashes the library.
  for (std::string* id : {&c.mic, &c.speaker, &c.ringer})
    if (id->empty()) *id = virtual_sound::kCardId;
  return c;
}

bool LinphoneSound::ServerPending() const {
  return watch_ && !watch_->Connected() &&
         std::chrono::steady_clock::now() - created_ < kServerGrace;
}

int LinphoneSound::BeforeCore() {
  VELNARO_OWNER_ONLY(owner_);
  if (!ServerPending()) return sip_error::kNone;
  SupportLog(LogLevel::kWarning, "sound", "no sound server yet");
  return sip_error::kInputDevice;
}

int LinphoneSound::Setup(LinphoneCore* core) {
  VELNARO_OWNER_ONLY(owner_);
  core_ = core;
  pulse_ = nullptr;
  // A new core connects to the server as it is now.
  library_connection_ = watch_ ? watch_->Connections() : 0;
  SetupRingback();
  virtual_sound::Register(linphone_core_get_ms_factory(core_));
  Reload();
  if (options_.force_virtual) {
    linphone_core_set_capture_device(core_, virtual_sound::kCardId);
    linphone_core_set_playback_device(core_, virtual_sound::kCardId);
    linphone_core_set_ringer_device(core_, virtual_sound::kCardId);
    linphone_core_set_media_device(core_, virtual_sound::kCardId);
    return sip_error::kNone;
  }
  changed_ = false;
  // The sound server may still be listing its devices to the library: once more.
  if (missing_) Reload();
  if (missing_) {
    std::string seen;
    for (const SoundDevice& d : Devices()) seen += (seen.empty() ? "" : ", ") + d.id;
    SupportLog(LogLevel::kWarning, "sound",
               std::string(missing_ == sip_error::kInputDevice ? "no usable microphone"
                                                               : "no usable playback device") +
                   " among: " + (seen.empty() ? "none" : seen));
    return missing_;
  }
  UseForNewCalls(Choose());
  return sip_error::kNone;
}

void LinphoneSound::Forget() {
  VELNARO_OWNER_ONLY(owner_);
  core_ = nullptr;
  pulse_ = nullptr;
  silent_ = false;
  applied_.clear();
}

bool LinphoneSound::Ready() {
  VELNARO_OWNER_ONLY(owner_);
  if (options_.force_virtual) return true;
  if (ServerPending()) return false;
  // The server's own view first: the library looks again with a new core.
  if (watch_ && watch_->Connected()) return MissingSound(watch_->Devices()) == sip_error::kNone;
  if (!core_) return true;
  Reload();
  return missing_ == sip_error::kNone;
}

// The library ships no tone in this package: a generated one, written once, the
// operator's alone.
void LinphoneSound::SetupRingback() {
  VELNARO_OWNER_ONLY(owner_);
  const std::string packaged = Text(linphone_core_get_ringback(core_));
  if ((!packaged.empty() && ::access(packaged.c_str(), R_OK) == 0) || options_.state_dir.empty())
    return;
  const std::string path = options_.state_dir + "/ringback.wav";
  constexpr int kRate = 8000;
  if (::access(path.c_str(), R_OK) != 0 && !wav::WriteMono(path, kRate, RingbackTone(kRate))) {
    SupportLog(LogLevel::kWarning, "sound", "no ringback tone: " + path + " cannot be written");
    return;
  }
  linphone_core_set_ringback(core_, path.c_str());
}

// Streams made from now on open these.
void LinphoneSound::UseForNewCalls(const Choice& c) {
  VELNARO_OWNER_ONLY(owner_);
  if (!c.mic.empty()) linphone_core_set_capture_device(core_, c.mic.c_str());
  if (!c.speaker.empty()) {
    linphone_core_set_playback_device(core_, c.speaker.c_str());
    linphone_core_set_media_device(core_, c.speaker.c_str());
  }
  if (!c.ringer.empty()) linphone_core_set_ringer_device(core_, c.ringer.c_str());
}

void LinphoneSound::ApplyTo(LinphoneCall* call, const Choice& c, bool starting) {
  VELNARO_OWNER_ONLY(owner_);
  const std::string id = CallIdOf(call);
  Choice& had = applied_[id];
  if (starting) had = Choice{};
  // A call in the mix hears and speaks through the mix.
  LinphoneConference* mix = linphone_call_get_conference(call);
  const bool mic_moves = !c.mic.empty() && c.mic != had.mic;
  const bool speaker_moves = !c.speaker.empty() && c.speaker != had.speaker;
  if (mic_moves) {
    WithDevice(core_, c.mic, [&](LinphoneAudioDevice* d) {
      mix ? linphone_conference_set_input_audio_device(mix, d)
          : linphone_call_set_input_audio_device(call, d);
    });
    if (!starting)
      SupportLog(LogLevel::kInfo, "sound", "call " + id + ": microphone " + had.mic + " -> " + c.mic);
  }
  if (speaker_moves) {
    WithDevice(core_, c.speaker, [&](LinphoneAudioDevice* d) {
      mix ? linphone_conference_set_output_audio_device(mix, d)
          : linphone_call_set_output_audio_device(call, d);
    });
    if (!starting)
      SupportLog(LogLevel::kInfo, "sound",
                 "call " + id + ": speaker " + had.speaker + " -> " + c.speaker);
  }
  // The sound server's streams cannot be switched by the library while they run: the
  // server moves them.
  if ((mic_moves || speaker_moves) && watch_)
    watch_->MoveStreams(speaker_moves ? c.speaker_name : "", mic_moves ? c.mic_name : "");
  if (starting)
    SupportLog(LogLevel::kInfo, "sound",
               "call " + id + ": microphone " + c.mic + ", speaker " + c.speaker);
  had = c;
}

bool LinphoneSound::OnCallState(LinphoneCall* call, LinphoneCallState state) {
  VELNARO_OWNER_ONLY(owner_);
  if (options_.force_virtual || !core_) return false;
  switch (state) {
    case LinphoneCallIncomingReceived:
    case LinphoneCallOutgoingInit:
      // The server restarted a moment ago: this call's streams are to come. Read again,
      // else the grace would start on this call.
      if (Stale()) Reload(call);
      if (state == LinphoneCallIncomingReceived && missing_) {
        // Answered, the caller would hear silence: another desk can take it.
        linphone_call_decline(call, LinphoneReasonTemporarilyUnavailable);
        SupportLog(LogLevel::kWarning, "sound", "call " + CallIdOf(call) + " declined: no sound device");
        return true;
      }
      UseForNewCalls(Choose());
      break;
    case LinphoneCallStreamsRunning:
      ApplyTo(call, Choose(), !applied_.count(CallIdOf(call)));
      break;
    case LinphoneCallReleased:
      applied_.erase(CallIdOf(call));
      break;
    default:
      break;
  }
  return false;
}

void LinphoneSound::Pump() {
  VELNARO_OWNER_ONLY(owner_);
  if (options_.force_virtual || !core_) return;
  const auto now = std::chrono::steady_clock::now();
  // The library may learn of a device a moment after the sound server announced it: the
  // list is read again a few times after each change, the first once the changes have
  // settled: a server that stops takes its devices away first, and the library, asked
  // for its list while the server goes, would wait for the answer for ever.
  // A connection the library could not drop during a call is made anew once it is over.
  if (changed_.exchange(false) || (Stale() && rereads_ == 0 && CallsWithSound(nullptr) == 0)) {
    rereads_ = 4;
    reread_at_ = now + std::chrono::milliseconds(300);
  }
  if (rereads_ > 0 && now >= reread_at_) {
    --rereads_;
    reread_at_ = now + std::chrono::milliseconds(400);
    Reload();
    const Choice c = Choose();
    UseForNewCalls(c);
    for (const bctbx_list_t* it = linphone_core_get_calls(core_); it; it = bctbx_list_next(it)) {
      auto* call = static_cast<LinphoneCall*>(bctbx_list_get_data(it));
      if (linphone_call_get_state(call) == LinphoneCallStreamsRunning) ApplyTo(call, c, false);
    }
  }
  const bool calls = linphone_core_get_calls_nb(core_) > 0;
  if (!missing_ || !calls) {
    silent_ = false;
    return;
  }
  if (!silent_) {
    silent_ = true;
    silent_since_ = now;
    SupportLog(LogLevel::kWarning, "sound", "no sound device left: the calls end unless one returns");
  } else if (now - silent_since_ >= kSilenceGrace) {
    silent_ = false;
    // The library cannot move a running stream to a new server connection.
    SupportLog(LogLevel::kWarning, "sound",
               Stale() ? "the sound server restarted during the call, whose sound cannot follow it: "
                         "the calls end"
                       : "no sound device returned: the calls end");
    linphone_core_terminate_all_calls(core_);
  }
}

}  // namespace velnaro
