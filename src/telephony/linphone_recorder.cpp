#include "telephony/linphone_recorder.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <filesystem>

#include "telephony/wav_file.h"

namespace velnaro {

LinphoneRecorder::Segment::~Segment() {
  std::error_code ec;
  if (discarded) std::filesystem::remove(path, ec);
}

LinphoneRecorder::LinphoneRecorder(SipOwnerThread& owner, const LinphoneSession& session,
                                   std::string dir)
    : owner_(owner), session_(session), dir_(std::move(dir)) {}

std::string LinphoneRecorder::NextSegment() {
  VELNARO_OWNER_ONLY(owner_);
  return dir_ + "/line0-segment-" + std::to_string(++segment_seq_) + ".wav";
}

std::string LinphoneRecorder::NextCallFile() {
  VELNARO_OWNER_ONLY(owner_);
  return dir_ + "/line0-call-" + std::to_string(++call_seq_) + ".wav";
}

void LinphoneRecorder::AddSegment(const std::string& path) {
  VELNARO_OWNER_ONLY(owner_);
  segments_.push_back(std::make_shared<Segment>(path));
}

// The call's recorder writes one file per call; a finished one is moved aside so that a
// restart begins a new file.
void LinphoneRecorder::TakeCallFile() {
  VELNARO_OWNER_ONLY(owner_);
  std::error_code ec;
  if (call_file_.empty() || !std::filesystem::exists(call_file_, ec)) return;
  const std::string seg = NextSegment();
  std::filesystem::rename(call_file_, seg, ec);
  if (!ec) AddSegment(seg);
}

void LinphoneRecorder::StopRecorder() {
  VELNARO_OWNER_ONLY(owner_);
  if (kind_ == Kind::kCall) {
    if (CallAlive(call_.get())) linphone_call_stop_recording(call_.get());
    TakeCallFile();
  } else if (kind_ == Kind::kConference) {
    LinphoneCore* core = session_.core();
    if (core && linphone_core_get_conference(core) == conference_.get())
      linphone_conference_stop_recording(conference_.get());
    AddSegment(conference_file_);
  }
  call_.reset();
  conference_.reset();
  kind_ = Kind::kNone;
}

void LinphoneRecorder::Sync(const LinphoneLines::Line0& line0) {
  VELNARO_OWNER_ONLY(owner_);
  if (!line0.call) wanted_ = false;  // a recording ends with its call
  Kind want = Kind::kNone;
  if (wanted_ && line0.connected) want = line0.mix ? Kind::kConference : Kind::kCall;
  if (want == kind_ && (want != Kind::kCall || call_.get() == line0.call) &&
      (want != Kind::kConference || conference_.get() == line0.mix))
    return;
  StopRecorder();
  if (want == Kind::kCall) {
    const LinphoneCallParams* p = linphone_call_get_params(line0.call);
    call_file_ = Str(p ? linphone_call_params_get_record_file(p) : nullptr);
    linphone_call_start_recording(line0.call);
    call_ = CallPtr(kTakeRef, line0.call);
    kind_ = Kind::kCall;
  } else if (want == Kind::kConference) {
    conference_file_ = NextSegment();
    if (linphone_conference_start_recording(line0.mix, conference_file_.c_str()) == 0) {
      conference_ = ConferencePtr(kTakeRef, line0.mix);
      kind_ = Kind::kConference;
    }
  }
}

int LinphoneRecorder::Check(int line, const LinphoneLines::Line0& line0) const {
  VELNARO_OWNER_ONLY(owner_);
  if (!session_.core()) return sip_error::kNotOnline;
  if (line != 0) return sip_error::kInvalidLine;
  if (!line0.call) return sip_error::kNotInVoiceSession;
  return sip_error::kNone;
}

int LinphoneRecorder::Start(int line, const LinphoneLines::Line0& line0) {
  VELNARO_OWNER_ONLY(owner_);
  if (const int e = Check(line, line0)) return e;
  StopRecorder();
  for (auto& s : segments_) s->discarded = true;
  segments_.clear();
  return Continue(line, line0);
}

int LinphoneRecorder::Continue(int line, const LinphoneLines::Line0& line0) {
  VELNARO_OWNER_ONLY(owner_);
  if (const int e = Check(line, line0)) return e;
  wanted_ = true;
  Sync(line0);
  return sip_error::kNone;
}

void LinphoneRecorder::Stop() {
  VELNARO_OWNER_ONLY(owner_);
  StopRecorder();
  wanted_ = false;
}

int LinphoneRecorder::TakeForSave(int line, Segments* out) {
  VELNARO_OWNER_ONLY(owner_);
  if (line != 0) return sip_error::kInvalidLine;
  Stop();
  TakeCallFile();  // a call that ended while recording left its file behind
  if (segments_.empty()) return sip_error::kRecordingInit;
  *out = segments_;
  return sip_error::kNone;
}

int LinphoneRecorder::Save(int line, const std::string& path) {
  Segments taken;
  if (const int e = owner_.Call([&] { return TakeForSave(line, &taken); })) return e;
  std::vector<std::string> files;
  for (const auto& s : taken) files.push_back(s->path);
  return wav::Concatenate(files, path, 8000) ? sip_error::kNone : sip_error::kWriteWave;
}

}  // namespace velnaro
