#pragma once
// The phone and system commands of the control service's command table.

#include <chrono>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace velnaro {

class CommandTable;
class Phone;
class PhoneStatus;
class ScreenCapture;
class TwebServer;

// What the commands act on.
struct CommandTargets {
  PhoneStatus& status;  // the record and the service log
  TwebServer& window;   // RECSTOP's upload fills in its upload fields
  Phone& phone;
};

struct CommandOptions {
  // The SIP server host, read when a recording is uploaded.
  std::function<std::string()> sip_server;
  ScreenCapture* capture = nullptr;  // nullptr: the process-wide X11 capture
  const Clock* clock = nullptr;      // nullptr: DefaultClock()
  // SCREENSHOT at most once in this time; more are refused with 429. Zero: no limit.
  std::chrono::milliseconds screenshot_interval{0};
  // A RECSTOP upload that did not deliver (the recording's path, the upload address), to
  // be sent again later.
  std::function<void(const std::string& path, const std::string& url)> upload_failed;
};

// Adds "/system/" SCREENSHOT and "/phone/" CALL, DTMF, HANGUP, HOLD, UNHOLD, MUTE,
// UNMUTE, RECSTART, RECSTOP to the table, and an idle hook that opens line 1's microphone
// again when the line goes idle muted.
void RegisterCommands(CommandTable& table, CommandTargets targets, CommandOptions options = {});

}  // namespace velnaro
