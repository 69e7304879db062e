#pragma once
// TfrmTelefono: the phone controller. Brings the SIP component online with the account the
// start-up sequence hands it (also shown in its window's settings), turns every component
// event into a log line and a status-record update, maps error codes to messages, and
// offers the call operations of the Phone interface that the commands and the main window
// use, and of its window's test buttons (Button1Click..Button9Click) over the same verbs.
//
// Serialisation: every operation and every event handler runs whole on the component's
// thread (SipUserAgent::Invoke), so the component calls and status changes of one operation
// never interleave with another's. Message boxes of an operation are shown after that part,
// on the calling thread, before the operation returns.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "status/phone_status.h"
#include "telephony/phone.h"
#include "telephony/sip_user_agent.h"

namespace velnaro {

// Text of the error-table message for a last-error code; empty for codes without one.
std::string SipErrorMessage(int code);

class TfrmTelefono final : public SipUserAgentEvents, public Phone {
 public:
  // The window's settings controls.
  struct Settings {
    std::string EditLoginId;
    std::string EditLoginPwd;
    std::string EditSIPProxy;
    std::string EditOutboundProxy;
    std::string EditDisplayName;
    bool CheckBoxRegisterToProxy = true;
    std::string txtIPVPN;
    std::string txtNumero;
    std::string txtNumeroVerde;
    std::string txtDTMF2;
  };

  static constexpr int kFirstSipPort = 5070;
  static constexpr int kLastSipPort = 6999;
  static constexpr int kFirstMediaPort = 7000;
  static constexpr int kMediaBusyLimit = 1000;
  static constexpr int kRecordingMode = 2;
  static constexpr size_t kLogLines = 10000;  // the log keeps the last this many lines
  static constexpr const char* kDefaultSoftwareVersion = "4.00.002";
  // Offline for want of a sound device, the component is asked this often for one.
  static constexpr std::chrono::seconds kSoundRetry{2};

  // Registers itself as the agent's event sink and Button6Click as the status's idle action.
  // messages carries the caption "SIP Voip" (component errors, ports, empty number);
  // account_messages the caption "SIP" (missing login or proxy), messages when null.
  TfrmTelefono(SipUserAgent& agent, PhoneStatus& status, MessageBox& messages,
               MessageBox* account_messages = nullptr);
  ~TfrmTelefono() override;
  TfrmTelefono(const TfrmTelefono&) = delete;
  TfrmTelefono& operator=(const TfrmTelefono&) = delete;

  // Settings, read and written whole under a lock (start-up writes them, operations read
  // them at the moment they run).
  Settings GetSettings() const;
  void UpdateSettings(const std::function<void(Settings&)>& edit);

  // "Velnaro.DS " + this is the identification text (operation 84).
  void SetSoftwareVersion(const std::string& version);

  // Receiver of the registration outcome (the start-up page).
  void SetEsitoPasso3(std::function<void(bool)> callback);

  // Called after every appended log line (on the thread that wrote it), e.g. for a window.
  void SetLogObserver(std::function<void(const std::string&)> observer);

  bool IsOnline() const;
  // The online button offers what the phone is not: "Online" while offline.
  std::string BtnInitCaption() const { return IsOnline() ? "Offline" : "Online"; }

  // The log memo: its last kLogLines lines.
  std::vector<std::string> txtLog() const;
  // The lines written after the first `seen` lines ever written (those still kept), and
  // `seen` moved past them: a window reads only what it has not shown.
  std::vector<std::string> NewLogLines(uint64_t& seen) const;

  // Ports chosen by the last successful InizializzaAgente / ApriLinee (0 before).
  int SipPort() const;
  int MediaPort(int line) const;

  // On line with the account in the settings.
  void AttivaTelefono();
  void BtnInitClick();
  bool InizializzaAgente();
  bool ApriLinee();
  void MostraErroreAgente();
  void ScriviLog(const std::string& message);

  // The window's test buttons.
  void Button1Click() { Dial(kLine1, GetSettings().txtNumero); }
  void Button2Click() { HangUp(kLine1); }
  void Button3Click() { Dial(kLine2, GetSettings().txtNumeroVerde); }
  void Button4Click() { HangUp(kLine2); }
  void Button5Click() { Hold(kLine1); }
  void Button6Click() { Unhold(kLine1); }  // also the idle action
  void Button7Click() { Hold(kLine2); }
  void Button8Click() { Unhold(kLine2); }
  void Button9Click() { SendDtmf(kLine2, GetSettings().txtDTMF2); }

