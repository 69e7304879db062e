#include "telephony/frm_Telefono.h"

#include <algorithm>
#include <cstddef>
#include <ctime>

#include "platform/clock.h"
#include "platform/thread_name.h"

namespace velnaro {

namespace {
// The user's short date and long time (LC_TIME, which the application takes from the
// environment).
std::string LocaleDateTime(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  std::tm days = tm;  // for locales whose date names the weekday
  std::mktime(&days);
  tm.tm_wday = days.tm_wday;
  tm.tm_yday = days.tm_yday;
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
  return std::string(buf, n);
}
}  // namespace

std::string SipErrorMessage(int code) {
  switch (code) {
    case 10: return "You are not Online, please click the 'Online' button first.";
    case 11: return "Cann't open local communication port.";
    case 13: return "Fail to initialize SIP task window.";
    case 14: return "Cann't access Input/Mic device or device is already in use.";
    case 15: return "Cann't access Output/Speaker device or device is already in use.";
    case 16: return "Input/Mic device is not open.";
    case 17: return "Output/Speaker device is not open.";
    case 18: return "Your sound device does not support mic volume.";
    case 19: return "Your sound device does not support speaker volume.";
    case 20: return "Recording media initialization fail.";
    case 21: return "Cann't open the wave file.";
    case 22: return "Provided SIP URI is not valid.";
    case 23: return "Codec is not supported.";
    case 24: return "Error to create SDP (Session Description Protocol) request.";
    case 25: return "Error to create CONNECTION request. Please check the provided SIP URI is valid.";
    case 26: return "Error to create REGISTER request. Please check the provided SIP URI is valid.";
    case 27: return "Error to create UN-REGISTER request. Please check the provided SIP URI is valid.";
    case 28: return "Error to create DISCONNECT request.";
    case 29: return "Line No is not valid.";
    case 30: return "Line is already busy.";
    case 31: return "Line is not open.";
    case 32: return "Invalid Call-Id.";
    case 33: return "Provided value is not valid.";
    case 34: return "Selected line is not in voice session.";
    case 35: return "Fail to read wave file.";
    case 36: return "Fail to write wave file.";
    case 37: return "Unsupported wave file format.";
    default: return {};
  }
}

TfrmTelefono::TfrmTelefono(SipUserAgent& agent, PhoneStatus& status, MessageBox& messages,
                           MessageBox* account_messages)
    : agent_(agent), status_(status), messages_(messages),
      account_messages_(account_messages ? *account_messages : messages) {
  agent_.SetEventSink(this);
  status_.SetIdleAction([this] { Button6Click(); });
}

TfrmTelefono::~TfrmTelefono() {
  {
    std::lock_guard lock(sound_mutex_);
    sound_stop_ = true;
  }
  sound_cv_.notify_all();
  if (sound_thread_.joinable()) sound_thread_.join();
  status_.SetIdleAction(nullptr);
  agent_.SetEventSink(nullptr);
  {
    std::lock_guard lock(message_mutex_);
    message_stop_ = true;
  }
  message_cv_.notify_all();
  if (message_thread_.joinable()) message_thread_.join();
}

void TfrmTelefono::ShowLater(std::vector<PendingMessage> messages) {
  std::lock_guard lock(message_mutex_);
  for (auto& m : messages) message_queue_.push_back(std::move(m));
  if (!message_thread_.joinable()) message_thread_ = std::thread([this] { MessageLoop(); });
  message_cv_.notify_all();
}

void TfrmTelefono::MessageLoop() {
  NameThisThread("messages");
  std::unique_lock lock(message_mutex_);
  while (true) {
    message_cv_.wait(lock, [&] { return message_stop_ || !message_queue_.empty(); });
    if (message_queue_.empty()) return;
    PendingMessage m = std::move(message_queue_.front());
    message_queue_.pop_front();
    message_busy_ = true;
    lock.unlock();
    m.box->Show(m.text, MessageKind::Warning);
    lock.lock();
    message_busy_ = false;
    message_cv_.notify_all();
  }
}

void TfrmTelefono::WaitForMessages() {
  std::unique_lock lock(message_mutex_);
  message_cv_.wait(lock, [&] { return message_queue_.empty() && !message_busy_; });
}

TfrmTelefono::Settings TfrmTelefono::GetSettings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void TfrmTelefono::UpdateSettings(const std::function<void(Settings&)>& edit) {
  std::lock_guard lock(mutex_);
  edit(settings_);
}

void TfrmTelefono::SetSoftwareVersion(const std::string& version) {
  std::lock_guard lock(mutex_);
  software_version_ = version;
}

void TfrmTelefono::SetEsitoPasso3(std::function<void(bool)> callback) {
  std::lock_guard lock(mutex_);
  esito_passo3_ = std::move(callback);
}

void TfrmTelefono::ReportEsitoPasso3(bool registered) {
  std::function<void(bool)> cb;
  {
    std::lock_guard lock(mutex_);
    cb = esito_passo3_;
  }
  if (cb) cb(registered);
}

void TfrmTelefono::SetLogObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  log_observer_ = std::move(observer);
}

