#include "telephony/linphone_sip_user_agent.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <arpa/inet.h>
#include <bctoolbox/list.h>
#include <linphone/core.h>
#include <linphone/logging.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/temp_files.h"
#include "telephony/virtual_sound_card.h"
#include "telephony/wav_file.h"

namespace velnaro {
namespace {

using Clock = std::chrono::steady_clock;
using EventFn = std::function<void(SipUserAgentEvents&)>;

// True when a plain UDP socket can bind ip:port (no SO_REUSEADDR, unlike the library).
bool UdpPortFree(const std::string& ip, int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// Host and port of a proxy text such as "sip:host:5080;transport=udp" or "host".
void SplitHostPort(std::string s, std::string* host, std::string* port) {
  if (s.rfind("sip:", 0) == 0) s = s.substr(4);
  if (auto at = s.find('@'); at != std::string::npos) s = s.substr(at + 1);
  if (auto semi = s.find_first_of(";>"); semi != std::string::npos) s = s.substr(0, semi);
  *port = "5060";
  if (auto colon = s.find(':'); colon != std::string::npos) {
    *port = s.substr(colon + 1);
    s = s.substr(0, colon);
  }
  *host = s;
}

// The local address the system would use to reach the proxy: a connected UDP socket,
// nothing sent.
std::string RouteAddressTo(const std::string& proxy) {
  std::string host, port;
  SplitHostPort(proxy, &host, &port);
  if (host.empty()) return "127.0.0.1";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return "127.0.0.1";
  std::string out = "127.0.0.1";
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd >= 0) {
    if (::connect(fd, res->ai_addr, res->ai_addrlen) == 0) {
      sockaddr_in local{};
      socklen_t len = sizeof local;
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        char buf[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &local.sin_addr, buf, sizeof buf)) out = buf;
      }
    }
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return out;
}

std::string UriOnly(const LinphoneAddress* a) {
  if (!a) return {};
  char* s = linphone_address_as_string_uri_only(a);
  std::string out = s ? s : "";
  bctbx_free(s);
  return out;
}

std::string Str(const char* s) { return s ? s : ""; }

bool Alive(LinphoneCallState s) {
  return s != LinphoneCallEnd && s != LinphoneCallError && s != LinphoneCallReleased;
}

bool Settled(LinphoneCallState s) {
  return s == LinphoneCallStreamsRunning || s == LinphoneCallPaused ||
         s == LinphoneCallPausedByRemote || s == LinphoneCallConnected;
}

class Agent final : public LinphoneSipUserAgent {
 public:
  explicit Agent(const LinphoneAgentOptions& o) {
    const char* env = std::getenv("VELNARO_VIRTUAL_SOUND");
    force_virtual_ = o.force_virtual_sound || (env && std::string(env) == "1");
    state_dir_ = o.state_dir;
    if (state_dir_.empty()) {
      state_dir_ = TempFolder() + "velnaro-sip-" + std::to_string(::getpid());
      own_state_dir_ = true;  // ours alone: removed at the end
    }
    std::error_code ec;
    std::filesystem::create_directories(state_dir_, ec);
    // The sound library keeps its runtime files under XDG_RUNTIME_DIR, or in $HOME and /tmp
    // without one. A desktop session's own (where the sound server listens) is kept.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) ::setenv("XDG_RUNTIME_DIR", state_dir_.c_str(), 1);
    linphone_logging_service_set_log_level(linphone_logging_service_get(), LinphoneLogLevelFatal);
    virtual_sound::SetTone(o.virtual_tone_hz);
    virtual_sound::SetKeepPlayed(o.keep_played_audio);
    thread_ = std::thread([this] { Loop(); });
  }

  ~Agent() override {
    Invoke([this] { DestroyCore(false); });
    {
      std::lock_guard lock(task_mutex_);
      stop_ = true;
    }
    task_cv_.notify_all();
    thread_.join();
    if (own_state_dir_) {
      std::error_code ec;
      std::filesystem::remove_all(state_dir_, ec);
    }
  }

  // --- threading ---

  // On the owner thread, between two events: once this returns no handler of the old sink
  // is still running.
  void SetEventSink(SipUserAgentEvents* sink) override {
    Invoke([&] {
      std::lock_guard lock(sink_mutex_);
      sink_ = sink;
    });
  }

  bool OnOwnerThread() const override { return std::this_thread::get_id() == owner_id_; }

  void Invoke(const std::function<void()>& fn) override {
    if (OnOwnerThread()) {
      fn();
      return;
    }
    Task task{&fn};
    std::unique_lock lock(task_mutex_);
    tasks_.push_back(&task);
    task_cv_.notify_all();
    done_cv_.wait(lock, [&] { return task.done; });
  }

  // --- operations ---

  bool Initialize(bool, const std::string& local_ip, int sip_port, const std::string& own_address,
                  const std::string& outbound_proxy, const std::string& sip_proxy,
                  const std::string& login, const std::string& password, bool, int) override {
    bool ok = false;
    Invoke([&] { ok = DoInitialize(local_ip, sip_port, own_address, outbound_proxy, sip_proxy,
                                   login, password); });
    return ok;
  }

