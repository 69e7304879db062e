#pragma once
// The phone as the rest of the program drives it: the start-up sequence brings it on line,
// the web application's commands work line 1, the main window's panel works line 2. The
// phone controller implements it.

#include <functional>
#include <string>

namespace velnaro {

// The component's line indexes.
inline constexpr int kLine1 = 0;  // the operator's line
inline constexpr int kLine2 = 1;  // the conference line

// "sip:" + user + "@" + host: where a call goes, and the account's own address.
inline std::string SipAddress(const std::string& user, const std::string& host) {
  return "sip:" + user + "@" + host;
}

class Phone {
 public:
  virtual ~Phone() = default;

  // On line with the account and local address that the start-up sequence writes first.
  virtual void AttivaTelefono() = 0;
  // False when the phone was not on line.
  virtual bool DisattivaTelefono() = 0;
  virtual std::string txtIPVPN() const = 0;
  virtual void SetTxtIPVPN(const std::string& ip) = 0;
  virtual void SetAccount(const std::string& proxy, const std::string& display_name,
                          const std::string& login, const std::string& password) = 0;
  virtual std::string EditSIPProxy() const = 0;

  // A line as the phone window's buttons work it: the line's number field, log lines, the
  // status record and messages to the operator.
  virtual void SetNumber(const std::string& number) = 0;  // line 1's number field
  virtual void Dial(int line) = 0;                        // the line's number field
  virtual void HangUp(int line) = 0;
  virtual void HoldIfInCall(int line) = 0;
  virtual void UnholdIfOnHold(int line) = 0;

  // Single component operations; the result is all they report.
  virtual bool InCall(int line) = 0;
  virtual bool PlaceCall(int line, const std::string& number) = 0;  // at the SIP server
  virtual bool EndCall(int line) = 0;
  virtual bool Hold(int line) = 0;
  virtual bool Unhold(int line) = 0;
  virtual bool SendDtmf(int line, const std::string& digits) = 0;
  virtual bool StartRecording(int line) = 0;
  virtual bool StartRecordingMode(int line, int mode, bool enable) = 0;
  virtual bool SaveRecording(int line, const std::string& path) = 0;
  virtual void Mute(int line, bool muted) = 0;

  // Runs step whole: no event and no other operation of the phone comes between its parts
  // (the phone's operations that step calls join it).
  virtual void AsOneStep(const std::function<void()>& step) = 0;
};

}  // namespace velnaro
