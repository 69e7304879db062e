#pragma once
// The library's core and the account on it: creating and stopping the core, the sound
// devices, registration and its events. Owner thread only.

#include <linphone/core.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "telephony/linphone_handles.h"
#include "telephony/linphone_sound.h"
#include "telephony/sip_owner_thread.h"

namespace velnaro {

// A call that has not ended (its object may outlive the call).
inline bool CallAlive(const LinphoneCall* c) {
  if (!c) return false;
  const LinphoneCallState s = linphone_call_get_state(c);
  return s != LinphoneCallEnd && s != LinphoneCallError && s != LinphoneCallReleased;
}

inline std::string Str(const char* s) { return s ? s : ""; }

// How the core reaches the SIP server and protects the media: the fleet's settings.
struct SipSignalling {
  enum class Transport { kUdp, kTcp, kTls };
  enum class Media { kNone, kSrtp, kSrtpRequired };
  Transport transport = Transport::kUdp;
  int server_port = 0;    // 0: the transport's default, or the port in the proxy text
  std::string ca_file;    // PEM, trusted beside the system's CAs
  Media media = Media::kNone;
  std::vector<std::string> codecs;  // lower-case names in order; empty: the library's list
};

// The transport's name in a SIP address parameter.
const char* TransportName(SipSignalling::Transport t);

// True when a plain UDP socket can bind ip:port (no SO_REUSEADDR, unlike the library).
bool UdpPortFree(const std::string& ip, int port);
// The same for a listening TCP socket.
bool TcpPortFree(const std::string& ip, int port);

// Why the TLS layer's note on a server certificate refuses it ("untrusted", "expired",
// "wrong name"); empty for any other line and for a certificate that passed.
std::string CertificateRefusal(std::string_view line);

// From now on the library's warnings and errors, from whichever of its threads, go to the
// support log; its other messages go nowhere.
void ForwardLibraryWarnings();

class LinphoneSession {
 public:
  using CallStateFn = std::function<void(LinphoneCall*, LinphoneCallState)>;

  // `on_call_state` receives every call's state changes, inside the library's callback.
  // The media library loads its plugins from `plugins_dir` alone.
  LinphoneSession(SipOwnerThread& owner, LinphoneSound& sound, std::string plugins_dir,
                  CallStateFn on_call_state);

  // From the next Initialize on, AcceptsCallVia admits the SIP server's addresses alone.
  void LimitCallsToServer(bool limit) { calls_only_from_server_ = limit; }
  // From the next Initialize on.
  void SetSignalling(SipSignalling s) { signalling_ = std::move(s); }
  const SipSignalling& signalling() const { return signalling_; }

  LinphoneCore* core() const { return core_.get(); }
  bool Registered() const;
  // Whether calls get a contact address of their own: the account has one from a
  // registration (it keeps it when a refresh fails).
  bool HasContact() const;
  // The address the core binds to, once initialised.
  const std::string& local_ip() const { return local_ip_; }
  // Whether an incoming call whose INVITE has this top Via may ring.
  bool AcceptsCallVia(const std::string& via) const;

  // A new core bound to local_ip:sip_port, its first audio port `audio_port`. The caller
  // closes an earlier core first. Returns a sip_error code; without sound (14, 15) the core
  // is left as it is, for the sound to be checked again.
  int Initialize(const std::string& local_ip, int sip_port, const std::string& own_address,
                 const std::string& outbound_proxy, const std::string& sip_proxy,
                 const std::string& login, const std::string& password, int audio_port);
  // The local address the system would use to reach the proxy.
  std::string LocalIp() const;
  void SetProxyHint(const std::string& sip_proxy);
  void SetUserAgentText(const std::string& text);
  int Register(int expiry_seconds);

  // Closing, after the calls are gone: unregisters (raising "trying" when `events`;
  // nothing is sent unless `send`) and drops the account; true when there was one.
  bool Unregister(bool events, bool send = true);
  // Stops the core (raising "unregistered" when `events`).
  void Stop(bool events);

  // Whether the owner thread may sleep in WaitIdle between iterations: a core whose own
  // loop can be waited on, and no call on it (its media needs the 20 ms cadence).
  bool MaySleep() const;
  // Serves the library's sockets and timers until wake_fd is readable, an event is queued
  // or ms pass.
  void WaitIdle(int wake_fd, int ms);

  // The library's UDP keep-alives, at most this far apart (it sends them only where it
  // sees a NAT on the way).
  static constexpr std::chrono::milliseconds kKeepAlive{25000};
  // A standing registration is refreshed this often: it keeps a router's UDP mapping (some
  // last 30 s) alive on the registration's own flow, with an answer, so that a registration
  // the server lost, or a flow gone dead, shows long before its 3600 s run out. A failed one
  // is tried again after kFirstRetry, doubling up to kLastRetry.
  static constexpr std::chrono::seconds kProbeEvery{25};
  static constexpr std::chrono::seconds kFirstRetry{2};
  static constexpr std::chrono::seconds kLastRetry{60};
  // From the owner thread's pump: the probe and the retries when due.
  void KeepRegistered();
  // The probe or the retry at once; false without a registration to refresh.
  bool RefreshNow();

  // Rebinds SIP and media to `ip` in the running core, so that its calls live on: the
  // account registers again from there. False without a registration to carry over.
  bool MoveTo(const std::string& ip);
  // After MoveTo: true once, when the registration from the new address stands (the calls
  // may follow it now, with the contact the server saw).
  bool TakeMoved();
  // After MoveTo: true once, when the new registration has taken longer than `limit`.
  bool TakeMoveOverdue(std::chrono::seconds limit);

  // Iterates the core until done() holds or ms pass.
  template <typename Pred>
  void IterateUntil(Pred done, int ms) {
    VELNARO_OWNER_ONLY(owner_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < until) {
      linphone_core_iterate(core());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  static LinphoneSession* FromCore(LinphoneCore* lc);
  static void CallStateCb(LinphoneCore* lc, LinphoneCall* call, LinphoneCallState state,
                          const char*);
  static void NotifyCb(LinphoneCore* lc, LinphoneEvent*, const char*, const LinphoneContent* body);
  static void CallLogCb(LinphoneCore* lc, LinphoneCallLog* log);
  static void RegistrationCb(LinphoneAccount* account, LinphoneRegistrationState state,
                             const char*);
  void OnRegistration(LinphoneRegistrationState state);
  void SetupSecurity();
  void SetupCodecs();
  // The SIP server's address with port and transport, as the account and its route use it.
  std::string ServerAddress(std::string host) const;
  void ApplyUserAgent();
  void DropAccount();

  SipOwnerThread& owner_;
  LinphoneSound& sound_;
  const std::string plugins_dir_;
  bool calls_only_from_server_ = false;
  SipSignalling signalling_;
  const CallStateFn on_call_state_;
  std::vector<std::string> server_addresses_;  // of the proxy and the outbound proxy

  CorePtr core_;
  AccountPtr account_;
  bool unregistering_ = false;
  bool registered_reported_ = false;
  enum class Move { kNone, kRegistering, kDone } move_ = Move::kNone;
  std::chrono::steady_clock::time_point move_since_{};
  std::chrono::steady_clock::time_point next_refresh_{};
  std::chrono::seconds retry_delay_ = kFirstRetry;
  std::string local_ip_, own_address_, outbound_, proxy_, login_, password_, proxy_hint_;
  std::string user_agent_;
};

}  // namespace velnaro