bool TfrmTelefono::IsOnline() const {
  std::lock_guard lock(mutex_);
  return online_;
}

std::vector<std::string> TfrmTelefono::txtLog() const {
  std::lock_guard lock(mutex_);
  return {log_.begin(), log_.end()};
}

std::vector<std::string> TfrmTelefono::NewLogLines(uint64_t& seen) const {
  std::lock_guard lock(mutex_);
  const uint64_t first_kept = log_written_ - log_.size();
  const uint64_t from = std::max(seen, first_kept);
  seen = log_written_;
  return {log_.begin() + static_cast<std::ptrdiff_t>(from - first_kept), log_.end()};
}

int TfrmTelefono::SipPort() const {
  std::lock_guard lock(mutex_);
  return sip_port_;
}

int TfrmTelefono::MediaPort(int line) const {
  std::lock_guard lock(mutex_);
  return media_port_[line & 1];
}

void TfrmTelefono::RunOnAgent(const std::function<void()>& body, bool event) {
  std::vector<PendingMessage> pending;
  agent_.Invoke([&] {
    // Only the outermost part collects: what runs inside it joins its messages.
    struct Restore {
      std::vector<PendingMessage>*& slot;
      std::vector<PendingMessage>* outer;
      ~Restore() { slot = outer; }
    } restore{pending_messages_, pending_messages_};
    if (!restore.outer) pending_messages_ = &pending;
    body();
  });
  if (pending.empty()) return;
  // Modal boxes wait for the operator. An operation started elsewhere waits for them too
  // (off the component's thread); an event handler must not hold up the component.
  if (event)
    ShowLater(std::move(pending));
  else
    for (const auto& m : pending) m.box->Show(m.text, MessageKind::Warning);
}

void TfrmTelefono::Post(MessageBox& box, const std::string& text) {
  if (pending_messages_)
    pending_messages_->push_back({&box, text});
  else
    box.Show(text, MessageKind::Warning);
}

void TfrmTelefono::Message(const std::string& text) { Post(messages_, text); }
void TfrmTelefono::AccountMessage(const std::string& text) { Post(account_messages_, text); }

void TfrmTelefono::ScriviLog(const std::string& message) {
  const std::string line = LocaleDateTime(DefaultClock().Now()) + " - " + message;
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard lock(mutex_);
    log_.push_back(line);
    ++log_written_;
    // A whole shift of calls: the support log keeps every line, the window the last ones.
    if (log_.size() > kLogLines) log_.pop_front();
    observer = log_observer_;
  }
  if (observer) observer(line);
}

std::string TfrmTelefono::LocalIp(const Settings& s) {
  if (!s.txtIPVPN.empty()) return s.txtIPVPN;
  agent_.SetProxyHint(s.EditSIPProxy);
  return agent_.LocalIp();
}

void TfrmTelefono::MostraErroreAgente() {
  Run([&] {
    const std::string text = SipErrorMessage(agent_.LastError());
    if (!text.empty()) Message(text);
  });
}

void TfrmTelefono::AttivaTelefono(const PhoneAccount& account) {
  UpdateSettings([&](Settings& s) {
    s.EditSIPProxy = account.sip_server;
    s.EditDisplayName = account.display_name;
    s.EditLoginId = account.login;
    s.EditLoginPwd = account.password;
    s.txtIPVPN = account.local_ip;
  });
  AttivaTelefono();
}

