#pragma once
// The phone and system commands of the control service's command table.

#include <functional>
#include <string>

#include "platform/clock.h"

namespace velnaro {

class TwebServer;
class PhonePort;
class ScreenCapture;
class TConfig;

struct CommandOptions {
  // The SIP server host, read when a recording is uploaded.
  std::function<std::string()> sip_server;
  ScreenCapture* capture = nullptr;  // nullptr: the process-wide X11 capture
  const Clock* clock = nullptr;      // nullptr: DefaultClock()
};

// Adds "/system/" SCREENSHOT and "/phone/" CALL, DTMF, HANGUP, HOLD, UNHOLD, MUTE,
// UNMUTE, RECSTART, RECSTOP to the server's table, and an idle hook that opens line 1's
// microphone again when the line goes idle muted.
void RegisterCommands(TwebServer& server, PhonePort& phone, CommandOptions options = {});

// The same, with the upload host read from the configuration's SipServer (written once
// by the start-up sequence before the web application can send RECSTOP).
void RegisterCommands(TwebServer& server, PhonePort& phone, const TConfig& config,
                      CommandOptions options = {});

}  // namespace velnaro