  void Shutdown() override {
    Invoke([&] {
      if (!core_) return (void)Fail(sip_error::kNotOnline);
      DestroyCore(true);
      Ok();
    });
  }

  int LastError() override {
    int e = 0;
    Invoke([&] { e = last_error_; });
    return e;
  }

  std::string LocalIp() override {
    std::string ip;
    Invoke([&] { ip = RouteAddressTo(proxy_hint_.empty() ? proxy_ : proxy_hint_); });
    return ip;
  }

  void SetProxyHint(const std::string& sip_proxy) override {
    Invoke([&] { proxy_hint_ = sip_proxy; });
  }

  bool SetUserAgentText(const std::string& text) override {
    bool ok = false;
    Invoke([&] {
      user_agent_ = text;
      if (core_) ApplyUserAgent();
      ok = Ok();
    });
    return ok;
  }

  bool OpenLine(int line, bool, const std::string& local_ip, int media_port) override {
    bool ok = false;
    Invoke([&] {
      if (!core_) return (void)Fail(sip_error::kNotOnline);
      if (line != 0 && line != 1) return (void)Fail(sip_error::kInvalidLine);
      if (media_port <= 0 || media_port > 65534) return (void)Fail(sip_error::kInvalidValue);
      const std::string ip = local_ip.empty() ? local_ip_ : local_ip;
      // The library silently takes another port when this one is busy, while its SDP still
      // names the asked one: check both RTP and RTCP ports here.
      if (!UdpPortFree(ip, media_port) || !UdpPortFree(ip, media_port + 1))
        return (void)Fail(sip_error::kPortInUse);
      for (int other = 0; other < 2; ++other)
        if (other != line && lines_[other].open && lines_[other].port == media_port)
          return (void)Fail(sip_error::kPortInUse);
      lines_[line].open = true;
      lines_[line].port = media_port;
      if (line == 0) linphone_core_set_audio_port(core_, media_port);
      ok = Ok();
    });
    return ok;
  }

  bool Register(int expiry_seconds) override {
    bool ok = false;
    Invoke([&] { ok = DoRegister(expiry_seconds); });
    return ok;
  }

  // The phone sends these after registering and ignores their results; this stack has no
  // setting they would map to.
  bool FixedSetting21(int) override { return true; }
  bool FixedSetting17(int) override { return true; }

  bool PlaceCall(int line, const std::string& target, int, int) override {
    bool ok = false;
    Invoke([&] { ok = DoPlaceCall(line, target); });
    return ok;
  }

  bool AcceptCall(int line, const std::string& call_id, int, int) override {
    bool ok = false;
    Invoke([&] { ok = DoAccept(line, call_id); });
    return ok;
  }

  bool EndCall(int line) override {
    bool ok = false;
    Invoke([&] {
      LinphoneCall* c = LiveCall(line);
      if (!c) return;
      if (linphone_call_get_conference(c) && !Registered())
        return (void)Fail(sip_error::kDisconnectRequest);  // the library crashes here
      ok = linphone_call_terminate(c) == 0 ? Ok() : Fail(sip_error::kDisconnectRequest);
    });
    return ok;
  }

  bool IsLineInCall(int line) override {
    bool v = false;
    Invoke([&] { v = (line == 0 || line == 1) && lines_[line].call &&
                     Alive(linphone_call_get_state(lines_[line].call)); });
    return v;
  }

  bool IsLineOnHold(int line) override {
    bool v = false;
    Invoke([&] {
      if ((line != 0 && line != 1) || !lines_[line].call) return;
      const auto s = linphone_call_get_state(lines_[line].call);
      v = lines_[line].user_held && Alive(s);
    });
    return v;
  }

  bool Hold(int line) override {
    bool ok = false;
    Invoke([&] { ok = DoHold(line); });
    return ok;
  }

  bool Unhold(int line) override {
    bool ok = false;
    Invoke([&] {
      LinphoneCall* c = LiveCall(line);
      if (!c) return;
      lines_[line].user_held = false;
      Reconcile();
      ok = Ok();
    });
    return ok;
  }

  bool SendDtmf(int line, const std::string& digits) override {
    bool ok = false;
    Invoke([&] {
      LinphoneCall* c = LiveCall(line);
      if (!c) return;
      if (digits.empty()) return (void)Fail(sip_error::kInvalidValue);
      ok = linphone_call_send_dtmfs(c, digits.c_str()) == 0 ? Ok()
                                                           : Fail(sip_error::kInvalidValue);
    });
    return ok;
  }

  bool RecordStart(int line) override {
    bool ok = false;
    Invoke([&] { ok = DoRecordStart(line); });
    return ok;
  }

  bool RecordMode(int line, int, bool enable) override {
    bool ok = false;
    Invoke([&] { ok = enable ? DoRecordStart(line) : Ok(); });
    return ok;
  }

  bool RecordSave(int line, const std::string& path) override {
    bool ok = false;
    Invoke([&] { ok = DoRecordSave(line, path); });
    return ok;
  }