void TfrmTelefono::AttivaTelefono() {
  WaitForSound(false);  // this attempt decides afresh
  Run([&] {
    ScriviLog("Richiesta di registrazione della linea SIP");
    const Settings s = GetSettings();
    if (s.EditLoginId.empty()) {
      ScriviLog("User Login non specificato");
      AccountMessage("User Login non specificato");
      return;
    }
    if (s.EditSIPProxy.empty()) {
      ScriviLog("SIP Proxy non specificato");
      AccountMessage("SIP Proxy non specificato");
      return;
    }
    if (!InizializzaAgente()) return;
    std::string version;
    {
      std::lock_guard lock(mutex_);
      version = software_version_;
    }
    agent_.SetUserAgentText("Velnaro.DS " + version);
    if (!ApriLinee()) return;
    if (s.CheckBoxRegisterToProxy && !agent_.Register(3600)) {
      MostraErroreAgente();
      return;
    }
    agent_.FixedSetting21(2);
    agent_.FixedSetting21(3);
    agent_.FixedSetting17(10);
    std::lock_guard lock(mutex_);
    online_ = true;
  });
  bool no_sound;
  {
    std::lock_guard lock(sound_mutex_);
    no_sound = sound_wanted_;
  }
  // The call centre's server routes calls elsewhere while this desk is offline.
  if (no_sound) ReportEsitoPasso3(false);
}

void TfrmTelefono::WaitForSound(bool wait) {
  std::lock_guard lock(sound_mutex_);
  sound_wanted_ = wait;
  if (wait && !sound_thread_.joinable()) sound_thread_ = std::thread([this] { SoundWaitLoop(); });
  sound_cv_.notify_all();
}

// Asks the component every kSoundRetry whether a device has appeared, and goes online
// once one has.
void TfrmTelefono::SoundWaitLoop() {
  NameThisThread("sound-wait");
  std::unique_lock lock(sound_mutex_);
  while (!sound_stop_) {
    sound_cv_.wait(lock, [&] { return sound_stop_ || sound_wanted_; });
    if (sound_cv_.wait_for(lock, kSoundRetry, [&] { return sound_stop_ || !sound_wanted_; }))
      continue;
    lock.unlock();
    const bool ready = agent_.SoundReady();
    lock.lock();
    if (!ready || !sound_wanted_ || sound_stop_) continue;
    lock.unlock();
    sound_retry_ = true;
    AttivaTelefono();
    sound_retry_ = false;
    lock.lock();
  }
}

bool TfrmTelefono::InizializzaAgente() {
  return RunFor([&] {
    const Settings s = GetSettings();
    const std::string display = s.EditDisplayName.empty() ? s.EditLoginId : s.EditDisplayName;
    const std::string own = display + " <" + SipAddress(s.EditLoginId, s.EditSIPProxy) + ">";
    const std::string ip = LocalIp(s);
    // Initialising starts the component afresh, its microphones open.
    status_.SetMute(false);
    for (int port = kFirstSipPort; port <= kLastSipPort; ++port) {
      if (agent_.Initialize(false, ip, port, own, s.EditOutboundProxy, s.EditSIPProxy,
                            s.EditLoginId, s.EditLoginPwd, true, 7)) {
        std::lock_guard lock(mutex_);
        sip_port_ = port;
        return true;
      }
      const int error = agent_.LastError();
      if (error != sip_error::kPortInUse) {
        const bool no_sound = error == sip_error::kInputDevice || error == sip_error::kOutputDevice;
        // The operator was told when the wait began.
        if (!no_sound || !sound_retry_) MostraErroreAgente();
        if (no_sound) {
          status_.AggiornaStato(LineState::kOffline);
          WaitForSound(true);
        }
        return false;
      }
    }
    Message("Cann't open SIP communication port.");
    return false;
  });
}

bool TfrmTelefono::ApriLinee() {
  return RunFor([&] {
    const std::string ip = LocalIp(GetSettings());
    int port = kFirstMediaPort;
    int busy = 0;
    int line = 0;
    while (line < 2) {
      if (agent_.OpenLine(line, false, ip, port)) {
        std::lock_guard lock(mutex_);
        media_port_[line] = port;
        ++line;
      } else if (agent_.LastError() == sip_error::kPortInUse) {
        if (++busy >= kMediaBusyLimit) {
          Message("Unable to open RTP communication port.");
          return false;
        }
      } else {
        MostraErroreAgente();
        return false;
      }
      port += 2;
    }
    return true;
  });
}

bool TfrmTelefono::DisattivaTelefono() {
  WaitForSound(false);
  return RunFor([&] {
    {
      std::lock_guard lock(mutex_);
      if (!online_) return false;
      online_ = false;
    }
    agent_.Shutdown();
    status_.SetMute(false);  // no microphone stays muted
    return true;
  });
}