  // Phone
  void AttivaTelefono(const PhoneAccount& account) override;
  bool DisattivaTelefono() override;
  void NetworkLost() override;
  void NetworkMoved(const PhoneAccount& account) override;
  void NetworkChecked() override;
  bool Dial(int line, const std::string& number) override;
  void HangUp(int line) override;
  bool InCall(int line) override;
  void Hold(int line) override;
  void Unhold(int line) override;
  void SendDtmf(int line, const std::string& digits) override;
  void Mute(int line, bool muted) override;
  void StartRecording(int line) override;
  bool SaveRecording(int line, const std::string& path) override;
  void AsOneStep(const std::function<void()>& step) override { Run(step); }

  // The component's events (SipUserAgentEvents), each handled whole on its thread.
  void OnTryingToRegister() override;
  void OnSuccessToRegister() override;
  void OnFailToRegister() override;
  void OnTryingToUnRegister() override;
  void OnSuccessToUnRegister() override;
  void OnConnecting(int line_no) override;
  void OnSuccessToConnect(int line_no, const std::string& to_rtp_ip, int to_rtp_port) override;
  void OnFailToConnect(int line_no) override;
  void OnDisconnectCall(int line_no) override;
  void OnGeneralFailureResponse(int line_no, int status_code,
                                const std::string& reason_phrase) override;
  void OnIncomingCallRingingStart(const std::string& call_id) override;
  void OnIncomingCall(const std::string& call_id, const std::string& display_name,
                      const std::string& user_name, const std::string& from_uri,
                      const std::string& to_uri) override;
  void OnIncomingCallRingingStop(const std::string& call_id) override;
  // Only a log line: the call never rang, and the page has nothing to show for it.
  void OnCallRefused(const std::string& from_ip, const std::string& from_uri) override;

  // Messages raised by event handlers are shown on a thread of their own, so a modal box
  // never stalls the component's thread; this waits until all of them have been shown.
  void WaitForMessages();

 private:
  // Runs body on the component's thread; messages it raises are shown afterwards, by the
  // calling thread for an operation, by the message thread for an event.
  void Run(const std::function<void()>& body) { RunOnAgent(body, false); }
  void OnEvent(const std::function<void()>& body) { RunOnAgent(body, true); }
  void RunOnAgent(const std::function<void()>& body, bool event);
  // The same for a body with a result.
  template <typename F>
  auto RunFor(F body) {
    decltype(body()) result{};
    Run([&] { result = body(); });
    return result;
  }
  struct PendingMessage {
    MessageBox* box;
    std::string text;
  };
  void Message(const std::string& text);
  void AccountMessage(const std::string& text);
  void Post(MessageBox& box, const std::string& text);
  std::string LocalIp(const Settings& s);
  bool LeaveLostAddress();
  void RegistrationNews(const char* line, LineState state);
  void CallFailed(int line);
  void ReportEsitoPasso3(bool registered);  // outside the component's lock

  SipUserAgent& agent_;
  PhoneStatus& status_;
  MessageBox& messages_;
  MessageBox& account_messages_;

  mutable std::mutex mutex_;  // settings, online flag, log, callbacks, ports
  Settings settings_;
  bool online_ = false;
  std::string software_version_ = kDefaultSoftwareVersion;
  std::deque<std::string> log_;
  uint64_t log_written_ = 0;  // lines ever written, the dropped ones included
  std::function<void(bool)> esito_passo3_;
  std::function<void(const std::string&)> log_observer_;
  int sip_port_ = 0;
  int media_port_[2] = {0, 0};

  // Messages raised inside the running operation; touched only on the component's thread.
  std::vector<PendingMessage>* pending_messages_ = nullptr;

  // Without a microphone or a playback device the phone stays offline and a thread of its
  // own ("sound-wait") brings it online once the component has one.
  void WaitForSound(bool wait);
  void SoundWaitLoop();
  std::mutex sound_mutex_;
  std::condition_variable sound_cv_;
  bool sound_wanted_ = false;
  bool sound_stop_ = false;
  std::atomic<bool> sound_retry_{false};  // the wait's own attempt is running
  std::thread sound_thread_;

  void ShowLater(std::vector<PendingMessage> messages);
  void MessageLoop();
  std::mutex message_mutex_;
  std::condition_variable message_cv_;
  std::deque<PendingMessage> message_queue_;
  bool message_busy_ = false;
  bool message_stop_ = false;
  std::thread message_thread_;
};

}  // namespace velnaro
