#pragma once
// Call-quality figures for support: what the SIP library measured of a call's audio,
// summed up as one "quality:" line at the end of each call and every 30 s during it.

#include <chrono>
#include <string>

#include <linphone/core.h>

namespace velnaro {

struct QualityFigures {
  std::string codec;  // "opus/48000"
  bool encrypted = false;  // SRTP
  int seconds = 0;
  unsigned long long sent = 0, received = 0;
  long long lost = 0;
  double jitter_mean_ms = 0, jitter_max_ms = 0;
  double rtt_ms = -1;   // -1: not measured yet
  double rating = -1;   // the library's 0-5; -1: none yet
};

// "quality: line 1 opus/48000 srtp 42 s, packets sent 2100 received 2095 lost 5 (0.2%), ..."
std::string QualityLine(int line, const QualityFigures& q, bool final);

// One call's figures, kept between its start of media and its end. Owner thread only.
class CallQualityMeter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kReportEvery{30};

  // From the call's first media on; once started, Tick() samples and reports.
  void Start(LinphoneCall* call, Clock::time_point now);
  bool started() const { return started_; }
  // Samples the codec, jitter and rating every second; every kReportEvery, the line to log
  // (else empty).
  std::string Tick(LinphoneCall* call, int line, Clock::time_point now);
  // The end: the last line (empty when the call never had media). Stops the meter.
  std::string Finish(LinphoneCall* call, int line, Clock::time_point now);

 private:
  QualityFigures Read(LinphoneCall* call, Clock::time_point now);
  void ReadParams(LinphoneCall* call);  // the codec and encryption in use

  bool started_ = false;
  std::string codec_;  // read while the streams run: gone once the call ends
  bool encrypted_ = false;
  double rating_ = -1;
  Clock::time_point since_, next_sample_, next_report_;
  double jitter_sum_ = 0, jitter_max_ = 0;
  int jitter_samples_ = 0;
};

}  // namespace velnaro