// Off line at once: an unregistration from an address that is gone would only wait for
// its timeout. The calls' own events come before what the caller reports next.
bool TfrmTelefono::LeaveLostAddress() {
  return RunFor([&] {
    {
      std::lock_guard lock(mutex_);
      if (!online_) return false;
      online_ = false;
    }
    agent_.Abandon();
    status_.SetMute(false);
    return true;
  });
}

void TfrmTelefono::NetworkLost() {
  if (LeaveLostAddress()) OnFailToRegister();
}

void TfrmTelefono::NetworkChecked() {
  Run([&] {
    if (IsOnline()) agent_.RefreshRegistration();
  });
}

void TfrmTelefono::NetworkMoved(const PhoneAccount& account) {
  // A call in progress moves with the phone; without one the phone starts again there.
  const bool followed = RunFor([&] { return IsOnline() && agent_.FollowAddress(account.local_ip); });
  if (followed) {
    UpdateSettings([&](Settings& s) { s.txtIPVPN = account.local_ip; });
    return;
  }
  LeaveLostAddress();
  AttivaTelefono(account);
}

void TfrmTelefono::BtnInitClick() {
  Run([&] {
    if (IsOnline() && DisattivaTelefono()) return;
    AttivaTelefono();
  });
}

// --- call operations ---

bool TfrmTelefono::Dial(int line, const std::string& number) {
  return RunFor([&] {
    const std::string target = SipAddress(number, GetSettings().EditSIPProxy);
    if (line == kLine1) {
      // The window's number field shows what line 1 dials, the page's CALL included.
      UpdateSettings([&](Settings& s) { s.txtNumero = number; });
      if (number.empty()) {
        Message("Please enter a phone number.");
        return false;
      }
      const bool placed = agent_.PlaceCall(line, target, 0, 0);
      if (!placed) MostraErroreAgente();
      return placed;
    }
    const bool placed = agent_.PlaceCall(line, target, 0, 0);
    ScriviLog(placed ? "Linea 2 - Numero verde chiamato"
                     : "Linea 2 - Errore di chiamata numero verde");
    return placed;
  });
}

void TfrmTelefono::HangUp(int line) {
  const std::string name = line == kLine1 ? "Linea 1" : "Linea 2";
  Run([&] {
    if (!agent_.EndCall(line)) {
      ScriviLog(name + " - ERRORE richiesta di hangup chiamata");
      return;
    }
    ScriviLog(name + " - Chiamata riagganciata");
    // Line 2's end reaches the record through the component's disconnect event.
    if (line == kLine1) status_.AggiornaStato(LineState::kIdle, CallState::kHangUp);
  });
}

bool TfrmTelefono::InCall(int line) {
  return RunFor([&] { return agent_.IsLineInCall(line); });
}

void TfrmTelefono::Hold(int line) {
  Run([&] {
    if (agent_.IsLineInCall(line)) agent_.Hold(line);
  });
}

void TfrmTelefono::Unhold(int line) {
  Run([&] {
    if (agent_.IsLineOnHold(line)) agent_.Unhold(line);
  });
}

void TfrmTelefono::SendDtmf(int line, const std::string& digits) {
  Run([&] { agent_.SendDtmf(line, digits); });
}

void TfrmTelefono::Mute(int line, bool muted) {
  Run([&] { agent_.SetMicrophoneMuted(line, muted); });
}

void TfrmTelefono::StartRecording(int line) {
  Run([&] {
    agent_.RecordStart(line);
    agent_.RecordMode(line, kRecordingMode, true);
  });
}

// Not inside Run: the component joins the recording on this thread, and the SIP thread
// goes on meanwhile.
bool TfrmTelefono::SaveRecording(int line, const std::string& path) {
  return agent_.RecordSave(line, path);
}

// --- event handlers ---

// The registration is lost, tried again and regained while the network moves, calls or
// not: while a line is in a call the page keeps the call's state and the log alone says so.
void TfrmTelefono::RegistrationNews(const char* line, LineState state) {
  OnEvent([&] {
    ScriviLog(line);
    if (!agent_.IsLineInCall(kLine1) && !agent_.IsLineInCall(kLine2))
      status_.AggiornaStato(state);
  });
}

