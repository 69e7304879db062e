#include "telephony/wav_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/atomic_file.h"

namespace velnaro::wav {
namespace {

uint32_t U32(const std::string& d, size_t o) {
  uint32_t v;
  std::memcpy(&v, d.data() + o, 4);
  return v;
}
uint16_t U16(const std::string& d, size_t o) {
  uint16_t v;
  std::memcpy(&v, d.data() + o, 2);
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

}  // namespace

bool ReadMono(const std::string& path, Audio* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (d.size() < 12 || d.compare(0, 4, "RIFF") != 0 || d.compare(8, 4, "WAVE") != 0) return false;
  int channels = 0, bits = 0, format = 0;
  size_t p = 12;
  while (p + 8 <= d.size()) {
    const std::string id = d.substr(p, 4);
    size_t len = U32(d, p + 4);
    if (id == "fmt " && len >= 16 && p + 8 + 16 <= d.size()) {
      format = U16(d, p + 8);
      channels = U16(d, p + 10);
      out->rate = static_cast<int>(U32(d, p + 12));
      bits = U16(d, p + 22);
    } else if (id == "data") {
      if (format != 1 || bits != 16 || channels <= 0 || out->rate <= 0) return false;
      const size_t avail = d.size() - p - 8;
      if (len == 0 || len > avail) len = avail;
      const size_t frames = len / (2u * static_cast<size_t>(channels));
      out->mono.resize(frames);
      const char* base = d.data() + p + 8;
      for (size_t f = 0; f < frames; ++f) {
        int sum = 0;
        for (int c = 0; c < channels; ++c) {
          int16_t v;
          std::memcpy(&v, base + (f * channels + c) * 2, 2);
          sum += v;
        }
        out->mono[f] = static_cast<int16_t>(sum / channels);
      }
      return true;
    }
    if (len > d.size()) return false;
    p += 8 + len + (len & 1);
  }
  return false;
}

std::vector<int16_t> Resample(const std::vector<int16_t>& in, int from_rate, int to_rate) {
  if (from_rate == to_rate || in.empty() || from_rate <= 0 || to_rate <= 0) return in;
  const size_t n = static_cast<size_t>(static_cast<double>(in.size()) * to_rate / from_rate);
  std::vector<int16_t> out(n);
  const double step = static_cast<double>(from_rate) / to_rate;
  for (size_t i = 0; i < n; ++i) {
    const double pos = i * step;
    const size_t k = static_cast<size_t>(pos);
    const double frac = pos - k;
    const int a = in[std::min(k, in.size() - 1)];
    const int b = in[std::min(k + 1, in.size() - 1)];
    out[i] = static_cast<int16_t>(a + (b - a) * frac);
  }
  return out;
}

bool WriteMono(const std::string& path, int rate, const std::vector<int16_t>& samples) {
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  const std::string h = WaveHeader(rate, data);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(h.data(), static_cast<std::streamsize>(h.size()));
  out.write(reinterpret_cast<const char*>(samples.data()), data);
  return static_cast<bool>(out.flush());
}

namespace {

// One input file's samples, mixed down to mono and read a block at a time.
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
      const std::string id(head, 4);
      uint64_t len;
      {
        uint32_t v;
        std::memcpy(&v, head + 4, 4);
        len = v;
      }
      if (id == "fmt " && len >= 16 && p + 8 + 16 <= size) {
        char fmt[16];
        if (!in_.read(fmt, 16)) return false;
        const std::string f(fmt, 16);
        format = U16(f, 0);
        channels_ = U16(f, 2);
        rate_ = static_cast<int>(U32(f, 4));
        bits = U16(f, 14);
      } else if (id == "data") {
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

  // The next sample; past the end, the last one again.
  int16_t Next() {
    if (at_ == block_.size()) Fill();
    if (at_ < block_.size()) last_ = block_[at_++];
    return last_;
  }

 private:
  void Fill() {
    block_.clear();
    at_ = 0;
    const uint64_t want = std::min<uint64_t>(frames_ - read_, 16384);
    if (want == 0) return;
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
  }

  std::ifstream in_;
  int rate_ = 0, channels_ = 0;
  uint64_t frames_ = 0, read_ = 0;
  std::vector<int16_t> raw_, block_;
  size_t at_ = 0;
  int16_t last_ = 0;
};


}  // namespace

bool Concatenate(const std::vector<std::string>& inputs, const std::string& output, int rate) {
  // Streamed a block at a time: an hour-long conference is over 100 MB of input.
  constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;
  FileReplacement file(output, FileAccess::kUsual);
  file.Write(WaveHeader(rate, 0));
  std::vector<int16_t> block;
  block.reserve(16384);
  uint64_t written = 0;
  auto put = [&](int16_t v) {
    if (written + 2 * (block.size() + 1) > kMaxDataBytes) return;  // the format's limit
    block.push_back(v);
    if (block.size() == block.capacity()) {
      file.Write({reinterpret_cast<const char*>(block.data()), block.size() * 2});
      written += block.size() * 2;
      block.clear();
    }
  };
  bool any = false;
  for (const auto& path : inputs) {
    MonoStream in;
    if (!in.Open(path)) continue;
    any = true;
    const uint64_t frames = in.frames();
    if (frames == 0) continue;
    if (in.rate() == rate) {
      for (uint64_t i = 0; i < frames; ++i) put(in.Next());
      continue;
    }
    // Linear interpolation between the two input samples around each output instant.
    const uint64_t n = static_cast<uint64_t>(static_cast<double>(frames) * rate / in.rate());
    const double step = static_cast<double>(in.rate()) / rate;
    int16_t a = in.Next();
    int16_t b = frames > 1 ? in.Next() : a;
    uint64_t ka = 0;  // a is input sample ka, b is sample min(ka + 1, frames - 1)
    for (uint64_t i = 0; i < n; ++i) {
      const double pos = static_cast<double>(i) * step;
      const uint64_t k = std::min<uint64_t>(static_cast<uint64_t>(pos), frames - 1);
      while (ka < k) {
        ++ka;
        a = b;
        if (ka + 1 < frames) b = in.Next();
      }
      const double frac = pos - static_cast<double>(k);
      put(static_cast<int16_t>(a + (b - a) * frac));
    }
  }
  if (!any) return false;
  file.Write({reinterpret_cast<const char*>(block.data()), block.size() * 2});
  written += block.size() * 2;
  file.WriteAt(0, WaveHeader(rate, static_cast<uint32_t>(written)));
  return file.Commit(false) == 0;
}

}  // namespace velnaro::wav