  bool SetMicrophoneMuted(int line, bool muted) override {
    bool ok = false;
    Invoke([&] {
      if (line != 0 && line != 1) return (void)Fail(sip_error::kInvalidLine);
      if (!core_) return (void)Fail(sip_error::kNotOnline);
      // A mute lasts until the line's call ends (the next call starts open). An ended call
      // has no streams left to mute: the media library crashes on it.
      mic_muted_[line] = muted;
      LinphoneCall* c = lines_[line].call;
      if (c && Alive(linphone_call_get_state(c))) linphone_call_set_microphone_muted(c, muted);
      ok = Ok();
    });
    return ok;
  }

  // --- test helpers ---

  bool UsingVirtualSound() const override { return using_virtual_.load(); }
  std::vector<short> TakePlayedAudio(int* rate) override { return virtual_sound::TakePlayed(rate); }
  void SetVirtualTone(int hz) override { virtual_sound::SetTone(hz); }

 private:
  struct Task {
    const std::function<void()>* fn;
    bool done = false;
  };
  struct Line {
    bool open = false;
    int port = 0;
    LinphoneCall* call = nullptr;  // referenced while set
    bool user_held = false;        // put on hold by operation 10
    bool progress = false;         // an 18x or answer was seen
    bool connected = false;
    bool reported_end = false;
  };
  struct Incoming {
    LinphoneCall* call;  // referenced
    std::string call_id;
  };

  // --- owner loop ---

  void Loop() {
    owner_id_ = std::this_thread::get_id();
    std::unique_lock lock(task_mutex_);
    while (true) {
      while (!tasks_.empty()) {
        Task* t = tasks_.front();
        tasks_.pop_front();
        lock.unlock();
        (*t->fn)();
        Pump();
        lock.lock();
        t->done = true;
        done_cv_.notify_all();
      }
      if (stop_) break;
      lock.unlock();
      Pump();
      lock.lock();
      task_cv_.wait_for(lock, std::chrono::milliseconds(20),
                        [&] { return stop_ || !tasks_.empty(); });
    }
  }

  // Iterates the core, then delivers queued events (outside any library callback).
  void Pump() {
    if (core_) linphone_core_iterate(core_);
    if (core_ && reconcile_) Reconcile();
    if (core_) SyncRecorder();
    Deliver();
  }

  void Queue(EventFn e) { events_.push_back(std::move(e)); }

  void Deliver() {
    if (delivering_) return;  // an event handler called an operation: the outer loop delivers
    delivering_ = true;
    while (!events_.empty()) {
      EventFn e = std::move(events_.front());
      events_.pop_front();
      SipUserAgentEvents* sink;
      {
        std::lock_guard lock(sink_mutex_);
        sink = sink_;
      }
      if (sink) e(*sink);
    }
    delivering_ = false;
  }

  bool Ok() {
    last_error_ = sip_error::kNone;
    return true;
  }
  bool Fail(int code) {
    last_error_ = code;
    return false;
  }

  bool Registered() const {
    return account_ && linphone_account_get_state(account_) == LinphoneRegistrationOk;
  }

  // The line's call if it has a live one; else sets the error and returns null.
  LinphoneCall* LiveCall(int line) {
    if (!core_) return Fail(sip_error::kNotOnline), nullptr;
    if (line != 0 && line != 1) return Fail(sip_error::kInvalidLine), nullptr;
    LinphoneCall* c = lines_[line].call;
    if (!c || !Alive(linphone_call_get_state(c)))
      return Fail(sip_error::kNotInVoiceSession), nullptr;
    return c;
  }

  int LineOf(LinphoneCall* c) const {
    for (int i = 0; i < 2; ++i)
      if (lines_[i].call == c) return i;
    return -1;
  }

  // --- core life ---

