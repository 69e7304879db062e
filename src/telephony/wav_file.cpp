#include "telephony/wav_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include <speex/speex_resampler.h>

#include "platform/atomic_file.h"

namespace velnaro::wav {
namespace {

uint32_t U32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t U16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
void Put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
void Put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); }

std::string WaveHeader(int rate, uint32_t data_bytes) {
  std::string h = "RIFF";
  Put32(h, 36 + data_bytes);
  h += "WAVEfmt ";
  Put32(h, 16);
  Put16(h, 1);
  Put16(h, 1);
  Put32(h, static_cast<uint32_t>(rate));
  Put32(h, static_cast<uint32_t>(rate) * 2);
  Put16(h, 2);
  Put16(h, 16);
  h += "data";
  Put32(h, data_bytes);
  return h;
}

// One 16-bit PCM file's samples, mixed down to mono and read a block at a time.
class MonoStream {
 public:
  bool Open(const std::string& path) {
    in_.open(path, std::ios::binary);
    if (!in_) return false;
    in_.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in_.tellg());
    in_.seekg(0);
    char riff[12];
    if (size < 12 || !in_.read(riff, 12) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0)
      return false;
    int format = 0, bits = 0;
    uint64_t p = 12;
    while (p + 8 <= size) {
      char head[8];
      if (!in_.read(head, 8)) return false;
      uint64_t len = U32(head + 4);
      if (std::memcmp(head, "fmt ", 4) == 0 && len >= 16 && p + 8 + 16 <= size) {
        char fmt[16];
        if (!in_.read(fmt, 16)) return false;
        format = U16(fmt);
        channels_ = U16(fmt + 2);
        rate_ = static_cast<int>(U32(fmt + 4));
        bits = U16(fmt + 14);
      } else if (std::memcmp(head, "data", 4) == 0) {
        if (format != 1 || bits != 16 || channels_ <= 0 || rate_ <= 0) return false;
        const uint64_t avail = size - p - 8;
        if (len == 0 || len > avail) len = avail;  // a recorder that did not finish
        frames_ = len / (2u * static_cast<uint64_t>(channels_));
        return true;
      }
      if (len > size) return false;
      p += 8 + len + (len & 1);
      in_.seekg(static_cast<std::streamoff>(p));
    }
    return false;
  }

  int rate() const { return rate_; }
  uint64_t frames() const { return frames_; }

  // The next block of samples; empty at the end.
  const std::vector<int16_t>& NextBlock() {
    block_.clear();
    const uint64_t want = std::min<uint64_t>(frames_ - read_, 16384);
    if (want == 0) return block_;
    raw_.resize(static_cast<size_t>(want) * channels_);
    in_.read(reinterpret_cast<char*>(raw_.data()),
             static_cast<std::streamsize>(raw_.size() * sizeof(int16_t)));
    const size_t got = static_cast<size_t>(in_.gcount()) / (2u * channels_);
    read_ = got < want ? frames_ : read_ + got;  // a short read ends the file
    block_.resize(got);
    for (size_t f = 0; f < got; ++f) {
      int sum = 0;
      for (int c = 0; c < channels_; ++c) sum += raw_[f * channels_ + c];
      block_[f] = static_cast<int16_t>(sum / channels_);
    }
    return block_;
  }

 private:
  std::ifstream in_;
  int rate_ = 0, channels_ = 0;
  uint64_t frames_ = 0, read_ = 0;
  std::vector<int16_t> raw_, block_;
};

// speexdsp's resampler (with its low-pass filter) over a stream of `frames` samples: gives
// exactly frames * to / from samples, the filter's delay taken off the front.
class StreamResampler {
 public:
  StreamResampler(uint64_t frames, int from_rate, int to_rate)
      : want_(from_rate == to_rate || from_rate <= 0 || to_rate <= 0
                  ? frames
                  : static_cast<uint64_t>(static_cast<double>(frames) * to_rate / from_rate)) {
    if (want_ == frames) return;  // nothing to convert
    int err = 0;
    st_ = speex_resampler_init(1, static_cast<spx_uint32_t>(from_rate),
                               static_cast<spx_uint32_t>(to_rate), SPEEX_RESAMPLER_QUALITY_VOIP,
                               &err);
    if (st_) speex_resampler_skip_zeros(st_);
    out_.resize(16384);
  }
  ~StreamResampler() {
    if (st_) speex_resampler_destroy(st_);
  }
  StreamResampler(const StreamResampler&) = delete;
  StreamResampler& operator=(const StreamResampler&) = delete;

