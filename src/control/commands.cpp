#include "control/commands.h"

#include <memory>

#include "control/command_table.h"
#include "control/rate_limit.h"
#include "control/reply.h"
#include "control/request_handler.h"
#include "control/screen_capture.h"
#include "control/upload.h"
#include "control/web_server.h"
#include "platform/temp_files.h"
#include "status/phone_status.h"
#include "telephony/phone.h"

namespace velnaro {
namespace {

struct Context {
  PhoneStatus& status;
  TwebServer& window;
  Phone& phone;
  CommandOptions options;

  ScreenCapture& capture() const {
    return options.capture ? *options.capture : DefaultScreenCapture();
  }
  const Clock& clock() const { return options.clock ? *options.clock : DefaultClock(); }
  std::string sip_server() const { return options.sip_server ? options.sip_server() : ""; }
};

// The flag and the microphone as one step: neither a racing MUTE or UNMUTE nor the end
// of the call (IDLE) can come between them and leave them apart.
void SetMuted(const Context& c, bool muted) {
  c.phone.AsOneStep([&] {
    c.status.SetMute(muted);
    c.phone.Mute(kLine1, muted);
  });
}

void RecStop(const Context& c, const CommandRequest& request, std::string& reply) {
  const std::string path = TimeStampedTempPath("rec", ".wav", c.clock());
  if (!c.phone.SaveRecording(kLine1, path)) {
    reply = reply::SaveError();
    c.status.AggiungiLog("phone/RECSTOP - Errore di salvataggio: " + path);
    return;
  }
  reply = reply::Simple("RECSTOP");
  c.status.SetRec(false);
  c.status.AggiungiLog("phone/RECSTOP");
  // The query as the page sent it: the receiver decodes the very values the page meant.
  const std::string url = UploadAddress(c.sip_server(), request.query);
  c.status.AggiungiLog("              - Upload file: " + path);
  c.status.AggiungiLog("              - URL: " + url);
  c.window.SetUploadFields(url, path);
  // Our own values rather than the fields read back: a concurrent upload may have
  // written the fields in between.
  if (!UploadRecording(c.window, c.status, url, path, c.clock()) && c.options.upload_failed)
    c.options.upload_failed(path, url);
}

}  // namespace

void RegisterCommands(CommandTable& table, CommandTargets targets, CommandOptions options) {
  auto c = std::make_shared<const Context>(
      Context{targets.status, targets.window, targets.phone, std::move(options)});

  auto screenshots = std::make_shared<RateLimit>(c->options.screenshot_interval);
  table.Add("/system/", "SCREENSHOT", [c, screenshots](const CommandRequest&, std::string& reply) {
    if (!screenshots->TryTake(RateLimit::Clock::now()))
      throw RequestRefused(429, "at most one screenshot a second");
    reply = reply::Simple("SCREENSHOT");
    const std::string path = SalvaScreenShot(c->capture(), c->clock());
    c->status.AggiungiLog("system/SCREENSHOT: " + path);
  });

  table.Add("/phone/", "CALL", [c](const CommandRequest& r, std::string& reply) {
    reply = reply::Call(r.prefix, r.number);
    // One step: no event of the phone comes between the record's CALLOUT and the dial.
    c->phone.AsOneStep([&] {
      c->status.AggiornaStato(LineState::kInCall, CallState::kCallOut, r.prefix, r.number);
      c->phone.Dial(kLine1, r.prefix + r.number);
    });
    c->status.AggiungiLog("phone/CALL: " + r.prefix + " " + r.number);
  });

  table.Add("/phone/", "DTMF", [c](const CommandRequest& r, std::string& reply) {
    reply = reply::Dtmf(r.number);
    c->phone.SendDtmf(kLine1, r.number);
    c->status.AggiungiLog("phone/DTMF/" + r.number);
  });

  table.Add("/phone/", "HANGUP", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("HANGUP");
    c->phone.HangUp(kLine1);
    c->status.AggiungiLog("phone/HANGUP");
  });

  table.Add("/phone/", "HOLD", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("HOLD");
    c->phone.Hold(kLine1);
    c->status.SetHold(true);
    c->status.AggiungiLog("phone/HOLD");
  });

  table.Add("/phone/", "UNHOLD", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("UNHOLD");
    c->phone.Unhold(kLine1);
    c->status.SetHold(false);
    c->status.AggiungiLog("phone/UNHOLD");
  });

  // Besides the flag, the microphone itself: the other side must not hear a muted
  // operator.
  table.Add("/phone/", "MUTE", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("MUTE");
    SetMuted(*c, true);
    c->status.AggiungiLog("phone/MUTE");
  });

  table.Add("/phone/", "UNMUTE", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("UNMUTE");
    SetMuted(*c, false);
    c->status.AggiungiLog("phone/UNMUTE");
  });

  table.Add("/phone/", "RECSTART", [c](const CommandRequest&, std::string& reply) {
    reply = reply::Simple("RECSTART");
    c->phone.StartRecording(kLine1);
    c->status.SetRec(true);
    c->status.AggiungiLog("phone/RECSTART");
  });

  table.Add("/phone/", "RECSTOP", [c](const CommandRequest& r, std::string& reply) {
    RecStop(*c, r, reply);
  });

  // IDLE clears the Mute flag (right after this action); the microphone follows it.
  // Only a muted microphone is touched, so an ordinary hang-up adds no component call.
  targets.status.AddIdleHook([c] {
    if (c->status.Record().Mute) c->phone.Mute(kLine1, false);
  });
}

}  // namespace velnaro
