#include "telephony/linphone_lines.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <mediastreamer2/mediastream.h>

#include <algorithm>
#include <utility>

#include "platform/support_log.h"
#include "telephony/sip_addresses.h"

// Exported by the library without a header: the call's stream of a kind.
extern "C" MediaStream* linphone_call_get_stream(LinphoneCall* call, LinphoneStreamType type);

namespace velnaro {
namespace {

bool Settled(LinphoneCallState s) {
  return s == LinphoneCallStreamsRunning || s == LinphoneCallPaused ||
         s == LinphoneCallPausedByRemote || s == LinphoneCallConnected;
}

bool ValidLine(int line) { return line == 0 || line == 1; }

std::string UriOnly(const LinphoneAddress* a) {
  if (!a) return {};
  char* s = linphone_address_as_string_uri_only(a);
  std::string out = s ? s : "";
  bctbx_free(s);
  return out;
}

}  // namespace

LinphoneLines::LinphoneLines(SipOwnerThread& owner, LinphoneSession& session,
                             std::function<std::string()> line0_record_file)
    : owner_(owner), session_(session), line0_record_file_(std::move(line0_record_file)) {}

LinphoneCall* LinphoneLines::LiveCall(int line, int* error) const {
  VELNARO_OWNER_ONLY(owner_);
  *error = sip_error::kNone;
  if (!session_.core()) *error = sip_error::kNotOnline;
  else if (!ValidLine(line)) *error = sip_error::kInvalidLine;
  else if (!CallAlive(lines_[line].call.get())) *error = sip_error::kNotInVoiceSession;
  return *error ? nullptr : lines_[line].call.get();
}

int LinphoneLines::LineOf(const LinphoneCall* c) const {
  for (int i = 0; i < 2; ++i)
    if (lines_[i].call.get() == c) return i;
  return -1;
}

// Whether a new call may start on the line.
int LinphoneLines::CheckFree(int line) const {
  VELNARO_OWNER_ONLY(owner_);
  if (!session_.core()) return sip_error::kNotOnline;
  if (!ValidLine(line)) return sip_error::kInvalidLine;
  if (!lines_[line].open) return sip_error::kLineNotOpen;
  if (CallAlive(lines_[line].call.get())) return sip_error::kLineBusy;
  return sip_error::kNone;
}

int LinphoneLines::Open(int line, const std::string& local_ip, int media_port) {
  VELNARO_OWNER_ONLY(owner_);
  if (!session_.core()) return sip_error::kNotOnline;
  if (!ValidLine(line)) return sip_error::kInvalidLine;
  if (media_port <= 0 || media_port > 65534) return sip_error::kInvalidValue;
  // The library silently takes another port when this one is busy, while its SDP still
  // names the asked one: check both RTP and RTCP ports here.
  if (!UdpPortFree(local_ip, media_port) || !UdpPortFree(local_ip, media_port + 1))
    return sip_error::kPortInUse;
  const int other = 1 - line;
  if (lines_[other].open && lines_[other].port == media_port) return sip_error::kPortInUse;
  lines_[line].open = true;
  lines_[line].port = media_port;
  if (line == 0) linphone_core_set_audio_port(session_.core(), media_port);
  return sip_error::kNone;
}

CallParamsPtr LinphoneLines::CallParams(LinphoneCall* for_call, int line) {
  VELNARO_OWNER_ONLY(owner_);
  CallParamsPtr p(linphone_core_create_call_params(session_.core(), for_call));
  linphone_call_params_enable_video(p.get(), FALSE);
  // Line 1's calls always carry a record file; recording starts only on request.
  if (line == 0) linphone_call_params_set_record_file(p.get(), line0_record_file_().c_str());
  return p;
}

int LinphoneLines::Place(int line, const std::string& target) {
  VELNARO_OWNER_ONLY(owner_);
  if (const int e = CheckFree(line)) return e;
  LinphoneCore* core = session_.core();
  const AddressPtr to(linphone_factory_create_address(linphone_factory_get(), target.c_str()));
  if (!to) return sip_error::kInvalidUri;
  Line& l = lines_[line];
  if (l.call) l = Line{true, l.port};
  // The media port is taken when the call is created.
  linphone_core_set_audio_port(core, l.port);
  const CallParamsPtr p = CallParams(nullptr, line);
  placing_line_ = line;  // its first states arrive before the call returns
  LinphoneCall* c = linphone_core_invite_address_with_params(core, to.get(), p.get());
  placing_line_ = -1;
  if (lines_[0].port) linphone_core_set_audio_port(core, lines_[0].port);
  if (!c) return sip_error::kConnectRequest;
  if (l.call.get() != c) l.call = CallPtr(kTakeRef, c);
  l.own_contact = session_.HasContact();
  ApplyMute();
  reconcile_ = true;
  return sip_error::kNone;
}

int LinphoneLines::Accept(int line, const std::string& call_id) {
  VELNARO_OWNER_ONLY(owner_);
  if (const int e = CheckFree(line)) return e;
  auto it = std::find_if(incoming_.begin(), incoming_.end(),
                         [&](const Incoming& in) { return in.call_id == call_id; });
  if (it == incoming_.end() || !CallAlive(it->call.get())) return sip_error::kInvalidCallId;
  CallPtr c = std::move(it->call);
  incoming_.erase(it);
  Line& l = lines_[line];
  l = Line{true, l.port};
  l.call = std::move(c);
  l.progress = true;
  // Ringing stops as the call is answered, before it connects.
  owner_.Queue([call_id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStop(call_id); });
  owner_.Queue([line](SipUserAgentEvents& e) { e.OnConnecting(line); });
  const CallParamsPtr p = CallParams(l.call.get(), line);
  if (linphone_call_accept_with_params(l.call.get(), p.get()) != 0)
    return sip_error::kConnectRequest;
  l.own_contact = session_.HasContact();
  ApplyMute();
  reconcile_ = true;
  return sip_error::kNone;
}

int LinphoneLines::End(int line) {
  VELNARO_OWNER_ONLY(owner_);
  int error;
  LinphoneCall* c = LiveCall(line, &error);
  if (!c) return error;
  return linphone_call_terminate(c) == 0 ? sip_error::kNone : sip_error::kDisconnectRequest;
}

bool LinphoneLines::InCall(int line) const {
  VELNARO_OWNER_ONLY(owner_);
  return ValidLine(line) && CallAlive(lines_[line].call.get());
}

bool LinphoneLines::OnHold(int line) const {
  VELNARO_OWNER_ONLY(owner_);
  return ValidLine(line) && lines_[line].user_held && CallAlive(lines_[line].call.get());
}

int LinphoneLines::Hold(int line) {
  VELNARO_OWNER_ONLY(owner_);
  int error;
  LinphoneCall* c = LiveCall(line, &error);
  if (!c) return error;
  lines_[line].user_held = true;
  if (LinphoneConference* conf = linphone_call_get_conference(c)) {
    linphone_conference_remove_participant_3(conf, c);
  } else {
    const auto s = linphone_call_get_state(c);
    if (s != LinphoneCallPaused && s != LinphoneCallPausing) linphone_call_pause(c);
  }
  reconcile_ = true;
  return sip_error::kNone;
}

int LinphoneLines::Unhold(int line) {
  VELNARO_OWNER_ONLY(owner_);
  int error;
  if (!LiveCall(line, &error)) return error;
  lines_[line].user_held = false;
  Reconcile();
  return sip_error::kNone;
}

int LinphoneLines::SendDtmf(int line, const std::string& digits) {
  VELNARO_OWNER_ONLY(owner_);
  int error;
  LinphoneCall* c = LiveCall(line, &error);
  if (!c) return error;
  if (digits.empty()) return sip_error::kInvalidValue;
  return linphone_call_send_dtmfs(c, digits.c_str()) == 0 ? sip_error::kNone
                                                          : sip_error::kInvalidValue;
}

int LinphoneLines::SetMicrophoneMuted(int line, bool muted) {
  VELNARO_OWNER_ONLY(owner_);
  if (!ValidLine(line)) return sip_error::kInvalidLine;
  if (!session_.core()) return sip_error::kNotOnline;
  mic_muted_[line] = muted;
  ApplyMute();
  return sip_error::kNone;
}

// Line 1's microphone is the operator's: muted, no far end hears the operator, through
// either call or the mix, and a call or mix formed meanwhile starts muted. Line 2's mutes
// its own call. Either lasts until unmuted or the line's call ends (the next call starts
// open). The library's own switch for the whole core would do, but a mix formed while it
// is off stays silent after it is turned on again.
void LinphoneLines::ApplyMute() {
  VELNARO_OWNER_ONLY(owner_);
  for (int i = 0; i < 2; ++i) {
    LinphoneCall* c = lines_[i].call.get();
    const bool muted = mic_muted_[0] || mic_muted_[i];
    // An ended call has no streams left to mute: the media library crashes on it.
    if (CallAlive(c) && bool(linphone_call_get_microphone_muted(c)) != muted)
      linphone_call_set_microphone_muted(c, muted);
  }
  // A call in the mix no longer sends through its own stream: the mix has its microphone.
  LinphoneConference* mix = linphone_core_get_conference(session_.core());
  if (mix && bool(linphone_conference_microphone_is_muted(mix)) != mic_muted_[0])
    linphone_conference_mute_microphone(mix, mic_muted_[0]);
}

LinphoneLines::Line0 LinphoneLines::line0() const {
  VELNARO_OWNER_ONLY(owner_);
  Line0 out;
  const Line& l = lines_[0];
  if (!session_.core() || !CallAlive(l.call.get())) return out;
  out.call = l.call.get();
  out.connected = l.connected;
  if (conference_ && linphone_call_get_conference(l.call.get()) == conference_.get() &&
      linphone_core_get_conference(session_.core()) == conference_.get())
    out.mix = conference_.get();
  return out;
}

void LinphoneLines::ReconcileIfDue() {
  VELNARO_OWNER_ONLY(owner_);
  if (reconcile_) Reconcile();
  ApplyMute();  // outside the library's callbacks, where a call may be ending
}

// Keeps the component's contract on top of the library's habits: a line is on hold only
// when operation 10 put it there (the library pauses the other call when one is placed or
// resumed), and every connected line not on hold is in one mix with the local user.
void LinphoneLines::Reconcile() {
  VELNARO_OWNER_ONLY(owner_);
  reconcile_ = false;
  LinphoneCore* core = session_.core();
  std::vector<LinphoneCall*> active;
  bool mixable = true;
  for (auto& l : lines_) {
    if (!l.call || !l.connected) continue;
    LinphoneCall* call = l.call.get();
    const auto s = linphone_call_get_state(call);
    if (!CallAlive(call)) continue;
    if (!Settled(s)) {
      reconcile_ = true;  // try again once the re-INVITE is through
      return;
    }
    if (!l.user_held) {
      active.push_back(call);
      mixable = mixable && l.own_contact;
    } else if (s == LinphoneCallStreamsRunning && !linphone_call_get_conference(call)) {
      linphone_call_pause(call);  // held before it was answered
      reconcile_ = true;
      return;
    }
  }
  if (active.size() >= 2) {
    // The library crashes taking a call out of the mix (hold, hang-up, shutdown) when the
    // call has no contact address of its own, which only a registration gives it. Such
    // calls stay as the library put them (one of them paused). A registration that lapses
    // later leaves its calls their contact: their mix goes on.
    if (!mixable) return;
    if (conference_ && conference_.get() != linphone_core_get_conference(core))
      conference_.reset();  // the library ended it
    if (!conference_) {
      const ConferenceParamsPtr p(linphone_core_create_conference_params(core));
      linphone_conference_params_enable_video(p.get(), FALSE);
      linphone_conference_params_enable_local_participant(p.get(), TRUE);
      // The core keeps the conference it made; the line holds a reference of its own.
      conference_ =
          ConferencePtr(kTakeRef, linphone_core_create_conference_with_params(core, p.get()));
    }
    if (!conference_) return;
    for (LinphoneCall* c : active)
      if (!linphone_call_get_conference(c))
        linphone_conference_add_participant(conference_.get(), c);
    return;
  }
  for (LinphoneCall* c : active) {
    if (linphone_call_get_conference(c)) continue;
    if (linphone_call_get_state(c) == LinphoneCallPaused) linphone_call_resume(c);
  }
}

void LinphoneLines::OnCallState(LinphoneCall* call, LinphoneCallState state) {
  VELNARO_OWNER_ONLY(owner_);
  int line = LineOf(call);
  if (line < 0 && placing_line_ >= 0 && linphone_call_get_dir(call) == LinphoneCallOutgoing) {
    line = placing_line_;
    lines_[line].call = CallPtr(kTakeRef, call);
  }
  if (line < 0) return OnIncomingState(call, state);
  Line& l = lines_[line];
  // A refused re-INVITE leaves the call as it was, on the address that is gone: it ends.
  if (l.follow_reason && (state == LinphoneCallStreamsRunning || state == LinphoneCallPaused ||
                          state == LinphoneCallPausedByRemote)) {
    const LinphoneReason was = *std::exchange(l.follow_reason, std::nullopt);
    if (linphone_error_info_get_reason(linphone_call_get_error_info(call)) != was) {
      SupportLog(LogLevel::kWarning, "sip", "the far end refused the call's new address: it ends");
      linphone_call_terminate(call);
      return;
    }
  }
  switch (state) {
    case LinphoneCallOutgoingProgress:
      owner_.Queue([line](SipUserAgentEvents& e) { e.OnConnecting(line); });
      break;
    case LinphoneCallOutgoingRinging:
    case LinphoneCallOutgoingEarlyMedia:
      l.progress = true;
      break;
    case LinphoneCallConnected: {
      l.progress = l.connected = true;
      const std::string ip =
          Str(linphone_address_get_domain(linphone_call_get_remote_address(call)));
      owner_.Queue([line, ip](SipUserAgentEvents& e) { e.OnSuccessToConnect(line, ip, 0); });
      reconcile_ = true;
      break;
    }
    case LinphoneCallStreamsRunning:
      if (!l.quality.started()) l.quality.Start(call, CallQualityMeter::Clock::now());
      reconcile_ = true;
      break;
    case LinphoneCallPaused:
      reconcile_ = true;
      break;
    case LinphoneCallError:
    case LinphoneCallEnd: {
      mic_muted_[line] = false;
      if (l.reported_end) break;
      l.reported_end = true;
      if (const std::string q = l.quality.Finish(call, line, CallQualityMeter::Clock::now());
          !q.empty())
        SupportLog(LogLevel::kInfo, "sip", q);
      const LinphoneErrorInfo* ei = linphone_call_get_error_info(call);
      const int code = ei ? linphone_error_info_get_protocol_code(ei) : 0;
      const std::string phrase = ei ? Str(linphone_error_info_get_phrase(ei)) : "";
      if (code == 488 && session_.signalling().media == SipSignalling::Media::kSrtpRequired)
        SupportLog(LogLevel::kError, "sip",
                   "the call on line " + std::to_string(line + 1) +
                       " failed: the far end takes no SRTP and MediaEncryption is srtp-required");
      if (l.connected) {
        owner_.Queue([line](SipUserAgentEvents& e) { e.OnDisconnectCall(line); });
      } else if (code >= 300 && !(code == 408 && !l.progress)) {
        owner_.Queue([line, code, phrase](SipUserAgentEvents& e) {
          e.OnGeneralFailureResponse(line, code, phrase);
        });
      } else if (state == LinphoneCallError || code == 408) {
        owner_.Queue([line](SipUserAgentEvents& e) { e.OnFailToConnect(line); });
      } else {
        owner_.Queue([line](SipUserAgentEvents& e) { e.OnDisconnectCall(line); });
      }
      reconcile_ = true;
      break;
    }
    case LinphoneCallReleased:
      l = Line{l.open, l.port};
      reconcile_ = true;
      break;
    default:
      break;
  }
}

void LinphoneLines::SampleQuality() {
  VELNARO_OWNER_ONLY(owner_);
  const auto now = CallQualityMeter::Clock::now();
  for (int i = 0; i < 2; ++i) {
    LinphoneCall* c = lines_[i].call.get();
    if (!CallAlive(c)) continue;
    if (const std::string q = lines_[i].quality.Tick(c, i, now); !q.empty())
      SupportLog(LogLevel::kInfo, "sip", q);
  }
}

void LinphoneLines::DeclineIfLine1Busy(const std::string& call_id) {
  VELNARO_OWNER_ONLY(owner_);
  auto it = std::find_if(incoming_.begin(), incoming_.end(),
                         [&](const Incoming& in) { return in.call_id == call_id; });
  if (it == incoming_.end() || !CallAlive(lines_[0].call.get())) return;
  if (linphone_call_get_state(it->call.get()) == LinphoneCallIncomingReceived)
    linphone_call_decline(it->call.get(), LinphoneReasonBusy);
}

void LinphoneLines::OnIncomingState(LinphoneCall* call, LinphoneCallState state) {
  VELNARO_OWNER_ONLY(owner_);
  auto it = std::find_if(incoming_.begin(), incoming_.end(),
                         [&](const Incoming& in) { return in.call.get() == call; });
  if (state == LinphoneCallIncomingReceived && it == incoming_.end()) {
    const std::string id = Str(linphone_call_log_get_call_id(linphone_call_get_call_log(call)));
    const LinphoneAddress* from = linphone_call_get_remote_address(call);
    const std::string display = Str(linphone_address_get_display_name(from));
    const std::string user = Str(linphone_address_get_username(from));
    const std::string from_uri = UriOnly(from);
    const std::string to_uri = UriOnly(linphone_call_get_to_address(call));
    const LinphoneCallParams* remote = linphone_call_get_remote_params(call);
    const std::string via = Str(remote ? linphone_call_params_get_custom_header(remote, "Via")
                                       : nullptr);
    if (!session_.AcceptsCallVia(via)) {
      // Refused here, inside the library's callback, before it sends the caller a ringing.
      linphone_call_decline(call, LinphoneReasonForbidden);
      const std::vector<std::string> senders = ViaSenderAddresses(via);
      const std::string source = senders.empty() ? "" : senders.back();
      owner_.Queue(
          [source, from_uri](SipUserAgentEvents& e) { e.OnCallRefused(source, from_uri); });
      return;
    }
    incoming_.push_back(Incoming{CallPtr(kTakeRef, call), id});
    owner_.Queue([id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStart(id); });
    owner_.Queue([id, display, user, from_uri, to_uri](SipUserAgentEvents& e) {
      e.OnIncomingCall(id, display, user, from_uri, to_uri);
    });
    // Runs once the handlers have had the call: one left waiting because line 1 is in
    // another call could never be answered, so the caller hears busy at once.
    owner_.Queue([this, id](SipUserAgentEvents&) { DeclineIfLine1Busy(id); });
    return;
  }
  if (it == incoming_.end()) return;
  if (state == LinphoneCallEnd || state == LinphoneCallError || state == LinphoneCallReleased) {
    const std::string id = it->call_id;
    incoming_.erase(it);
    owner_.Queue([id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStop(id); });
  }
}

void LinphoneLines::EndAll() {
  VELNARO_OWNER_ONLY(owner_);
  LinphoneCore* core = session_.core();
  if (linphone_core_get_calls_nb(core) == 0) return;
  linphone_core_terminate_all_calls(core);
  session_.IterateUntil([&] { return linphone_core_get_calls_nb(core) == 0; }, 1000);
}

void LinphoneLines::FollowAddress(const std::string& ip) {
  VELNARO_OWNER_ONLY(owner_);
  for (auto& l : lines_) {
    LinphoneCall* c = l.call.get();
    if (!CallAlive(c)) continue;
    // The offer names the new address, but the stream keeps its sockets until told.
    MediaStream* audio = linphone_call_get_stream(c, LinphoneStreamTypeAudio);
    if (RtpSession* rtp = audio ? audio->sessions.rtp_session : nullptr)
      rtp_session_set_local_addr(rtp, ip.c_str(), rtp_session_get_local_port(rtp),
                                 rtp_session_get_local_rtcp_port(rtp));
    const CallParamsPtr p(linphone_core_create_call_params(session_.core(), c));
    l.follow_reason = linphone_error_info_get_reason(linphone_call_get_error_info(c));
    if (linphone_call_update(c, p.get()) != 0) {
      l.follow_reason.reset();
      SupportLog(LogLevel::kWarning, "sip", "a call could not follow the new address: it ends");
      linphone_call_terminate(c);
    }
  }
}

void LinphoneLines::Release() {
  VELNARO_OWNER_ONLY(owner_);
  for (auto& l : lines_) l = Line{};
  incoming_.clear();
  mic_muted_[0] = mic_muted_[1] = false;  // a new core starts open
  conference_.reset();
}

}  // namespace velnaro
