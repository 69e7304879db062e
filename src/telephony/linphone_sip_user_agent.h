#pragma once
// The SIP component on liblinphone. One owner thread creates the core, iterates it every
// 20 ms while a call exists and sleeps in the library's own loop otherwise, runs posted
// operations and raises every event; other threads post and wait.

#include <memory>
#include <string>

#include "telephony/linphone_session.h"
#include "telephony/sip_user_agent.h"

namespace velnaro {

struct LinphoneAgentOptions {
  // Folder for line 1's recording files and the media plugins; created if missing. Empty:
  // a folder under the system's temporary directory. (The sound library's runtime files go
  // to XDG_RUNTIME_DIR, which the program settles before any thread starts.)
  std::string state_dir;
  // Use the agent's own virtual sound card instead of the real devices (tests, the lab).
  // Also asked for by the environment variable VELNARO_VIRTUAL_SOUND=1. Without it the
  // agent never stands in for a missing device: it does not go online.
  bool force_virtual_sound = false;
  // Incoming calls only from the SIP server (the hardened profile): an INVITE whose source
  // is none of the addresses of the SIP proxy and the outbound proxy is refused with 403
  // before anything rings, and reported as OnCallRefused alone.
  bool calls_only_from_server = false;
  // The device calls use: "default" or empty for the desktop's default, else a name or
  // description substring that wins while such a device exists. Rings go to ring_device
  // when set, else to the same.
  std::string sound_device;
  std::string ring_device;
  // Transport, certificate checks, media encryption and codecs.
  SipSignalling signalling;
};

class LinphoneSipUserAgent : public SipUserAgent {
 public:
  // Whether the calling thread is the owner thread.
  virtual bool OnOwnerThread() const = 0;
};

std::unique_ptr<LinphoneSipUserAgent> MakeLinphoneSipUserAgent(
    const LinphoneAgentOptions& options = {});

}  // namespace velnaro
