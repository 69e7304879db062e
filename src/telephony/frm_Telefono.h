#pragma once
// TfrmTelefono: the phone controller. Brings the SIP component online with the account the
// start-up sequence writes into its settings, turns every component event into a log line
// and a status-record update, maps error codes to messages, and offers the call operations
// of its test buttons (Button1Click..Button9Click) and of the Phone interface that the
// commands and the main window use.
//
// Serialisation: every operation and every event handler runs whole on the component's
// thread (SipUserAgent::Invoke), so the component calls and status changes of one operation
// never interleave with another's. Message boxes of an operation are shown after that part,
// on the calling thread, before the operation returns.

#include <condition_variable>
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
  static constexpr const char* kDefaultSoftwareVersion = "4.00.002";

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

  // Online flag: "Online" while offline (the button offers to go online), "Offline" while
  // online.
  std::string BtnInitCaption() const;
  bool IsOnline() const { return BtnInitCaption() == "Offline"; }

  // The log memo, every line ever written.
  std::vector<std::string> txtLog() const;

  // Ports chosen by the last successful InizializzaAgente / ApriLinee (0 before).
  int SipPort() const;
  int MediaPort(int line) const;

  void BtnInitClick();
  bool InizializzaAgente();
  bool ApriLinee();
  void MostraErroreAgente();
  void ScriviLog(const std::string& message);

  // Call operations (test buttons).
  void Button1Click() { Dial(kLine1); }            // txtNumero
  void Button2Click() { HangUp(kLine1); }
  void Button3Click() { Dial(kLine2); }            // txtNumeroVerde
  void Button4Click() { HangUp(kLine2); }
  void Button5Click() { HoldIfInCall(kLine1); }
  void Button6Click() { UnholdIfOnHold(kLine1); }  // also the idle action
  void Button7Click() { HoldIfInCall(kLine2); }
  void Button8Click() { UnholdIfOnHold(kLine2); }
  void Button9Click() { SendDtmf(kLine2, GetSettings().txtDTMF2); }

  // Event handlers, bound to the component events of the same ending.
  void SipUserAgentTryingToRegister();
  void SipUserAgentSuccessToRegister();
  void SipUserAgentFailToRegister();
  void SipUserAgentTryingToUnRegister();
  void SipUserAgentSuccessToUnRegister();
  void SipUserAgentConnecting(int line_no);
  void SipUserAgentSuccessToConnect(int line_no, const std::string& to_rtp_ip, int to_rtp_port);
  void SipUserAgentFailToConnect(int line_no);
  void SipUserAgentDisconnectCall(int line_no);
  void SipUserAgentGeneralFailureResponse(int line_no, int status_code,
                                          const std::string& reason_phrase);
  void SipUserAgentIncomingCallRingingStart(const std::string& call_id);
  void SipUserAgentIncomingCall(const std::string& call_id, const std::string& display_name,
                                const std::string& user_name, const std::string& from_uri,
                                const std::string& to_uri);
  void SipUserAgentIncomingCallRingingStop(const std::string& call_id);
  void SipUserAgentIncomingDiagnostic(const std::string& msg_sip, const std::string& from_ip,
                                      int from_port);
  void SipUserAgentMsgNOTIFY(const std::string& msg);
  void SipUserAgentCallRefused(const std::string& from_ip, const std::string& from_uri);

  // SipUserAgentEvents
  void OnIncomingDiagnostic(const std::string& msg_sip, const std::string& from_ip,
                            int from_port) override;
  void OnMsgNOTIFY(const std::string& msg) override;
  void OnTryingToUnRegister() override;
  void OnSuccessToUnRegister() override;
  void OnTryingToRegister() override;
  void OnFailToRegister() override;
  void OnSuccessToRegister() override;
  void OnFailToConnect(int line_no) override;
  void OnConnecting(int line_no) override;
  void OnIncomingCallRingingStart(const std::string& call_id) override;
  void OnIncomingCallRingingStop(const std::string& call_id) override;
  void OnDisconnectCall(int line_no) override;
  void OnGeneralFailureResponse(int line_no, int status_code,
                                const std::string& reason_phrase) override;
  void OnSuccessToConnect(int line_no, const std::string& to_rtp_ip, int to_rtp_port) override;
  void OnIncomingCall(const std::string& call_id, const std::string& display_name,
                      const std::string& user_name, const std::string& from_uri,
                      const std::string& to_uri) override;
  void OnCallRefused(const std::string& from_ip, const std::string& from_uri) override;

  // Phone
  void AttivaTelefono() override;
  bool DisattivaTelefono() override;
  std::string txtIPVPN() const override;
  void SetTxtIPVPN(const std::string& ip) override;
  void SetAccount(const std::string& proxy, const std::string& display_name,
                  const std::string& login, const std::string& password) override;
  std::string EditSIPProxy() const override;
  void SetNumber(const std::string& number) override;
  // Line 1 reports a refused call to the operator, line 2 only logs it.
  void Dial(int line) override;
  // Line 1 hung up also goes "IDLE" with "HANGUP".
  void HangUp(int line) override;
  void HoldIfInCall(int line) override;
  void UnholdIfOnHold(int line) override;
  bool InCall(int line) override;
  bool PlaceCall(int line, const std::string& number) override;
  bool EndCall(int line) override;
  bool Hold(int line) override;
  bool Unhold(int line) override;
  bool SendDtmf(int line, const std::string& digits) override;
  bool StartRecording(int line) override;
  bool StartRecordingMode(int line, int mode, bool enable) override;
  bool SaveRecording(int line, const std::string& path) override;
  void Mute(int line, bool muted) override;
  void AsOneStep(const std::function<void()>& step) override { Run(step); }

  // Messages raised by event handlers are shown on a thread of their own, so a modal box
  // never stalls the component's thread; this waits until all of them have been shown.
  void WaitForMessages();

 private:
  // Runs body on the component's thread; messages it raises are shown afterwards.
  void Run(const std::function<void()>& body);
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
  void CallFailed(int line);
  void ReportEsitoPasso3(bool registered);  // outside the component's lock

  SipUserAgent& agent_;
  PhoneStatus& status_;
  MessageBox& messages_;
  MessageBox& account_messages_;

  mutable std::mutex mutex_;  // settings, caption, log, callbacks, ports
  Settings settings_;
  std::string btn_init_caption_ = "Online";
  std::string software_version_ = kDefaultSoftwareVersion;
  std::vector<std::string> log_;
  std::function<void(bool)> esito_passo3_;
  std::function<void(const std::string&)> log_observer_;
  int sip_port_ = 0;
  int media_port_[2] = {0, 0};

  // Messages raised inside the running operation; touched only on the component's thread.
  std::vector<PendingMessage>* pending_messages_ = nullptr;
  int event_depth_ = 0;  // inside an event handler; component's thread only

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
