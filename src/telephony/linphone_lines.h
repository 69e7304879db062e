#pragma once
// The component's two lines on the library's calls: which call each line holds, the
// library's call states turned into the component's events, incoming calls until they are
// answered, hold, and the conference that mixes every connected line not on hold.
// Owner thread only; operations return a sip_error code.

#include <linphone/core.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "telephony/call_quality.h"
#include "telephony/linphone_handles.h"
#include "telephony/linphone_session.h"
#include "telephony/sip_owner_thread.h"

namespace velnaro {

class LinphoneLines {
 public:
  // What line 1 offers to the recorder.
  struct Line0 {
    LinphoneCall* call = nullptr;     // its live call, answered or not
    bool connected = false;           // the call was answered
    LinphoneConference* mix = nullptr;  // the conference, while the call is mixed into it
  };

  // Each call on line 1 records, when asked, into a file that line0_record_file() names
  // as the call starts.
  LinphoneLines(SipOwnerThread& owner, LinphoneSession& session,
                std::function<std::string()> line0_record_file);

  int port(int line) const { return lines_[line].port; }

  int Open(int line, const std::string& local_ip, int media_port);
  int Place(int line, const std::string& target);
  int Accept(int line, const std::string& call_id);
  int End(int line);
  bool InCall(int line) const;
  bool OnHold(int line) const;
  int Hold(int line);
  int Unhold(int line);
  int SendDtmf(int line, const std::string& digits);
  int SetMicrophoneMuted(int line, bool muted);
  Line0 line0() const;

  // From the library's callback.
  void OnCallState(LinphoneCall* call, LinphoneCallState state);
  // Between iterations: brings the calls back in line with hold and the mix when needed.
  void ReconcileIfDue();
  // Between iterations: samples the calls' quality and logs its figures when due.
  void SampleQuality();

  // Closing: ends every call, while the account is still there.
  void EndAll();
  // After the core moved to `ip`: each call's media rebound there and offered again in a
  // re-INVITE (with the new contact); a call that cannot be updated ends.
  void FollowAddress(const std::string& ip);
  // Closing, after the account: drops every call and closes the lines.
  void Release();

 private:
  struct Line {
    bool open = false;
    int port = 0;
    CallPtr call;
    bool user_held = false;        // put on hold by operation 10
    bool progress = false;         // an 18x or answer was seen
    bool connected = false;
    bool reported_end = false;
    bool own_contact = false;      // placed or answered with the registration's contact
    // Offered again from a new address: the call's error reason before, until settled.
    std::optional<LinphoneReason> follow_reason;
    CallQualityMeter quality;
  };
  struct Incoming {
    CallPtr call;
    std::string call_id;
  };

  LinphoneCall* LiveCall(int line, int* error) const;
  int LineOf(const LinphoneCall* c) const;
  int CheckFree(int line) const;
  CallParamsPtr CallParams(LinphoneCall* for_call, int line);
  void OnIncomingState(LinphoneCall* call, LinphoneCallState state);
  void DeclineIfLine1Busy(const std::string& call_id);
  void Reconcile();
  void ApplyMute();

  SipOwnerThread& owner_;
  LinphoneSession& session_;
  const std::function<std::string()> line0_record_file_;
  Line lines_[2];
  std::vector<Incoming> incoming_;
  ConferencePtr conference_;
  bool reconcile_ = false;
  int placing_line_ = -1;
  bool mic_muted_[2] = {false, false};
};

}  // namespace velnaro
