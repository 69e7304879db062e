#pragma once
// Line 1's recording: a list of finished WAV segments, the call's own recorder's while the
// call stands alone and the conference's while it is in the mix (the call's recorder
// would hold only its far end there). Saving joins them into one file.
// Owner thread only; operations return a sip_error code.

#include <linphone/core.h>

#include <string>
#include <vector>

#include "telephony/linphone_lines.h"
#include "telephony/linphone_session.h"
#include "telephony/sip_owner_thread.h"

namespace velnaro {

class LinphoneRecorder {
 public:
  // Segments and call files go into `dir`.
  LinphoneRecorder(SipOwnerThread& owner, const LinphoneSession& session, std::string dir);

  // The record file a new call on line 1 carries.
  std::string NextCallFile();
  // Operations 40 and 59: records line 1 from now on.
  int Start(int line, const LinphoneLines::Line0& line0);
  // Between iterations: runs the recorder that fits line 1's state, switching when the call
  // joins or leaves the mix or ends.
  void Sync(const LinphoneLines::Line0& line0);
  // Stops recording; what was recorded can still be saved.
  void Stop();
  // Operation 41: ends the recording and writes it to `path`.
  int Save(int line, const std::string& path);

 private:
  enum class Kind { kNone, kCall, kConference };

  std::string NextSegment();
  void Reset();
  void StopRecorder();
  void TakeCallFile();

  SipOwnerThread& owner_;
  const LinphoneSession& session_;
  const std::string dir_;

  bool wanted_ = false;
  Kind kind_ = Kind::kNone;
  LinphoneCall* call_ = nullptr;              // recorded by its own recorder; referenced
  LinphoneConference* conference_ = nullptr;  // recorded as the mix; referenced
  std::string call_file_, conference_file_;
  std::vector<std::string> segments_;
  int segment_seq_ = 0;
};

}  // namespace velnaro
