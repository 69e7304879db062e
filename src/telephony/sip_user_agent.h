#pragma once
// The SIP user agent component: two lines (index 0 and 1), registration, calls, hold,
// DTMF, recording of line 0 and the conference mix. Operations keep the component's
// dispatch numbers (SipOp) so callers can be read against the component's table.
//
// Threading: every event is raised on the component's own thread, one at a time.
// Operations may be called from any thread; they run on that thread and wait for
// their result. Invoke() runs a whole sequence of operations there, so that nothing
// (no event, no other caller) interleaves with it.

#include <functional>
#include <string>

namespace velnaro {

// Dispatch numbers of the component's operations.
namespace sip_op {
inline constexpr int kInitialize = 58;
inline constexpr int kShutdown = 1;
inline constexpr int kLastError = 3;
inline constexpr int kLocalIp = 23;
inline constexpr int kSetUserAgentText = 84;
inline constexpr int kOpenLine = 64;
inline constexpr int kRegister = 12;
inline constexpr int kFixedSetting21 = 21;
inline constexpr int kFixedSetting17 = 17;
inline constexpr int kPlaceCall = 5;
inline constexpr int kAcceptCall = 7;
inline constexpr int kEndCall = 6;
inline constexpr int kIsLineInCall = 16;
inline constexpr int kIsLineOnHold = 15;
inline constexpr int kHold = 10;
inline constexpr int kUnhold = 11;
inline constexpr int kSendDtmf = 24;
inline constexpr int kRecordStart = 40;
inline constexpr int kRecordMode = 59;
inline constexpr int kRecordSave = 41;
}  // namespace sip_op

// Last-error codes (operation 3). 0 means no error.
namespace sip_error {
inline constexpr int kNone = 0;
inline constexpr int kNotOnline = 10;
inline constexpr int kPortInUse = 11;
inline constexpr int kTaskWindow = 13;
inline constexpr int kInputDevice = 14;
inline constexpr int kOutputDevice = 15;
inline constexpr int kInputNotOpen = 16;
inline constexpr int kOutputNotOpen = 17;
inline constexpr int kNoMicVolume = 18;
inline constexpr int kNoSpeakerVolume = 19;
inline constexpr int kRecordingInit = 20;
inline constexpr int kCannotOpenWave = 21;
inline constexpr int kInvalidUri = 22;
inline constexpr int kCodec = 23;
inline constexpr int kSdp = 24;
inline constexpr int kConnectRequest = 25;
inline constexpr int kRegisterRequest = 26;
inline constexpr int kUnregisterRequest = 27;
inline constexpr int kDisconnectRequest = 28;
inline constexpr int kInvalidLine = 29;
inline constexpr int kLineBusy = 30;
inline constexpr int kLineNotOpen = 31;
inline constexpr int kInvalidCallId = 32;
inline constexpr int kInvalidValue = 33;
inline constexpr int kNotInVoiceSession = 34;
inline constexpr int kReadWave = 35;
inline constexpr int kWriteWave = 36;
inline constexpr int kWaveFormat = 37;
}  // namespace sip_error

// The component's events (their identifiers in comments). Defaults ignore the event.
class SipUserAgentEvents {
 public:
  virtual ~SipUserAgentEvents() = default;
  virtual void OnIncomingDiagnostic(const std::string& /*msg_sip*/, const std::string& /*from_ip*/,
                                    int /*from_port*/) {}                       // 1
  virtual void OnMsgNOTIFY(const std::string& /*msg*/) {}                       // 5
  virtual void OnTryingToUnRegister() {}                                        // 6
  virtual void OnSuccessToUnRegister() {}                                       // 8
  virtual void OnTryingToRegister() {}                                          // 9
  virtual void OnFailToRegister() {}                                            // 10
  virtual void OnSuccessToRegister() {}                                         // 11
  virtual void OnFailToConnect(int /*line_no*/) {}                              // 12
  virtual void OnConnecting(int /*line_no*/) {}                                 // 13
  virtual void OnIncomingCallRingingStart(const std::string& /*call_id*/) {}    // 14
  virtual void OnIncomingCallRingingStop(const std::string& /*call_id*/) {}     // 15
  virtual void OnDisconnectCall(int /*line_no*/) {}                             // 16
  virtual void OnGeneralFailureResponse(int /*line_no*/, int /*status_code*/,
                                        const std::string& /*reason_phrase*/) {}  // 22
  virtual void OnSuccessToConnect(int /*line_no*/, const std::string& /*to_rtp_ip*/,
                                  int /*to_rtp_port*/) {}                       // 23
  virtual void OnIncomingCall(const std::string& /*call_id*/, const std::string& /*display_name*/,
                              const std::string& /*user_name*/, const std::string& /*from_uri*/,
                              const std::string& /*to_uri*/) {}                 // 24
  // Not one of the component's events: an incoming call refused because its source is not
  // the SIP server; no other event is raised for it.
  virtual void OnCallRefused(const std::string& /*from_ip*/, const std::string& /*from_uri*/) {}
};

class SipUserAgent {
 public:
  virtual ~SipUserAgent() = default;

