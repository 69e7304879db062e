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

// What the phone goes on line with.
struct PhoneAccount {
  std::string sip_server;  // registrar, and the host of every call's address
  std::string display_name;
  std::string login;
  std::string password;
  std::string local_ip;  // the address to bind to; empty: the library's own choice
  bool operator==(const PhoneAccount&) const = default;
};

class Phone {
 public:
  virtual ~Phone() = default;

  virtual void AttivaTelefono(const PhoneAccount& account) = 0;
  // False when the phone was not on line.
  virtual bool DisattivaTelefono() = 0;
  // The address the phone is bound to is gone: off line without unregistering from it,
  // its calls ended, and the line reported lost as a failed registration is. Nothing when
  // it was not on line.
  virtual void NetworkLost() = 0;
  // The chosen address moved: off line as above, then on line again with `account`.
  virtual void NetworkMoved(const PhoneAccount& account) = 0;
  // The network changed under the same address (a resume, a new route): the registration
  // is refreshed at once, for the server may have lost it or the router its mapping.
  virtual void NetworkChecked() = 0;

  // The operations on a line. Each writes the log lines, the status and the messages to
  // the operator that the phone window's buttons for that line do.
  // Calls number at the SIP server; line 1 tells the operator when it cannot (or when the
  // number is empty), line 2 only logs. True when the call was placed.
  virtual bool Dial(int line, const std::string& number) = 0;
  // Line 1 hung up also goes "IDLE" with "HANGUP".
  virtual void HangUp(int line) = 0;
  virtual bool InCall(int line) = 0;
  virtual void Hold(int line) = 0;    // only a line in a call
  virtual void Unhold(int line) = 0;  // only a line on hold
  virtual void SendDtmf(int line, const std::string& digits) = 0;
  virtual void Mute(int line, bool muted) = 0;
  // A new recording of the line from now on.
  virtual void StartRecording(int line) = 0;
  // The recording so far, saved as a WAV file at path; false when it could not be.
  virtual bool SaveRecording(int line, const std::string& path) = 0;

  // Runs step whole: no event and no other operation of the phone comes between its parts
  // (the phone's operations that step calls join it).
  virtual void AsOneStep(const std::function<void()>& step) = 0;
};

}  // namespace velnaro
