#pragma once
// The SIP component on liblinphone. One owner thread creates the core, iterates it about
// every 20 ms, runs posted operations and raises every event; other threads post and wait.

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
  // Use the agent's own virtual sound card even when a device could be opened. Also forced
  // by the environment variable VELNARO_VIRTUAL_SOUND=1.
  bool force_virtual_sound = false;
  // Incoming calls only from the SIP server (the hardened profile): an INVITE whose source
  // is none of the addresses of the SIP proxy and the outbound proxy is refused with 403
  // before anything rings, and reported as OnCallRefused alone.
  bool calls_only_from_server = false;
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
