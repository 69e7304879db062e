#pragma once
// TfrmTelefono: the phone controller. Brings the SIP component online with the account the
// start-up sequence writes into its settings, turns every component event into a log line
// and a status-record update, maps error codes to messages, and offers the call operations
// of its test buttons (Button1Click..Button9Click), which the control commands reach through
// PhonePort.
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

#include "control/phone_port.h"
#include "control/web_server.h"
#include "platform/message_box.h"
#include "telephony/sip_user_agent.h"

namespace velnaro {

// Text of the error-table message for a last-error code; empty for codes without one.
std::string SipErrorMessage(int code);

class TfrmTelefono final : public SipUserAgentEvents, public PhonePort {
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

  // Registers itself as the agent's event sink and Button6Click as web's idle action.
  // messages carries the caption "SIP Voip" (component errors, ports, empty number);
  // account_messages the caption "SIP" (missing login or proxy), messages when null.
  TfrmTelefono(SipUserAgent& agent, TwebServer& web, MessageBox& messages,
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

  void AttivaTelefono();
  bool DisattivaTelefono();
  void BtnInitClick();
  bool InizializzaAgente();
  bool ApriLinee();
  void MostraErroreAgente();
  void ScriviLog(const std::string& message);

  // Call operations (test buttons).
  void Button1Click();  // call on line 1 (txtNumero)
  void Button2Click();  // hang up line 1
  void Button3Click();  // test call on line 2 (txtNumeroVerde)
  void Button4Click();  // hang up line 2
  void Button5Click();  // hold line 1
  void Button6Click();  // off hold line 1; also the idle action
  void Button7Click();  // hold line 2
  void Button8Click();  // off hold line 2
  void Button9Click();  // DTMF test on line 2 (txtDTMF2)

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

  // PhonePort
  void SetNumber(const std::string& number) override;
  void DialLine1() override { Button1Click(); }
  void HangUpLine1() override { Button2Click(); }
  void HoldLine1() override { Button5Click(); }
  void UnholdLine1() override { Button6Click(); }
  bool SendDtmf(int line, const std::string& digits) override;
  bool StartRecording(int line) override;
  bool StartRecordingMode(int line, int mode, bool enable) override;
  bool SaveRecording(int line, const std::string& path) override;
  void SetMicrophoneMuted(int line, bool muted) override;

  SipUserAgent& Agent() { return agent_; }

  // Messages raised by event handlers are shown on a thread of their own, so a modal box
  // never stalls the component's thread; this waits until all of them have been shown.
  void WaitForMessages();

 private:
  // Runs body on the component's thread; messages it raises are shown afterwards.
  void Run(const std::function<void()>& body);
  struct PendingMessage {
    MessageBox* box;
    std::string text;
  };
  void Message(const std::string& text);
  void AccountMessage(const std::string& text);
  void Post(MessageBox& box, const std::string& text);
  std::string LocalIp(const Settings& s);
  void Hangup(int line, const char* ok_text, const char* fail_text, bool update_status);
  void HoldIfInCall(int line);
  void UnholdIfOnHold(int line);
  void PlaceCall(int line, const std::string& number, bool line1);
  void ReportEsitoPasso3(bool registered);  // outside the component's lock

  SipUserAgent& agent_;
  TwebServer& web_;
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