  bool DoInitialize(const std::string& local_ip, int sip_port, const std::string& own_address,
                    const std::string& outbound_proxy, const std::string& sip_proxy,
                    const std::string& login, const std::string& password) {
    if (core_) DestroyCore(false);
    if (sip_port <= 0 || sip_port > 65535) return Fail(sip_error::kInvalidValue);
    local_ip_ = local_ip.empty() ? RouteAddressTo(sip_proxy) : local_ip;
    // The library shares a busy port (SO_REUSEADDR) and reports nothing: check first.
    if (!UdpPortFree(local_ip_, sip_port)) return Fail(sip_error::kPortInUse);
    LinphoneFactory* f = linphone_factory_get();
    LinphoneAddress* own = linphone_factory_create_address(f, own_address.c_str());
    if (!own) return Fail(sip_error::kInvalidUri);
    linphone_address_unref(own);
    own_address_ = own_address;
    outbound_ = outbound_proxy;
    proxy_ = sip_proxy;
    login_ = login;
    password_ = password;

    // Addresses and ports go into the configuration before the core exists, or it binds
    // 5060 for a moment and advertises the default-route address.
    std::string conf;
    conf += "[sip]\nbind_address=" + local_ip_ + "\nsip_port=" + std::to_string(sip_port) +
            "\nsip_tcp_port=0\nsip_tls_port=0\nuse_rfc2833=1\nuse_info=0\n"
            "ipv6=0\ninc_timeout=60\nguess_hostname=0\n";
    conf += "[rtp]\nbind_address=" + local_ip_ + "\naudio_rtp_port=" +
            std::to_string(lines_[0].port ? lines_[0].port : 7000) + "\n";
    conf += "[storage]\nuri=:memory:\ncall_logs_db_uri=:memory:\nzrtp_secrets_db_uri=:memory:\n";
    conf += "[misc]\nfriends_db_uri=:memory:\nenable_basic_to_client_group_chat_room_migration=0\n"
            "max_calls=4\nconference_server_enabled=0\n";
    conf += "[video]\ncapture=0\ndisplay=0\nautomatically_initiate=0\nautomatically_accept=0\n";
    conf += "[sound]\necho_cancellation=0\nagc=0\nnoisegate=0\n";
    conf += "[net]\nnat_policy_ref=\n";
    LinphoneConfig* cfg = linphone_factory_create_config_from_string(f, conf.c_str());
    LinphoneCore* core = linphone_factory_create_core_with_config_3(f, cfg, nullptr);
    linphone_config_unref(cfg);
    if (!core) return Fail(sip_error::kTaskWindow);

    LinphoneCoreCbs* cbs = linphone_factory_create_core_cbs(f);
    linphone_core_cbs_set_call_state_changed(cbs, &Agent::CallStateCb);
    linphone_core_cbs_set_notify_received(cbs, &Agent::NotifyCb);
    linphone_core_cbs_set_user_data(cbs, this);
    linphone_core_add_callbacks(core, cbs);
    linphone_core_cbs_unref(cbs);

    if (linphone_core_start(core) != 0) {
      linphone_core_unref(core);
      return Fail(sip_error::kTaskWindow);
    }
    core_ = core;
    SetupSound();
    linphone_core_set_primary_contact(core_, own_address_.c_str());
    if (!user_agent_.empty()) ApplyUserAgent();
    LinphoneTransports* t = linphone_core_get_transports_used(core_);
    const int udp = t ? linphone_transports_get_udp_port(t) : 0;
    if (t) linphone_transports_unref(t);
    if (udp <= 0) {
      DestroyCore(false);
      return Fail(sip_error::kPortInUse);
    }
    return Ok();
  }

  void SetupSound() {
    bool have_capture = false, have_playback = false;
    bctbx_list_t* devs = linphone_core_get_sound_devices_list(core_);
    for (bctbx_list_t* it = devs; it; it = bctbx_list_next(it)) {
      const char* id = static_cast<const char*>(bctbx_list_get_data(it));
      if (linphone_core_sound_device_can_capture(core_, id)) have_capture = true;
      if (linphone_core_sound_device_can_playback(core_, id)) have_playback = true;
    }
    bctbx_list_free(devs);  // the names belong to the core
    if (!force_virtual_ && have_capture && have_playback) {
      using_virtual_ = false;
      return;
    }
    virtual_sound::Register(linphone_core_get_ms_factory(core_));
    linphone_core_reload_sound_devices(core_);
    linphone_core_set_capture_device(core_, virtual_sound::kCardId);
    linphone_core_set_playback_device(core_, virtual_sound::kCardId);
    linphone_core_set_ringer_device(core_, virtual_sound::kCardId);
    linphone_core_set_media_device(core_, virtual_sound::kCardId);
    using_virtual_ = true;
  }

  void ApplyUserAgent() {
    const auto sp = user_agent_.find(' ');
    const std::string name = user_agent_.substr(0, sp);
    const std::string version = sp == std::string::npos ? "" : user_agent_.substr(sp + 1);
    linphone_core_set_user_agent(core_, name.c_str(), version.c_str());
  }

  // Hangs up, unregisters (raising the unregistration events when asked) and stops.
  void DestroyCore(bool events) {
    if (!core_) return;
    StopRecorder();  // what was recorded can still be saved
    want_recording_ = false;
    const bool had_account = account_ != nullptr;
    // Calls first, while still registered: ending conference members unregistered crashes.
    if (linphone_core_get_calls_nb(core_) > 0) {
      linphone_core_terminate_all_calls(core_);
      WaitFor([&] { return linphone_core_get_calls_nb(core_) == 0; }, 1000);
    }
    if (events && had_account) Queue([](SipUserAgentEvents& e) { e.OnTryingToUnRegister(); });
    if (account_) {
      if (Registered()) {
        unregistering_ = true;
        LinphoneAccountParams* p = linphone_account_params_clone(linphone_account_get_params(account_));
        linphone_account_params_enable_register(p, FALSE);
        linphone_account_set_params(account_, p);
        linphone_account_params_unref(p);
        WaitFor([&] { return linphone_account_get_state(account_) != LinphoneRegistrationOk &&
                             linphone_account_get_state(account_) != LinphoneRegistrationProgress; },
                2000);
        unregistering_ = false;
      }
      linphone_core_clear_accounts(core_);
      linphone_account_unref(account_);
      account_ = nullptr;
    }
    registered_reported_ = false;
    linphone_core_clear_all_auth_info(core_);
    for (auto& l : lines_) {
      if (l.call) linphone_call_unref(l.call);
      l = Line{};
    }
    for (auto& in : incoming_) linphone_call_unref(in.call);
    incoming_.clear();
    if (conference_) {
      linphone_conference_unref(conference_);
      conference_ = nullptr;
    }
    linphone_core_stop(core_);
    linphone_core_unref(core_);
    core_ = nullptr;
    if (events && had_account) Queue([](SipUserAgentEvents& e) { e.OnSuccessToUnRegister(); });
  }

