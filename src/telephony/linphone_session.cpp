#include "telephony/linphone_session.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/support_log.h"
#include "telephony/sip_addresses.h"

// The library exports these without a header; they lead to the SIP stack and its loop.
extern "C" {
void* linphone_core_get_sal(const LinphoneCore* lc);
belle_sip_stack_t* sal_get_stack_impl(void* sal);
// Listens again on the configuration's bind address and has the accounts register anew.
int _linphone_core_apply_transports(LinphoneCore* lc);
}

namespace velnaro {
namespace {

// The loop that holds the core's SIP sockets and timers (retransmissions, registration
// refresh, keep-alives, the library's deferred work); another thread can wake it.
belle_sip_main_loop_t* MainLoopOf(LinphoneCore* core) {
  void* sal = core ? linphone_core_get_sal(core) : nullptr;
  belle_sip_stack_t* stack = sal ? sal_get_stack_impl(sal) : nullptr;
  return stack ? belle_sip_stack_get_main_loop(stack) : nullptr;
}

int EndWait(void* loop, unsigned int) {
  return belle_sip_main_loop_quit(static_cast<belle_sip_main_loop_t*>(loop));
}

}  // namespace

const char* TransportName(SipSignalling::Transport t) {
  switch (t) {
    case SipSignalling::Transport::kTcp: return "tcp";
    case SipSignalling::Transport::kTls: return "tls";
    default: return "udp";
  }
}

namespace {

bool PortFree(const std::string& ip, int port, int type) {
  int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

bool UdpPortFree(const std::string& ip, int port) { return PortFree(ip, port, SOCK_DGRAM); }
bool TcpPortFree(const std::string& ip, int port) { return PortFree(ip, port, SOCK_STREAM); }

std::string CertificateRefusal(std::string_view line) {
  // The TLS layer's note on each certificate of the server's chain, with the flags its check
  // raised; all it says of a failed handshake besides.
  static constexpr std::string_view kNote = "Found certificate depth=[";
  if (line.substr(0, kNote.size()) != kNote) return {};
  const size_t open = line.find("flags=[");
  const size_t close = open == std::string_view::npos ? open : line.find(']', open);
  if (close == std::string_view::npos) return {};
  const std::string_view flags = line.substr(open + 7, close - open - 7);
  std::vector<std::string> reasons;
  auto has = [&](std::string_view f) { return flags.find(f) != std::string_view::npos; };
  if (has("not-trusted") || has("missing") || has("other")) reasons.push_back("untrusted");
  if (has("expired") || has("future")) reasons.push_back("expired");
  if (has("CN-mismatch")) reasons.push_back("wrong name");
  if (reasons.empty() && !flags.empty()) reasons.push_back(std::string(flags));
  std::string out;
  for (const auto& r : reasons) out += (out.empty() ? "" : ", ") + r;
  return out;
}

void ForwardLibraryWarnings() {
  static std::once_flag once;
  std::call_once(once, [] {
    LinphoneLoggingService* service = linphone_logging_service_get();
    const LoggingServiceCbsPtr cbs(
        linphone_factory_create_logging_service_cbs(linphone_factory_get()));
    linphone_logging_service_cbs_set_log_message_written(
        cbs.get(),
        [](LinphoneLoggingService*, const char* domain, LinphoneLogLevel level, const char* text) {
          if (level == LinphoneLogLevelMessage) {
            // Why a server's certificate was refused is told at this level alone.
            const std::string reason = CertificateRefusal(Str(text));
            if (!reason.empty())
              SupportLog(LogLevel::kError, "sip",
                         "TLS: the SIP server's certificate refused: " + reason);
            return;
          }
          const std::string from = domain && *domain ? Str(domain) + ": " : "";
          SupportLog(level == LinphoneLogLevelWarning ? LogLevel::kWarning : LogLevel::kError, "sip",
                     from + Str(text));
        });
    linphone_logging_service_add_callbacks(service, cbs.get());
    linphone_logging_service_set_log_level_mask(
        service, LinphoneLogLevelMessage | LinphoneLogLevelWarning | LinphoneLogLevelError |
                     LinphoneLogLevelFatal);
  });
}

LinphoneSession::LinphoneSession(SipOwnerThread& owner, LinphoneSound& sound,
                                 std::string plugins_dir, CallStateFn on_call_state)
    : owner_(owner),
      sound_(sound),
      plugins_dir_(std::move(plugins_dir)),
      on_call_state_(std::move(on_call_state)) {}

bool LinphoneSession::AcceptsCallVia(const std::string& via) const {
  VELNARO_OWNER_ONLY(owner_);
  if (!calls_only_from_server_) return true;
  const std::vector<std::string> senders = ViaSenderAddresses(via);
  return !senders.empty() && std::all_of(senders.begin(), senders.end(), [&](const auto& a) {
    return std::find(server_addresses_.begin(), server_addresses_.end(), a) !=
           server_addresses_.end();
  });
}

bool LinphoneSession::Registered() const {
  VELNARO_OWNER_ONLY(owner_);
  return account_ && linphone_account_get_state(account_.get()) == LinphoneRegistrationOk;
}

bool LinphoneSession::HasContact() const {
  VELNARO_OWNER_ONLY(owner_);
  return account_ && linphone_account_get_contact_address(account_.get());
}

int LinphoneSession::Initialize(const std::string& local_ip, int sip_port,
                                const std::string& own_address, const std::string& outbound_proxy,
                                const std::string& sip_proxy, const std::string& login,
                                const std::string& password, int audio_port) {
  VELNARO_OWNER_ONLY(owner_);
  if (sip_port <= 0 || sip_port > 65535) return sip_error::kInvalidValue;
  local_ip_ = local_ip.empty() ? RouteAddressTo(sip_proxy) : local_ip;
  // The library shares a busy port (SO_REUSEADDR) and reports nothing: check first.
  const auto transport = signalling_.transport;
  const bool udp = transport == SipSignalling::Transport::kUdp;
  if (!(udp ? UdpPortFree(local_ip_, sip_port) : TcpPortFree(local_ip_, sip_port)))
    return sip_error::kPortInUse;
  LinphoneFactory* f = linphone_factory_get();
  if (!AddressPtr(linphone_factory_create_address(f, own_address.c_str())))
    return sip_error::kInvalidUri;
  own_address_ = own_address;
  outbound_ = outbound_proxy;
  proxy_ = sip_proxy;
  server_addresses_.clear();
  if (calls_only_from_server_) {
    for (const std::string& p : {sip_proxy, outbound_proxy})
      for (std::string& a : p.empty() ? std::vector<std::string>{} : HostAddresses(p))
        server_addresses_.push_back(std::move(a));
  }
  login_ = login;
  password_ = password;

  // Addresses and ports go into the configuration before the core exists, or it binds
  // 5060 for a moment and advertises the default-route address.
  std::string conf;
  // One transport only, so nothing goes out over another; over TCP and TLS a CRLF every
  // 30 s keeps the connection (and the NAT binding in front of it) open, and a closed
  // connection registers again after 5 s.
  auto port_if = [&](SipSignalling::Transport t) {
    return std::to_string(transport == t ? sip_port : 0);
  };
  conf += "[sip]\nbind_address=" + local_ip_ + "\nsip_port=" +
          port_if(SipSignalling::Transport::kUdp) +
          "\nsip_tcp_port=" + port_if(SipSignalling::Transport::kTcp) +
          "\nsip_tls_port=" + port_if(SipSignalling::Transport::kTls) +
          "\nuse_rfc2833=1\nuse_info=0\n"
          "ipv6=0\ninc_timeout=60\nguess_hostname=0\n"
          "tcp_tls_keepalive=" + std::string(udp ? "0" : "1") +
          "\nrefresher_retry_after=5000\n"
          // A home router forgets a UDP mapping after some 30 s: keep the flow busy, and
          // have the server answer where the packets came from.
          "keepalive_period=" + std::to_string(kKeepAlive.count()) + "\nuse_rport=1\n"
          // The network is watched by the agent, which knows which address is the phone's:
          // the library's own watch judges by the default route and, without one (a VPN
          // alone, say), drops a standing registration a few seconds after it was made.
          "auto_net_state_mon=0\n";
  conf += "[rtp]\nbind_address=" + local_ip_ + "\naudio_rtp_port=" + std::to_string(audio_port) +
          "\n";
  // No chat, call history or key database: "null" opens none. Without one the library
  // would keep every call's history in memory instead, for as long as the program runs.
  conf += "[storage]\nuri=null\ncall_logs_db_uri=null\nzrtp_secrets_db_uri=null\n";
  conf += "[misc]\nenable_basic_to_client_group_chat_room_migration=0\n"
          "max_calls=4\nconference_server_enabled=0\nhistory_max_size=0\n";
  conf += "[video]\ncapture=0\ndisplay=0\nautomatically_initiate=0\nautomatically_accept=0\n";
  conf += "[sound]\nagc=0\nnoisegate=0\n";
  conf += "[net]\nnat_policy_ref=\n";
  if (const int e = sound_.BeforeCore()) return e;
  linphone_factory_set_msplugins_dir(f, plugins_dir_.c_str());
  CorePtr made(linphone_factory_create_core_with_config_3(
      f, ConfigPtr(linphone_factory_create_config_from_string(f, conf.c_str())).get(), nullptr));
  if (!made) return sip_error::kTaskWindow;

  {
    const CoreCbsPtr cbs(linphone_factory_create_core_cbs(f));
    linphone_core_cbs_set_call_state_changed(cbs.get(), &LinphoneSession::CallStateCb);
    linphone_core_cbs_set_notify_received(cbs.get(), &LinphoneSession::NotifyCb);
    linphone_core_cbs_set_call_log_updated(cbs.get(), &LinphoneSession::CallLogCb);
    linphone_core_cbs_set_user_data(cbs.get(), this);
    linphone_core_add_callbacks(made.get(), cbs.get());
  }

  core_ = std::move(made);
  SetupSecurity();
  if (linphone_core_start(core()) != 0) {
    core_.reset();
    return sip_error::kTaskWindow;
  }
  SetupCodecs();
  // The echo canceller would hold the operator's voice some 15 dB down whenever the far
  // end speaks: in what the far end hears, in line 1's recording and in the conference.
  linphone_core_enable_echo_cancellation(core(), FALSE);
  linphone_core_enable_keep_alive(core(), TRUE);
  linphone_core_set_network_reachable(core(), TRUE);  // its own watch is off, see above
  // No GRUU: a registrar's GRUU names the registrar's host without its port, and a proxy
  // that does not resolve GRUUs sends in-dialog requests there. The Contact stays our own.
  linphone_core_remove_supported_tag(core(), "gruu");
  if (const int e = sound_.Setup(core())) return e;
  linphone_core_set_primary_contact(core(), own_address_.c_str());
  if (!user_agent_.empty()) ApplyUserAgent();
  int bound = 0;
  if (const TransportsPtr t{linphone_core_get_transports_used(core())})
    bound = udp ? linphone_transports_get_udp_port(t.get())
                : transport == SipSignalling::Transport::kTcp ? linphone_transports_get_tcp_port(t.get())
                                                               : linphone_transports_get_tls_port(t.get());
  if (bound <= 0) {
    Stop(false);
    return sip_error::kPortInUse;
  }
  return sip_error::kNone;
}

// The server's certificate is checked against the system's CAs and the private one, and
// its name against the server's host; the media is encrypted as the fleet chose.
void LinphoneSession::SetupSecurity() {
  VELNARO_OWNER_ONLY(owner_);
  std::string roots = ReadFile("/etc/ssl/certs/ca-certificates.crt");
  if (!signalling_.ca_file.empty()) {
    const std::string own = ReadFile(signalling_.ca_file);
    if (own.empty())
      SupportLog(LogLevel::kError, "sip",
                 "SipCACertificate " + signalling_.ca_file +
                     " cannot be read: only the system's CAs are trusted");
    roots += "\n" + own;
  }
  linphone_core_set_root_ca_data(core(), roots.c_str());
  linphone_core_verify_server_certificates(core(), TRUE);
  linphone_core_verify_server_cn(core(), TRUE);
  const bool srtp = signalling_.media != SipSignalling::Media::kNone;
  linphone_core_set_media_encryption(core(), srtp ? LinphoneMediaEncryptionSRTP
                                                  : LinphoneMediaEncryptionNone);
  linphone_core_set_media_encryption_mandatory(
      core(), signalling_.media == SipSignalling::Media::kSrtpRequired);
}

// Only the named codecs, in their order; DTMF events stay whatever the list.
void LinphoneSession::SetupCodecs() {
  VELNARO_OWNER_ONLY(owner_);
  const auto& wanted = signalling_.codecs;
  if (wanted.empty()) return;
  bctbx_list_t* all = linphone_core_get_audio_payload_types(core());
  std::vector<LinphonePayloadType*> order;
  std::vector<bool> found(wanted.size(), false);
  for (size_t i = 0; i < wanted.size(); ++i)
    for (bctbx_list_t* it = all; it; it = bctbx_list_next(it)) {
      auto* pt = static_cast<LinphonePayloadType*>(bctbx_list_get_data(it));
      if (Lower(Str(linphone_payload_type_get_mime_type(pt))) == wanted[i]) {
        order.push_back(pt);
        found[i] = true;
      }
    }
  for (size_t i = 0; i < wanted.size(); ++i)
    if (!found[i])
      SupportLog(LogLevel::kWarning, "sip",
                 "AudioCodecs: the phone has no codec " + wanted[i] + "; it is left out");
  for (bctbx_list_t* it = all; it; it = bctbx_list_next(it)) {
    auto* pt = static_cast<LinphonePayloadType*>(bctbx_list_get_data(it));
    const bool events = Str(linphone_payload_type_get_mime_type(pt)) == "telephone-event";
    const bool listed = std::find(order.begin(), order.end(), pt) != order.end();
    linphone_payload_type_enable(pt, listed || events);
    if (!listed) order.push_back(pt);
  }
  bctbx_list_t* list = nullptr;
  for (LinphonePayloadType* pt : order) list = bctbx_list_append(list, pt);
  linphone_core_set_audio_payload_types(core(), list);
  bctbx_list_free(list);
  bctbx_list_free(all);
}

std::string LinphoneSession::LocalIp() const {
  VELNARO_OWNER_ONLY(owner_);
  return RouteAddressTo(proxy_hint_.empty() ? proxy_ : proxy_hint_);
}

void LinphoneSession::SetProxyHint(const std::string& sip_proxy) {
  VELNARO_OWNER_ONLY(owner_);
  proxy_hint_ = sip_proxy;
}

void LinphoneSession::SetUserAgentText(const std::string& text) {
  VELNARO_OWNER_ONLY(owner_);
  user_agent_ = text;
  if (core_) ApplyUserAgent();
}

// The text goes out as given: without a version the library adds no "/".
void LinphoneSession::ApplyUserAgent() {
  VELNARO_OWNER_ONLY(owner_);
  linphone_core_set_user_agent(core(), user_agent_.c_str(), nullptr);
}

void LinphoneSession::DropAccount() {
  VELNARO_OWNER_ONLY(owner_);
  if (account_) {
    linphone_core_clear_accounts(core());
    account_.reset();
  }
  linphone_core_clear_all_auth_info(core());
  registered_reported_ = false;
  move_ = Move::kNone;
  retry_delay_ = kFirstRetry;
  next_refresh_ = {};
}

std::string LinphoneSession::ServerAddress(std::string host) const {
  if (host.rfind("sip:", 0) != 0) host = "sip:" + host;
  if (host.find("transport=") != std::string::npos) return host;
  // A port in the text (a test's, an IPv6 address aside) wins over the setting.
  const size_t colon = host.rfind(':');
  const bool has_port = colon > 3 && host.find(']', colon) == std::string::npos &&
                        host.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  if (!has_port && signalling_.server_port > 0) host += ":" + std::to_string(signalling_.server_port);
  return host + ";transport=" + TransportName(signalling_.transport);
}

int LinphoneSession::Register(int expiry) {
  VELNARO_OWNER_ONLY(owner_);
  if (!core_) return sip_error::kNotOnline;
  if (expiry <= 0) return sip_error::kInvalidValue;
  LinphoneFactory* f = linphone_factory_get();
  DropAccount();
  const AddressPtr identity(linphone_factory_create_address(f, own_address_.c_str()));
  if (!identity) return sip_error::kRegisterRequest;
  const std::string server = ServerAddress(proxy_);
  const AccountParamsPtr p(linphone_core_create_account_params(core()));
  linphone_account_params_set_identity_address(p.get(), identity.get());
  if (linphone_account_params_set_server_addr(p.get(), server.c_str()) != 0)
    return sip_error::kRegisterRequest;
  // Over TCP and TLS calls too go through the server, or the library would send them to
  // the target's host over UDP.
  const bool udp = signalling_.transport == SipSignalling::Transport::kUdp;
  if (!outbound_.empty() || !udp) {
    std::string route = outbound_.empty() ? server : ServerAddress(outbound_);
    if (route.find(";lr") == std::string::npos) route += ";lr";
    if (const AddressPtr r{linphone_factory_create_address(f, route.c_str())}) {
      bctbx_list_t* routes = bctbx_list_append(nullptr, r.get());
      linphone_account_params_set_routes_addresses(p.get(), routes);
      bctbx_list_free(routes);
    }
  }
  linphone_account_params_set_expires(p.get(), expiry);
  linphone_account_params_enable_register(p.get(), TRUE);
  {
    const AuthInfoPtr auth(linphone_factory_create_auth_info_2(
        f, login_.c_str(), nullptr, password_.c_str(), nullptr, nullptr, nullptr, nullptr));
    linphone_core_add_auth_info(core(), auth.get());
  }

  AccountPtr acc(linphone_core_create_account(core(), p.get()));
  if (!acc) return sip_error::kRegisterRequest;
  {
    const AccountCbsPtr cbs(linphone_factory_create_account_cbs(f));
    linphone_account_cbs_set_registration_state_changed(cbs.get(),
                                                        &LinphoneSession::RegistrationCb);
    linphone_account_cbs_set_user_data(cbs.get(), this);
    linphone_account_add_callbacks(acc.get(), cbs.get());
  }
  account_ = std::move(acc);
  if (linphone_core_add_account(core(), account_.get()) != 0) {
    account_.reset();
    return sip_error::kRegisterRequest;
  }
  linphone_core_set_default_account(core(), account_.get());
  return sip_error::kNone;
}

bool LinphoneSession::Unregister(bool events, bool send) {
  VELNARO_OWNER_ONLY(owner_);
  const bool had_account = account_ != nullptr;
  if (events && had_account) owner_.Queue([](SipUserAgentEvents& e) { e.OnTryingToUnRegister(); });
  if (send && account_ && Registered()) {
    unregistering_ = true;
    {
      const AccountParamsPtr p(
          linphone_account_params_clone(linphone_account_get_params(account_.get())));
      linphone_account_params_enable_register(p.get(), FALSE);
      linphone_account_set_params(account_.get(), p.get());
    }
    IterateUntil([&] {
      const auto s = linphone_account_get_state(account_.get());
      return s != LinphoneRegistrationOk && s != LinphoneRegistrationProgress;
    }, 2000);
    unregistering_ = false;
  }
  DropAccount();
  return had_account;
}

void LinphoneSession::Stop(bool events) {
  VELNARO_OWNER_ONLY(owner_);
  if (!core_) return;
  sound_.Forget();
  linphone_core_stop(core());
  core_.reset();
  if (events) owner_.Queue([](SipUserAgentEvents& e) { e.OnSuccessToUnRegister(); });
}

bool LinphoneSession::MaySleep() const {
  VELNARO_OWNER_ONLY(owner_);
  return !core_ || (MainLoopOf(core()) && linphone_core_get_calls_nb(core()) == 0);
}

void LinphoneSession::WaitIdle(int wake_fd, int ms) {
  VELNARO_OWNER_ONLY(owner_);
  belle_sip_main_loop_t* loop = MainLoopOf(core());
  if (!loop) {
    pollfd p{wake_fd, POLLIN, 0};
    ::poll(&p, 1, ms);
    return;
  }
  // One source ends the loop: the wake-up readable or the time up, whichever comes first.
  belle_sip_source_t* wake =
      belle_sip_socket_source_new(&EndWait, loop, wake_fd, BELLE_SIP_EVENT_READ, ms);
  belle_sip_main_loop_add_source(loop, wake);
  belle_sip_main_loop_run(loop);
  belle_sip_main_loop_remove_source(loop, wake);
  belle_sip_object_unref(wake);
}

void LinphoneSession::KeepRegistered() {
  VELNARO_OWNER_ONLY(owner_);
  if (std::chrono::steady_clock::now() >= next_refresh_) RefreshNow();
}

bool LinphoneSession::RefreshNow() {
  VELNARO_OWNER_ONLY(owner_);
  if (!account_ || unregistering_) return false;
  const LinphoneRegistrationState s = linphone_account_get_state(account_.get());
  if (s != LinphoneRegistrationOk && s != LinphoneRegistrationFailed) return false;
  // Its outcome sets the next one; without any, the probe's pace goes on.
  next_refresh_ = std::chrono::steady_clock::now() + kProbeEvery;
  linphone_account_refresh_register(account_.get());
  return true;
}

bool LinphoneSession::MoveTo(const std::string& ip) {
  VELNARO_OWNER_ONLY(owner_);
  if (!account_ || unregistering_ || !registered_reported_) return false;
  LinphoneConfig* config = linphone_core_get_config(core());
  // Both are read again: the SIP one when the transports are applied, the media one when a
  // call makes its next offer.
  linphone_config_set_string(config, "sip", "bind_address", ip.c_str());
  linphone_config_set_string(config, "rtp", "bind_address", ip.c_str());
  local_ip_ = ip;
  // Toggling the reachability alone would keep the sockets bound to the old address.
  if (_linphone_core_apply_transports(core()) != 0) return false;
  move_ = Move::kRegistering;
  move_since_ = std::chrono::steady_clock::now();
  return true;
}

bool LinphoneSession::TakeMoved() {
  VELNARO_OWNER_ONLY(owner_);
  if (move_ != Move::kDone) return false;
  move_ = Move::kNone;
  return true;
}

bool LinphoneSession::TakeMoveOverdue(std::chrono::seconds limit) {
  VELNARO_OWNER_ONLY(owner_);
  if (move_ != Move::kRegistering || std::chrono::steady_clock::now() - move_since_ <= limit)
    return false;
  move_ = Move::kNone;
  return true;
}

// --- library callbacks (queue events only) ---

LinphoneSession* LinphoneSession::FromCore(LinphoneCore* lc) {
  return static_cast<LinphoneSession*>(
      linphone_core_cbs_get_user_data(linphone_core_get_current_callbacks(lc)));
}

void LinphoneSession::CallStateCb(LinphoneCore* lc, LinphoneCall* call, LinphoneCallState state,
                                  const char*) {
  if (LinphoneSession* self = FromCore(lc)) self->on_call_state_(call, state);
}

// A NOTIFY from the network (a voicemail server's message summary, say): its body.
void LinphoneSession::NotifyCb(LinphoneCore* lc, LinphoneEvent*, const char*,
                               const LinphoneContent* body) {
  LinphoneSession* self = FromCore(lc);
  if (!self) return;
  const char* text = body ? linphone_content_get_utf8_text(body) : nullptr;
  std::string msg = text ? text : "";
  self->owner_.Queue([msg = std::move(msg)](SipUserAgentEvents& e) { e.OnMsgNOTIFY(msg); });
}

// An incoming offer the library cannot take is refused before any call state is told:
// its log entry alone says so.
void LinphoneSession::CallLogCb(LinphoneCore* lc, LinphoneCallLog* log) {
  LinphoneSession* self = FromCore(lc);
  const LinphoneErrorInfo* ei = linphone_call_log_get_error_info(log);
  if (self && self->signalling_.media == SipSignalling::Media::kSrtpRequired &&
      linphone_call_log_get_dir(log) == LinphoneCallIncoming && ei &&
      linphone_error_info_get_protocol_code(ei) == 488)
    SupportLog(LogLevel::kError, "sip",
               "an incoming call was refused: it offers no SRTP and MediaEncryption is "
               "srtp-required");
}

void LinphoneSession::RegistrationCb(LinphoneAccount* account, LinphoneRegistrationState state,
                                     const char*) {
  auto* self = static_cast<LinphoneSession*>(
      linphone_account_cbs_get_user_data(linphone_account_get_current_callbacks(account)));
  // An account already dropped still reports its unregistration: not ours to tell.
  if (self && self->account_.get() == account) self->OnRegistration(state);
}

// Refreshes of a standing registration raise nothing: they would overwrite the phone's
// state in the middle of a call. A failed refresh is reported.
void LinphoneSession::OnRegistration(LinphoneRegistrationState state) {
  VELNARO_OWNER_ONLY(owner_);
  switch (state) {
    case LinphoneRegistrationProgress:
      if (!unregistering_ && !registered_reported_)
        owner_.Queue([](SipUserAgentEvents& e) { e.OnTryingToRegister(); });
      break;
    case LinphoneRegistrationOk:
      if (!registered_reported_)
        owner_.Queue([](SipUserAgentEvents& e) { e.OnSuccessToRegister(); });
      registered_reported_ = true;
      if (move_ == Move::kRegistering) move_ = Move::kDone;
      retry_delay_ = kFirstRetry;
      next_refresh_ = std::chrono::steady_clock::now() + kProbeEvery;
      break;
    case LinphoneRegistrationFailed:
      registered_reported_ = false;
      if (!unregistering_) owner_.Queue([](SipUserAgentEvents& e) { e.OnFailToRegister(); });
      next_refresh_ = std::chrono::steady_clock::now() + retry_delay_;
      retry_delay_ = std::min(retry_delay_ * 2, kLastRetry);
      break;
    default:
      break;
  }
}

}  // namespace velnaro
