#pragma once
// Line 1's recording: a list of finished WAV segments, the call's own recorder's while the
// call stands alone and the conference's while it is in the mix (the call's recorder
// would hold only its far end there). Saving joins them into one file. A recording runs
// until it is saved or its call ends, and stays until a new one begins, so that it can be
// saved again. Owner thread only, but for Save; operations return a sip_error code.

#include <linphone/core.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "telephony/linphone_handles.h"
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
  // Operation 40: a new recording of line 1 (the last one's segments go).
  int Start(int line, const LinphoneLines::Line0& line0);
  // Operation 59: records line 1 from now on, into the current recording.
  int Continue(int line, const LinphoneLines::Line0& line0);
  // Between iterations: runs the recorder that fits line 1's state, switching when the call
  // joins or leaves the mix, and stopping when it ends.
  void Sync(const LinphoneLines::Line0& line0);
  // Stops recording; what was recorded can still be saved.
  void Stop();
  // A finished WAV file becomes the recording's next part.
  void AddSegment(const std::string& path);
  // Operation 41, off the owner thread: ends the recording and writes it to `path`. The
  // owner hands the segment list over and goes on while this thread joins them.
  int Save(int line, const std::string& path);

 private:
  enum class Kind { kNone, kCall, kConference };
  // A segment's file, removed once its recording was replaced and no save reads it.
  struct Segment {
    explicit Segment(std::string p) : path(std::move(p)) {}
    ~Segment();
    const std::string path;
    std::atomic<bool> discarded{false};
  };
  using Segments = std::vector<std::shared_ptr<Segment>>;

  std::string NextSegment();
  int Check(int line, const LinphoneLines::Line0& line0) const;
  int TakeForSave(int line, Segments* out);
  void StopRecorder();
  void TakeCallFile();

  SipOwnerThread& owner_;
  const LinphoneSession& session_;
  const std::string dir_;

  bool wanted_ = false;
  Kind kind_ = Kind::kNone;
  CallPtr call_;              // recorded by its own recorder
  ConferencePtr conference_;  // recorded as the mix
  std::string call_file_, conference_file_;
  Segments segments_;
  int segment_seq_ = 0, call_seq_ = 0;
};

}  // namespace velnaro