  // The sink receives every event on the component's thread. Set it before going online;
  // nullptr drops events.
  virtual void SetEventSink(SipUserAgentEvents* sink) = 0;

  // Runs fn on the component's thread, serialised with events and other operations, and
  // waits for it. Called on that thread (from an event handler) it runs fn at once.
  virtual void Invoke(const std::function<void()>& fn) = 0;

  // 58. flag1, flag2 and mode have no meaning here beyond being passed along.
  virtual bool Initialize(bool flag1, const std::string& local_ip, int sip_port,
                          const std::string& own_address, const std::string& outbound_proxy,
                          const std::string& sip_proxy, const std::string& login,
                          const std::string& password, bool flag2, int mode) = 0;
  virtual void Shutdown() = 0;                                 // 1
  // Shutdown once the local address is gone: calls end, nothing is unregistered (nothing
  // could leave that address) and no unregistration event is raised.
  virtual void Abandon() { Shutdown(); }
  // The local address moved: the calls in progress go on from `ip` (signalling and media
  // rebound, registered again, each call offered again). False, with nothing changed,
  // without a call or a registration to carry over.
  virtual bool FollowAddress(const std::string& /*ip*/) { return false; }
  // The registration refreshed now (the network changed under it); false without one.
  virtual bool RefreshRegistration() { return false; }
  virtual int LastError() = 0;                                 // 3
  // Not one of the numbered operations: after an Initialize that failed for want of a
  // sound device (14, 15), whether one has appeared since.
  virtual bool SoundReady() { return true; }
  virtual std::string LocalIp() = 0;                           // 23
  // The proxy that LocalIp() should find the route to, before Initialize names it.
  virtual void SetProxyHint(const std::string& /*sip_proxy*/) {}
  virtual bool SetUserAgentText(const std::string& text) = 0;  // 84
  virtual bool OpenLine(int line, bool flag, const std::string& local_ip, int media_port) = 0;  // 64
  virtual bool Register(int expiry_seconds) = 0;               // 12
  virtual bool FixedSetting21(int value) = 0;                  // 21
  virtual bool FixedSetting17(int value) = 0;                  // 17
  virtual bool PlaceCall(int line, const std::string& target, int a, int b) = 0;       // 5
  virtual bool AcceptCall(int line, const std::string& call_id, int a, int b) = 0;     // 7
  virtual bool EndCall(int line) = 0;                          // 6
  virtual bool IsLineInCall(int line) = 0;                     // 16
  virtual bool IsLineOnHold(int line) = 0;                     // 15
  virtual bool Hold(int line) = 0;                             // 10
  virtual bool Unhold(int line) = 0;                           // 11
  virtual bool SendDtmf(int line, const std::string& digits) = 0;  // 24
  virtual bool RecordStart(int line) = 0;                      // 40
  virtual bool RecordMode(int line, int mode, bool enable) = 0;  // 59
  virtual bool RecordSave(int line, const std::string& path) = 0;  // 41
  // Microphone of a line (MUTE/UNMUTE); not one of the numbered operations. It opens
  // again by itself when the line's call ends, however it ends, and with Initialize and
  // Shutdown.
  virtual bool SetMicrophoneMuted(int line, bool muted) = 0;
};

}  // namespace velnaro
