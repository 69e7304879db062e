#pragma once
// The SIP component on liblinphone. One owner thread creates the core, iterates it about
// every 20 ms, runs posted operations and raises every event; other threads post and wait.

#include <memory>
#include <string>
#include <vector>

#include "telephony/sip_user_agent.h"

namespace velnaro {

struct LinphoneAgentOptions {
  // Folder for the library's runtime files (XDG_RUNTIME_DIR points there); created if
  // missing. Empty: a folder under the system's temporary directory.
  std::string state_dir;
  // Use the agent's own virtual sound card even when a device could be opened. Also forced
  // by the environment variable VELNARO_VIRTUAL_SOUND=1.
  bool force_virtual_sound = false;
  // What the virtual card's capture sends: a sine of this frequency (Hz), or silence at 0.
  int virtual_tone_hz = 0;
  // Keep what the virtual card plays (for tests); otherwise it is discarded.
  bool keep_played_audio = false;
};

class LinphoneSipUserAgent;

std::unique_ptr<LinphoneSipUserAgent> MakeLinphoneSipUserAgent(
    const LinphoneAgentOptions& options = {});

class LinphoneSipUserAgent : public SipUserAgent {
 public:
  // True when the virtual sound card is in use.
  virtual bool UsingVirtualSound() const = 0;
  // Samples (8 or 16 kHz mono, 16-bit) the virtual card has played so far, when kept; and
  // its rate. Clears the kept audio.
  virtual std::vector<short> TakePlayedAudio(int* rate) = 0;
  // Changes the virtual card's capture tone (0 = silence).
  virtual void SetVirtualTone(int hz) = 0;
  // Whether the calling thread is the owner thread.
  virtual bool OnOwnerThread() const = 0;
};

}  // namespace velnaro