void TfrmTelefono::OnTryingToRegister() {
  RegistrationNews("Tentativo di registrazione interno SIP", LineState::kRegistering);
}

void TfrmTelefono::OnSuccessToRegister() {
  RegistrationNews("Telefono On-Line", LineState::kOnline);
  ReportEsitoPasso3(true);
}

void TfrmTelefono::OnFailToRegister() {
  RegistrationNews("Errore di registrazione della linea ", LineState::kOffline);
}

void TfrmTelefono::OnTryingToUnRegister() {
  OnEvent([&] {
    ScriviLog("Tentativo di de registrazione interno SIP");
    status_.AggiornaStato(LineState::kUnregistering);
  });
}

void TfrmTelefono::OnSuccessToUnRegister() {
  OnEvent([&] {
    ScriviLog("Telefono Off-Line");
    status_.AggiornaStato(LineState::kUnregister);
  });
  ReportEsitoPasso3(false);
}

void TfrmTelefono::OnConnecting(int line_no) {
  OnEvent([&] {
    ScriviLog("Sto per chiamare/rispondere sulla linea  (" + std::to_string(line_no) + ")");
    status_.AggiornaStato(LineState::kInCall);
  });
}

void TfrmTelefono::OnSuccessToConnect(int line_no, const std::string&, int) {
  OnEvent([&] {
    ScriviLog("Chiamata risposta sulla linea  (" + std::to_string(line_no) + ")");
    status_.AggiornaStato(LineState::kInCall, CallState::kAnswered);
  });
}

void TfrmTelefono::OnFailToConnect(int line_no) {
  OnEvent([&] {
    ScriviLog("Errore di connessione sulla linea  (" + std::to_string(line_no) + ")");
    status_.AggiornaStato(LineState::kOffline);
    CallFailed(line_no);
  });
}

void TfrmTelefono::OnDisconnectCall(int line_no) {
  OnEvent([&] {
    ScriviLog("Chiamata disconnessa sulla linea  (" + std::to_string(line_no) + ")");
    status_.AggiornaStato(LineState::kIdle);
  });
}

void TfrmTelefono::OnGeneralFailureResponse(int line_no, int status_code,
                                            const std::string& reason_phrase) {
  OnEvent([&] {
    ScriviLog("Errore generale sulla linea (" + std::to_string(line_no) + ") - Errore: " +
              reason_phrase + " (" + std::to_string(status_code) + ")");
    status_.AggiornaStato(LineState::kError);
    CallFailed(line_no);
  });
}

// A call that fails before it connects raises no IDLE, yet it ends as a call does: the
// component opens its line's microphone again, and line 1, held for the line-2 call that
// failed, must come back to its customer.
void TfrmTelefono::CallFailed(int line) {
  if (line == kLine1) {
    status_.SetMute(false);
  } else if (agent_.IsLineOnHold(kLine1)) {
    agent_.Unhold(kLine1);
    status_.SetHold(false);
  }
}

void TfrmTelefono::OnIncomingCallRingingStart(const std::string& call_id) {
  OnEvent([&] {
    ScriviLog("Inizio Squillo (" + call_id + ")");
    status_.AggiornaStato(LineState::kInCall, CallState::kRinging, "", call_id);
  });
}

void TfrmTelefono::OnIncomingCallRingingStop(const std::string& call_id) {
  OnEvent([&] {
    ScriviLog("Fine Squillo (" + call_id + ")");
    status_.AggiornaStato(LineState::kInCall, CallState::kRingingStop, "", call_id);
  });
}

void TfrmTelefono::OnIncomingCall(const std::string& call_id, const std::string&,
                                  const std::string& user_name, const std::string& from_uri,
                                  const std::string& to_uri) {
  OnEvent([&] {
    ScriviLog("Chiamata da " + user_name + " (" + call_id + ")" + from_uri + " -> " + to_uri);
    status_.AggiornaStato(LineState::kInCall, CallState::kCallIn, "", call_id);
    if (agent_.AcceptCall(0, call_id, 0, 0))
      ScriviLog("Chiamata risposta: " + user_name + " (" + call_id + ")");
    else
      MostraErroreAgente();
  });
}

void TfrmTelefono::OnCallRefused(const std::string& from_ip, const std::string& from_uri) {
  OnEvent([&] {
    ScriviLog("Chiamata rifiutata: " + from_uri + " da " + from_ip + ", non dal server SIP");
  });
}

}  // namespace velnaro
