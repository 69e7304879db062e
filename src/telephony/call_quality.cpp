#include "telephony/call_quality.h"

#include <algorithm>
#include <cstdio>

namespace velnaro {

std::string QualityLine(int line, const QualityFigures& q, bool final) {
  const double base = static_cast<double>(q.received) + static_cast<double>(q.lost);
  const double lost_pct = base > 0 ? 100.0 * static_cast<double>(q.lost) / base : 0;
  char rtt[32] = "-", rating[32] = "-";
  if (q.rtt_ms >= 0) std::snprintf(rtt, sizeof rtt, "%.0f ms", q.rtt_ms);
  if (q.rating >= 0) std::snprintf(rating, sizeof rating, "%.1f", q.rating);
  char buf[400];
  std::snprintf(buf, sizeof buf,
                "quality: line %d%s %s %s %d s, packets sent %llu received %llu lost %lld (%.1f%%), "
                "jitter mean %.1f ms max %.1f ms, round trip %s, rating %s",
                line + 1, final ? " (end)" : "", q.codec.empty() ? "-" : q.codec.c_str(),
                q.encrypted ? "srtp" : "clear", q.seconds,
                q.sent, q.received, q.lost, lost_pct, q.jitter_mean_ms, q.jitter_max_ms, rtt,
                rating);
  return buf;
}

void CallQualityMeter::Start(LinphoneCall* call, Clock::time_point now) {
  *this = CallQualityMeter{};
  started_ = true;
  since_ = now;
  next_sample_ = now + std::chrono::seconds(1);
  next_report_ = now + kReportEvery;
  ReadParams(call);  // a call shorter than a sample has its codec too
}

void CallQualityMeter::ReadParams(LinphoneCall* call) {
  if (const LinphoneCallParams* p = linphone_call_get_current_params(call)) {
    encrypted_ = linphone_call_params_get_media_encryption(p) != LinphoneMediaEncryptionNone;
    if (const LinphonePayloadType* pt = linphone_call_params_get_used_audio_payload_type(p))
      codec_ = std::string(linphone_payload_type_get_mime_type(pt)) + "/" +
               std::to_string(linphone_payload_type_get_clock_rate(pt));
  }
}

std::string CallQualityMeter::Tick(LinphoneCall* call, int line, Clock::time_point now) {
  if (!started_ || now < next_sample_) return {};
  next_sample_ = now + std::chrono::seconds(1);
  ReadParams(call);
  rating_ = linphone_call_get_current_quality(call);
  if (LinphoneCallStats* stats = linphone_call_get_audio_stats(call)) {
    // The jitter of what we receive, as our own reports carry it (seconds).
    const double ms = 1000.0 * linphone_call_stats_get_sender_interarrival_jitter(stats);
    linphone_call_stats_unref(stats);
    jitter_sum_ += ms;
    jitter_max_ = std::max(jitter_max_, ms);
    ++jitter_samples_;
  }
  if (now < next_report_) return {};
  next_report_ = now + kReportEvery;
  return QualityLine(line, Read(call, now), false);
}

std::string CallQualityMeter::Finish(LinphoneCall* call, int line, Clock::time_point now) {
  if (!started_) return {};
  const std::string out = QualityLine(line, Read(call, now), true);
  started_ = false;
  return out;
}

QualityFigures CallQualityMeter::Read(LinphoneCall* call, Clock::time_point now) {
  QualityFigures q;
  q.seconds = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(now - since_).count());
  q.codec = codec_;
  q.encrypted = encrypted_;
  if (LinphoneCallStats* stats = linphone_call_get_audio_stats(call)) {
    if (const rtp_stats_t* rtp = linphone_call_stats_get_rtp_stats(stats)) {
      q.sent = rtp->packet_sent;
      q.received = rtp->packet_recv;
      q.lost = rtp->cum_packet_loss;
    }
    const float rtt = linphone_call_stats_get_round_trip_delay(stats);
    if (rtt > 0) q.rtt_ms = 1000.0 * rtt;
    linphone_call_stats_unref(stats);
  }
  if (jitter_samples_ > 0) {
    q.jitter_mean_ms = jitter_sum_ / jitter_samples_;
    q.jitter_max_ms = jitter_max_;
  }
  if (rating_ >= 0) q.rating = rating_;
  return q;
}

}  // namespace velnaro