  // Hands each converted block to put(const int16_t*, size_t).
  template <class Put>
  void Feed(const int16_t* in, size_t n, Put&& put) {
    if (!st_) return Emit(in, n, put);
    while (n > 0 && given_ < want_) {
      spx_uint32_t in_len = static_cast<spx_uint32_t>(std::min<size_t>(n, 1u << 20));
      spx_uint32_t out_len = static_cast<spx_uint32_t>(out_.size());
      speex_resampler_process_int(st_, 0, in, &in_len, out_.data(), &out_len);
      Emit(out_.data(), out_len, put);
      in += in_len;
      n -= in_len;
    }
  }

  // After the last input: the filter's tail, up to the length promised.
  template <class Put>
  void Finish(Put&& put) {
    if (!st_) return;
    const std::vector<int16_t> zeros(static_cast<size_t>(speex_resampler_get_input_latency(st_)) + 1);
    for (int i = 0; i < 4 && given_ < want_; ++i) Feed(zeros.data(), zeros.size(), put);
  }

 private:
  template <class Put>
  void Emit(const int16_t* p, size_t n, Put& put) {
    n = static_cast<size_t>(std::min<uint64_t>(n, want_ - given_));
    if (n) put(p, n);
    given_ += n;
  }

  const uint64_t want_;
  uint64_t given_ = 0;
  SpeexResamplerState* st_ = nullptr;
  std::vector<int16_t> out_;
};

}  // namespace

bool ReadMono(const std::string& path, Audio* out) {
  MonoStream in;
  if (!in.Open(path)) return false;
  out->rate = in.rate();
  out->mono.clear();
  out->mono.reserve(static_cast<size_t>(in.frames()));
  for (const auto* b = &in.NextBlock(); !b->empty(); b = &in.NextBlock())
    out->mono.insert(out->mono.end(), b->begin(), b->end());
  return true;
}

std::vector<int16_t> Resample(const std::vector<int16_t>& in, int from_rate, int to_rate) {
  std::vector<int16_t> out;
  auto put = [&](const int16_t* p, size_t n) { out.insert(out.end(), p, p + n); };
  StreamResampler r(in.size(), from_rate, to_rate);
  r.Feed(in.data(), in.size(), put);
  r.Finish(put);
  return out;
}

bool WriteMono(const std::string& path, int rate, const std::vector<int16_t>& samples) {
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  FileReplacement file(path, FileAccess::kOwnerOnly);
  file.Write(WaveHeader(rate, data));
  file.Write({reinterpret_cast<const char*>(samples.data()), data});
  return file.Commit(false) == 0;
}

bool Concatenate(const std::vector<std::string>& inputs, const std::string& output, int rate) {
  // Streamed a block at a time: an hour-long conference is over 100 MB of input.
  constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;
  FileReplacement file(output, FileAccess::kOwnerOnly);
  file.Write(WaveHeader(rate, 0));
  std::vector<int16_t> block;
  block.reserve(16384);
  uint64_t written = 0;
  auto flush = [&] {
    file.Write({reinterpret_cast<const char*>(block.data()), block.size() * 2});
    written += block.size() * 2;
    block.clear();
  };
  auto put = [&](const int16_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (written + 2 * (block.size() + 1) > kMaxDataBytes) return;  // the format's limit
      block.push_back(p[i]);
      if (block.size() == block.capacity()) flush();
    }
  };
  bool any = false;
  for (const auto& path : inputs) {
    MonoStream in;
    if (!in.Open(path)) continue;
    any = true;
    StreamResampler r(in.frames(), in.rate(), rate);
    for (const auto* b = &in.NextBlock(); !b->empty(); b = &in.NextBlock())
      r.Feed(b->data(), b->size(), put);
    r.Finish(put);
  }
  if (!any) return false;
  flush();
  file.WriteAt(0, WaveHeader(rate, static_cast<uint32_t>(written)));
  return file.Commit(false) == 0;
}

}  // namespace velnaro::wav