  template <typename Pred>
  void WaitFor(Pred done, int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!done() && Clock::now() < until) {
      linphone_core_iterate(core_);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  bool DoRegister(int expiry) {
    if (!core_) return Fail(sip_error::kNotOnline);
    if (expiry <= 0) return Fail(sip_error::kInvalidValue);
    LinphoneFactory* f = linphone_factory_get();
    if (account_) {
      linphone_core_clear_accounts(core_);
      linphone_account_unref(account_);
      account_ = nullptr;
    }
    linphone_core_clear_all_auth_info(core_);
    registered_reported_ = false;
    LinphoneAddress* identity = linphone_factory_create_address(f, own_address_.c_str());
    if (!identity) return Fail(sip_error::kRegisterRequest);
    std::string server = proxy_;
    if (server.rfind("sip:", 0) != 0) server = "sip:" + server;
    if (server.find("transport=") == std::string::npos) server += ";transport=udp";
    LinphoneAccountParams* p = linphone_core_create_account_params(core_);
    linphone_account_params_set_identity_address(p, identity);
    linphone_address_unref(identity);
    if (linphone_account_params_set_server_addr(p, server.c_str()) != 0) {
      linphone_account_params_unref(p);
      return Fail(sip_error::kRegisterRequest);
    }
    if (!outbound_.empty()) {
      std::string route = outbound_;
      if (route.rfind("sip:", 0) != 0) route = "sip:" + route;
      if (route.find(";lr") == std::string::npos) route += ";lr";
      if (LinphoneAddress* r = linphone_factory_create_address(f, route.c_str())) {
        bctbx_list_t* routes = bctbx_list_append(nullptr, r);
        linphone_account_params_set_routes_addresses(p, routes);
        bctbx_list_free(routes);
        linphone_address_unref(r);
      }
    }
    linphone_account_params_set_expires(p, expiry);
    linphone_account_params_enable_register(p, TRUE);
    LinphoneAuthInfo* auth = linphone_factory_create_auth_info_2(
        f, login_.c_str(), nullptr, password_.c_str(), nullptr, nullptr, nullptr, nullptr);
    linphone_core_add_auth_info(core_, auth);
    linphone_auth_info_unref(auth);

    LinphoneAccount* acc = linphone_core_create_account(core_, p);
    linphone_account_params_unref(p);
    if (!acc) return Fail(sip_error::kRegisterRequest);
    LinphoneAccountCbs* cbs = linphone_factory_create_account_cbs(f);
    linphone_account_cbs_set_registration_state_changed(cbs, &Agent::RegistrationCb);
    linphone_account_cbs_set_user_data(cbs, this);
    linphone_account_add_callbacks(acc, cbs);
    linphone_account_cbs_unref(cbs);
    account_ = acc;
    if (linphone_core_add_account(core_, acc) != 0) {
      linphone_account_unref(acc);
      account_ = nullptr;
      return Fail(sip_error::kRegisterRequest);
    }
    linphone_core_set_default_account(core_, acc);
    return Ok();
  }

  LinphoneCallParams* CallParams(LinphoneCall* for_call, int line) {
    LinphoneCallParams* p = linphone_core_create_call_params(core_, for_call);
    linphone_call_params_enable_video(p, FALSE);
    if (line == 0) {
      // Line 1's calls always carry a record file; recording starts only on request.
      ResetRecording();
      call_record_file_ = state_dir_ + "/line0-call.wav";
      linphone_call_params_set_record_file(p, call_record_file_.c_str());
    }
    return p;
  }

  bool DoPlaceCall(int line, const std::string& target) {
    if (!core_) return Fail(sip_error::kNotOnline);
    if (line != 0 && line != 1) return Fail(sip_error::kInvalidLine);
    if (!lines_[line].open) return Fail(sip_error::kLineNotOpen);
    if (lines_[line].call && Alive(linphone_call_get_state(lines_[line].call)))
      return Fail(sip_error::kLineBusy);
    LinphoneAddress* to = linphone_factory_create_address(linphone_factory_get(), target.c_str());
    if (!to) return Fail(sip_error::kInvalidUri);
    if (lines_[line].call) {
      linphone_call_unref(lines_[line].call);
      lines_[line] = Line{true, lines_[line].port};
    }
    // The media port is taken when the call is created.
    linphone_core_set_audio_port(core_, lines_[line].port);
    LinphoneCallParams* p = CallParams(nullptr, line);
    placing_line_ = line;  // its first states arrive before the call returns
    LinphoneCall* c = linphone_core_invite_address_with_params(core_, to, p);
    placing_line_ = -1;
    linphone_call_params_unref(p);
    linphone_address_unref(to);
    if (lines_[0].port) linphone_core_set_audio_port(core_, lines_[0].port);
    if (!c) return Fail(sip_error::kConnectRequest);
    if (lines_[line].call != c) {
      if (lines_[line].call) linphone_call_unref(lines_[line].call);
      lines_[line].call = linphone_call_ref(c);
    }
    if (mic_muted_[line]) linphone_call_set_microphone_muted(c, TRUE);
    reconcile_ = true;
    return Ok();
  }

  bool DoAccept(int line, const std::string& call_id) {
    if (!core_) return Fail(sip_error::kNotOnline);
    if (line != 0 && line != 1) return Fail(sip_error::kInvalidLine);
    if (!lines_[line].open) return Fail(sip_error::kLineNotOpen);
    if (lines_[line].call && Alive(linphone_call_get_state(lines_[line].call)))
      return Fail(sip_error::kLineBusy);
    auto it = std::find_if(incoming_.begin(), incoming_.end(),
                           [&](const Incoming& in) { return in.call_id == call_id; });
    if (it == incoming_.end() || !Alive(linphone_call_get_state(it->call)))
      return Fail(sip_error::kInvalidCallId);
    LinphoneCall* c = it->call;  // keeps the reference
    incoming_.erase(it);
    if (lines_[line].call) linphone_call_unref(lines_[line].call);
    lines_[line] = Line{true, lines_[line].port};
    lines_[line].call = c;
    lines_[line].progress = true;
    Queue([line](SipUserAgentEvents& e) { e.OnConnecting(line); });
    LinphoneCallParams* p = CallParams(c, line);
    const int rc = linphone_call_accept_with_params(c, p);
    linphone_call_params_unref(p);
    Queue([call_id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStop(call_id); });
    if (rc != 0) return Fail(sip_error::kConnectRequest);
    if (mic_muted_[line]) linphone_call_set_microphone_muted(c, TRUE);
    reconcile_ = true;
    return Ok();
  }

  bool DoHold(int line) {
    LinphoneCall* c = LiveCall(line);
    if (!c) return false;
    lines_[line].user_held = true;
    if (linphone_call_get_conference(c)) {
      if (!Registered()) return Fail(sip_error::kNotInVoiceSession);  // library crash guard
      linphone_conference_remove_participant_3(linphone_call_get_conference(c), c);
    } else {
      const auto s = linphone_call_get_state(c);
      if (s != LinphoneCallPaused && s != LinphoneCallPausing) linphone_call_pause(c);
    }
    reconcile_ = true;
    return Ok();
  }

  // Keeps the component's contract on top of the library's habits: a line is on hold only
  // when operation 10 put it there (the library pauses the other call when one is placed or
  // resumed), and every connected line not on hold is in one mix with the local user.
  void Reconcile() {
    reconcile_ = false;
    std::vector<LinphoneCall*> active;
    for (auto& l : lines_) {
      if (!l.call || !l.connected) continue;
      const auto s = linphone_call_get_state(l.call);
      if (!Alive(s)) continue;
      if (!Settled(s)) {
        reconcile_ = true;  // try again once the re-INVITE is through
        return;
      }
      if (!l.user_held) {
        active.push_back(l.call);
      } else if (s == LinphoneCallStreamsRunning && !linphone_call_get_conference(l.call)) {
        linphone_call_pause(l.call);  // held before it was answered
        reconcile_ = true;
        return;
      }
    }
    if (active.size() >= 2) {
      // No mix without a registration: the library crashes taking members out of it then.
      // Leave the calls as the library put them (one of them paused).
      if (!Registered()) return;
      if (conference_ && conference_ != linphone_core_get_conference(core_)) {
        linphone_conference_unref(conference_);  // the library ended it
        conference_ = nullptr;
      }
      if (!conference_) {
        LinphoneConferenceParams* p = linphone_core_create_conference_params(core_);
        linphone_conference_params_enable_video(p, FALSE);
        linphone_conference_params_enable_local_participant(p, TRUE);
        conference_ = linphone_core_create_conference_with_params(core_, p);
        linphone_conference_params_unref(p);
        if (conference_) linphone_conference_ref(conference_);
      }
      if (!conference_) return;
      for (LinphoneCall* c : active)
        if (!linphone_call_get_conference(c)) linphone_conference_add_participant(conference_, c);
      return;
    }
    for (LinphoneCall* c : active) {
      if (linphone_call_get_conference(c)) continue;
      const auto s = linphone_call_get_state(c);
      if (s == LinphoneCallPaused) linphone_call_resume(c);
    }
  }

  // --- recording ---
  //
  // Line 1's recording is a list of finished WAV segments: the call's own recorder while the
  // call stands alone, the conference's while it is in the mix (the call's recorder would
  // hold only its far end there). Saving joins them.

  enum class Recorder { kNone, kCall, kConference };

  std::string NextSegment() {
    return state_dir_ + "/line0-segment-" + std::to_string(++segment_seq_) + ".wav";
  }

  void ResetRecording() {
    StopRecorder();
    std::error_code ec;
    for (const auto& f : segments_) std::filesystem::remove(f, ec);
    segments_.clear();
    want_recording_ = false;
  }

  // The call's recorder writes one fixed file; a finished one is moved aside so that a
  // restart begins a new file.
  void TakeCallFile() {
    std::error_code ec;
    if (call_record_file_.empty() || !std::filesystem::exists(call_record_file_, ec)) return;
    const std::string seg = NextSegment();
    std::filesystem::rename(call_record_file_, seg, ec);
    if (!ec) segments_.push_back(seg);
  }

  void StopRecorder() {
    if (recorder_ == Recorder::kCall) {
      LinphoneCall* c = lines_[0].call;
      if (c && Alive(linphone_call_get_state(c))) linphone_call_stop_recording(c);
      TakeCallFile();
    } else if (recorder_ == Recorder::kConference) {
      if (conference_ && core_ && linphone_core_get_conference(core_) == conference_)
        linphone_conference_stop_recording(conference_);
      segments_.push_back(conference_file_);
    }
    recorder_ = Recorder::kNone;
  }

  // Runs the recorder that fits line 1's state, switching when the call joins or leaves
  // the mix or ends.
  void SyncRecorder() {
    Recorder want = Recorder::kNone;
    LinphoneCall* c = lines_[0].call;
    if (want_recording_ && c && lines_[0].connected && Alive(linphone_call_get_state(c))) {
      const bool in_mix = conference_ && linphone_call_get_conference(c) == conference_ &&
                          linphone_core_get_conference(core_) == conference_;
      want = in_mix ? Recorder::kConference : Recorder::kCall;
    }
    if (want == recorder_) return;
    StopRecorder();
    if (want == Recorder::kCall) {
      linphone_call_start_recording(c);
      recorder_ = Recorder::kCall;
    } else if (want == Recorder::kConference) {
      conference_file_ = NextSegment();
      if (linphone_conference_start_recording(conference_, conference_file_.c_str()) == 0)
        recorder_ = Recorder::kConference;
    }
  }

  bool DoRecordStart(int line) {
    if (!core_) return Fail(sip_error::kNotOnline);
    if (line != 0) return Fail(sip_error::kInvalidLine);
    LinphoneCall* c = lines_[0].call;
    if (!c || !Alive(linphone_call_get_state(c))) return Fail(sip_error::kNotInVoiceSession);
    want_recording_ = true;
    SyncRecorder();
    return Ok();
  }

  bool DoRecordSave(int line, const std::string& path) {
    if (line != 0) return Fail(sip_error::kInvalidLine);
    StopRecorder();
    want_recording_ = false;
    TakeCallFile();  // a call that ended while recording left its file behind
    if (segments_.empty()) return Fail(sip_error::kRecordingInit);
    if (!wav::Concatenate(segments_, path, 8000)) return Fail(sip_error::kWriteWave);
    return Ok();
  }

  // --- library callbacks (queue events only) ---

  static Agent* FromCore(LinphoneCore* lc) {
    return static_cast<Agent*>(linphone_core_cbs_get_user_data(linphone_core_get_current_callbacks(lc)));
  }

  // A NOTIFY from the network (a voicemail server's message summary, say): its body.
  static void NotifyCb(LinphoneCore* lc, LinphoneEvent*, const char*, const LinphoneContent* body) {
    Agent* self = FromCore(lc);
    if (!self) return;
    const char* text = body ? linphone_content_get_utf8_text(body) : nullptr;
    std::string msg = text ? text : "";
    self->Queue([msg = std::move(msg)](SipUserAgentEvents& e) { e.OnMsgNOTIFY(msg); });
  }

  static void CallStateCb(LinphoneCore* lc, LinphoneCall* call, LinphoneCallState state,
                          const char*) {
    if (Agent* self = FromCore(lc)) self->OnCallState(call, state);
  }

  static void RegistrationCb(LinphoneAccount* account, LinphoneRegistrationState state,
                             const char*) {
    auto* self = static_cast<Agent*>(
        linphone_account_cbs_get_user_data(linphone_account_get_current_callbacks(account)));
    if (self) self->OnRegistration(state);
  }

  // Refreshes of a standing registration raise nothing: they would overwrite the phone's
  // state in the middle of a call. A failed refresh is reported.
  void OnRegistration(LinphoneRegistrationState state) {
    switch (state) {
      case LinphoneRegistrationProgress:
        if (!unregistering_ && !registered_reported_)
          Queue([](SipUserAgentEvents& e) { e.OnTryingToRegister(); });
        break;
      case LinphoneRegistrationOk:
        if (!registered_reported_) Queue([](SipUserAgentEvents& e) { e.OnSuccessToRegister(); });
        registered_reported_ = true;
        break;
      case LinphoneRegistrationFailed:
        registered_reported_ = false;
        if (!unregistering_) Queue([](SipUserAgentEvents& e) { e.OnFailToRegister(); });
        break;
      default:
        break;
    }
  }

  void OnCallState(LinphoneCall* call, LinphoneCallState state) {
    int line = LineOf(call);
    if (line < 0 && placing_line_ >= 0 && linphone_call_get_dir(call) == LinphoneCallOutgoing) {
      line = placing_line_;
      lines_[line].call = linphone_call_ref(call);
    }
    if (line < 0) return OnIncomingState(call, state);
    Line& l = lines_[line];
    switch (state) {
      case LinphoneCallOutgoingProgress:
        Queue([line](SipUserAgentEvents& e) { e.OnConnecting(line); });
        break;
      case LinphoneCallOutgoingRinging:
      case LinphoneCallOutgoingEarlyMedia:
        l.progress = true;
        break;
      case LinphoneCallConnected: {
        l.progress = l.connected = true;
        const std::string ip = Str(linphone_address_get_domain(linphone_call_get_remote_address(call)));
        Queue([line, ip](SipUserAgentEvents& e) { e.OnSuccessToConnect(line, ip, 0); });
        reconcile_ = true;
        break;
      }
      case LinphoneCallStreamsRunning:
      case LinphoneCallPaused:
        reconcile_ = true;
        break;
      case LinphoneCallError:
      case LinphoneCallEnd: {
        mic_muted_[line] = false;
        if (l.reported_end) break;
        l.reported_end = true;
        const LinphoneErrorInfo* ei = linphone_call_get_error_info(call);
        const int code = ei ? linphone_error_info_get_protocol_code(ei) : 0;
        const std::string phrase = ei ? Str(linphone_error_info_get_phrase(ei)) : "";
        if (l.connected) {
          Queue([line](SipUserAgentEvents& e) { e.OnDisconnectCall(line); });
        } else if (code >= 300 && !(code == 408 && !l.progress)) {
          Queue([line, code, phrase](SipUserAgentEvents& e) {
            e.OnGeneralFailureResponse(line, code, phrase);
          });
        } else if (state == LinphoneCallError || code == 408) {
          Queue([line](SipUserAgentEvents& e) { e.OnFailToConnect(line); });
        } else {
          Queue([line](SipUserAgentEvents& e) { e.OnDisconnectCall(line); });
        }
        reconcile_ = true;
        break;
      }
      case LinphoneCallReleased:
        linphone_call_unref(l.call);
        l = Line{l.open, l.port};
        reconcile_ = true;
        break;
      default:
        break;
    }
  }

  void DeclineIfLine1Busy(const std::string& call_id) {
    auto it = std::find_if(incoming_.begin(), incoming_.end(),
                           [&](const Incoming& in) { return in.call_id == call_id; });
    const LinphoneCall* busy = lines_[0].call;
    if (it == incoming_.end() || !busy || !Alive(linphone_call_get_state(busy))) return;
    if (linphone_call_get_state(it->call) == LinphoneCallIncomingReceived)
      linphone_call_decline(it->call, LinphoneReasonBusy);
  }

  void OnIncomingState(LinphoneCall* call, LinphoneCallState state) {
    auto it = std::find_if(incoming_.begin(), incoming_.end(),
                           [&](const Incoming& in) { return in.call == call; });
    if (state == LinphoneCallIncomingReceived && it == incoming_.end()) {
      const std::string id = Str(linphone_call_log_get_call_id(linphone_call_get_call_log(call)));
      const LinphoneAddress* from = linphone_call_get_remote_address(call);
      const std::string display = Str(linphone_address_get_display_name(from));
      const std::string user = Str(linphone_address_get_username(from));
      const std::string from_uri = UriOnly(from);
      const std::string to_uri = UriOnly(linphone_call_get_to_address(call));
      incoming_.push_back(Incoming{linphone_call_ref(call), id});
      Queue([id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStart(id); });
      Queue([id, display, user, from_uri, to_uri](SipUserAgentEvents& e) {
        e.OnIncomingCall(id, display, user, from_uri, to_uri);
      });
      // Runs once the handlers have had the call: one left waiting because line 1 is in
      // another call could never be answered, so the caller hears busy at once.
      Queue([this, id](SipUserAgentEvents&) { DeclineIfLine1Busy(id); });
      return;
    }
    if (it == incoming_.end()) return;
    if (state == LinphoneCallEnd || state == LinphoneCallError || state == LinphoneCallReleased) {
      const std::string id = it->call_id;
      linphone_call_unref(it->call);
      incoming_.erase(it);
      Queue([id](SipUserAgentEvents& e) { e.OnIncomingCallRingingStop(id); });
    }
  }

  bool force_virtual_ = false;
  std::atomic<bool> using_virtual_{false};
  std::string state_dir_;
  bool own_state_dir_ = false;

  std::thread thread_;
  std::atomic<std::thread::id> owner_id_{};
  std::mutex task_mutex_;
  std::condition_variable task_cv_, done_cv_;
  std::deque<Task*> tasks_;
  bool stop_ = false;

  std::mutex sink_mutex_;
  SipUserAgentEvents* sink_ = nullptr;

  // Owner thread only.
  LinphoneCore* core_ = nullptr;
  LinphoneAccount* account_ = nullptr;
  LinphoneConference* conference_ = nullptr;
  std::deque<EventFn> events_;
  bool delivering_ = false;
  bool reconcile_ = false;
  bool unregistering_ = false;
  bool registered_reported_ = false;
  int placing_line_ = -1;
  int last_error_ = sip_error::kNone;
  Line lines_[2];
  std::vector<Incoming> incoming_;
  bool mic_muted_[2] = {false, false};
  std::string local_ip_, own_address_, outbound_, proxy_, login_, password_, proxy_hint_;
  std::string user_agent_;
  std::string call_record_file_, conference_file_;
  std::vector<std::string> segments_;
  int segment_seq_ = 0;
  bool want_recording_ = false;
  Recorder recorder_ = Recorder::kNone;
};

}  // namespace

std::unique_ptr<LinphoneSipUserAgent> MakeLinphoneSipUserAgent(const LinphoneAgentOptions& options) {
  return std::make_unique<Agent>(options);
}

}  // namespace velnaro
