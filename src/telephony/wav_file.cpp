#include "telephony/wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

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
  std::string h = "RIFF";
  Put32(h, 36 + data);
  h += "WAVEfmt ";
  Put32(h, 16);
  Put16(h, 1);
  Put16(h, 1);
  Put32(h, static_cast<uint32_t>(rate));
  Put32(h, static_cast<uint32_t>(rate) * 2);
  Put16(h, 2);
  Put16(h, 16);
  h += "data";
  Put32(h, data);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(h.data(), static_cast<std::streamsize>(h.size()));
  out.write(reinterpret_cast<const char*>(samples.data()), data);
  return static_cast<bool>(out.flush());
}

bool Concatenate(const std::vector<std::string>& inputs, const std::string& output, int rate) {
  std::vector<int16_t> all;
  bool any = false;
  for (const auto& f : inputs) {
    Audio a;
    if (!ReadMono(f, &a)) continue;
    any = true;
    const auto r = Resample(a.mono, a.rate, rate);
    all.insert(all.end(), r.begin(), r.end());
  }
  return any && WriteMono(output, rate, all);
}

}  // namespace velnaro::wav
