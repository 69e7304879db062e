#pragma once
// Test helpers for the real SIP component: free loopback ports, a sipp child process, an
// event recorder that checks delivery on the owner thread, the local user behind the
// virtual sound card, a small RTP peer (PCMU and RFC 2833 events) and tone detection.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "telephony/linphone_sip_user_agent.h"
#include "telephony/virtual_sound_card.h"

namespace velnaro::test {

inline bool UdpFree(int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// An even port with the ports after it free too: `pairs` pairs of them, away from the fixed
// ranges of the program and below the kernel's ephemeral range, so that no socket opened
// later takes them by chance. Each pair is handed out once per process: a fixture asks
// for several before binding any.
inline int FreePortBlock(int pairs) {
  static std::mt19937 rng(static_cast<unsigned>(::getpid()) * 7919u +
                          static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  static std::set<int> given;
  for (int i = 0; i < 1000; ++i) {
    const int p = 20000 + 2 * static_cast<int>(rng() % (6380 - pairs));
    bool free = true;
    for (int q = p; free && q < p + 2 * pairs; q += 2)
      free = !given.count(q) && UdpFree(q) && UdpFree(q + 1);
    if (!free) continue;
    for (int q = p; q < p + 2 * pairs; q += 2) given.insert(q);
    return p;
  }
  return 0;
}

inline int FreePortPair() { return FreePortBlock(1); }

// Holds a UDP port busy on 127.0.0.1 while alive.
class BoundUdp {
 public:
  explicit BoundUdp(int port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~BoundUdp() { ::close(fd_); }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

inline std::string SippDir() { return std::string(VELNARO_SOURCE_DIR) + "/tests/telephony/sipp/"; }

using velnaro::testing::ReadWholeFile;

// sipp as a child process, its messages logged to a file.
class Sipp {
 public:
  Sipp(const std::string& dir, const std::string& scenario, int sip_port, int rtp_port,
       std::vector<std::string> extra = {}, int rtp_port2 = 0) {
    log_ = dir + "/sipp-" + std::to_string(sip_port) + ".log";
    // sipp's echo takes the media port and the one two above it (video).
    std::vector<std::string> args = {"sipp", "-sf", SippDir() + scenario, "-i", "127.0.0.1",
                                     "-p", std::to_string(sip_port), "-mi", "127.0.0.1",
                                     "-mp", std::to_string(FreePortBlock(2)), "-key", "rtpport",
                                     std::to_string(rtp_port), "-nostdin", "-aa", "-trace_msg",
                                     "-message_file", log_, "-timeout", "120"};
    if (rtp_port2) {  // registrar_uas.xml: media of calls to 800
      args.push_back("-set");
      args.push_back("rtpport2");
      args.push_back(std::to_string(rtp_port2));
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string out = dir + "/sipp-" + std::to_string(sip_port) + ".out";
    pid_ = ::fork();
    if (pid_ == 0) {
      int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close_range(3, ~0U, 0);  // the agent's sockets stay the agent's
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp("sipp", argv.data());
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it bind
  }
  ~Sipp() { Stop(); }

  // Waits for sipp to end by itself; its exit code, or -1 on timeout.
  int Wait(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void Stop() {
    velnaro::testing::TerminateChild(pid_, 2000);
    pid_ = -1;
  }
  std::string Messages() const { return ReadWholeFile(log_); }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

// Records events as text; checks each came on the owner thread, one at a time.
class EventLog : public SipUserAgentEvents {
 public:
  explicit EventLog(LinphoneSipUserAgent* agent = nullptr) : agent_(agent) {}
  void SetAgent(LinphoneSipUserAgent* a) { agent_ = a; }

  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool Has(const std::string& e) const {
    std::lock_guard lock(mutex_);
    for (auto& x : events_)
      if (x == e) return true;
    return false;
  }
  int Count(const std::string& e) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto& x : events_) n += x == e;
    return n;
  }
  // Waits until an event equal to e has arrived (or starts with e when prefix).
  bool WaitFor(const std::string& e, int ms = 10000, bool prefix = false) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (auto& x : events_)
        if (prefix ? x.rfind(e, 0) == 0 : x == e) return true;
      return false;
    });
  }
  std::string Find(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    for (auto& x : events_)
      if (x.rfind(prefix, 0) == 0) return x;
    return {};
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  int off_thread() const { return off_thread_.load(); }
  int overlapped() const { return overlapped_.load(); }

  // Called on the owner thread with each event; a test sets it while events arrive.
  void SetOnEvent(std::function<void(const std::string&)> f) {
    std::lock_guard lock(mutex_);
    on_event_ = std::move(f);
  }

  void OnTryingToUnRegister() override { Add("TryingToUnRegister"); }
  void OnSuccessToUnRegister() override { Add("SuccessToUnRegister"); }
  void OnTryingToRegister() override { Add("TryingToRegister"); }
  void OnFailToRegister() override { Add("FailToRegister"); }
  void OnSuccessToRegister() override { Add("SuccessToRegister"); }
  void OnFailToConnect(int l) override { Add("FailToConnect " + std::to_string(l)); }
  void OnConnecting(int l) override { Add("Connecting " + std::to_string(l)); }
  void OnIncomingCallRingingStart(const std::string& id) override { Add("RingingStart " + id); }
  void OnIncomingCallRingingStop(const std::string& id) override { Add("RingingStop " + id); }
  void OnDisconnectCall(int l) override { Add("Disconnect " + std::to_string(l)); }
  void OnGeneralFailureResponse(int l, int code, const std::string& phrase) override {
    Add("GeneralFailure " + std::to_string(l) + " " + std::to_string(code) + " " + phrase);
  }
  void OnSuccessToConnect(int l, const std::string&, int) override {
    Add("SuccessToConnect " + std::to_string(l));
  }
  void OnMsgNOTIFY(const std::string& msg) override { Add("MsgNOTIFY " + msg); }
  void OnCallRefused(const std::string& ip, const std::string& from) override {
    Add("CallRefused " + ip + "|" + from);
  }
  void OnIncomingCall(const std::string& id, const std::string& display, const std::string& user,
                      const std::string& from, const std::string& to) override {
    Add("IncomingCall " + id + "|" + display + "|" + user + "|" + from + "|" + to);
  }

 private:
  void Add(const std::string& e) {
    if (inside_.fetch_add(1) != 0) ++overlapped_;
    if (agent_ && !agent_->OnOwnerThread()) ++off_thread_;
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard lock(mutex_);
      hook = on_event_;
    }
    if (hook) hook(e);
    {
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    }
    cv_.notify_all();
    inside_.fetch_sub(1);
  }

  LinphoneSipUserAgent* agent_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  std::function<void(const std::string&)> on_event_;
  std::atomic<int> inside_{0}, off_thread_{0}, overlapped_{0};
};

// --- audio ---

// The local user behind the agent's virtual sound card while alive: speaks a tone (0 is
// silence) and keeps what the card plays (up to ten minutes at 16 kHz).
class TestSound {
 public:
  explicit TestSound(int tone_hz = 0) : device_(std::make_shared<Device>()) {
    SetTone(tone_hz);
    virtual_sound::SetDevice(device_);
  }
  ~TestSound() { virtual_sound::SetDevice(nullptr); }
  TestSound(const TestSound&) = delete;
  TestSound& operator=(const TestSound&) = delete;

  void SetTone(int hz) { device_->hz = hz; }
  // Whether the card has been capturing (a call's sound goes through it).
  bool InUse() const { return device_->captured > 0; }
  // The samples played so far and their rate; clears them.
  std::vector<short> TakePlayed(int* rate) {
    std::lock_guard lock(device_->mutex);
    if (rate) *rate = device_->played_rate;
    std::vector<short> out;
    out.swap(device_->played);
    return out;
  }

 private:
  struct Device : virtual_sound::Device {
    void Capture(uint64_t position, int rate, int16_t* out, size_t n) override {
      ++captured;
      const int tone = hz.load();
      for (size_t i = 0; i < n; ++i)
        out[i] = tone > 0 ? static_cast<int16_t>(8000.0 * std::sin(2 * M_PI * tone *
                                                                   double(position + i) / rate))
                          : 0;
    }
    void Play(int rate, const int16_t* in, size_t n) override {
      constexpr size_t kKeepLimit = 16000 * 600;
      std::lock_guard lock(mutex);
      played_rate = rate;
      for (size_t i = 0; i < n && played.size() < kKeepLimit; ++i) played.push_back(in[i]);
    }
    std::atomic<int> hz{0};
    std::atomic<uint64_t> captured{0};
    std::mutex mutex;
    std::vector<short> played;
    int played_rate = 8000;
  };
  std::shared_ptr<Device> device_;
};


inline uint8_t LinearToUlaw(int16_t pcm) {
  const int kBias = 0x84, kClip = 32635;
  int sign = (pcm >> 8) & 0x80;
  int s = pcm;
  if (sign) s = -s;
  if (s > kClip) s = kClip;
  s += kBias;
  int exponent = 7;
  for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
  int mantissa = (s >> (exponent + 3)) & 0x0F;
  return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

inline int16_t UlawToLinear(uint8_t u) {
  u = static_cast<uint8_t>(~u);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return static_cast<int16_t>((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

// Share of the signal's energy at frequency hz (about 1 for a pure tone), over blocks of
// 100 ms that carry sound; 0 when nothing audible.
inline double ToneShare(const std::vector<int16_t>& x, int rate, double hz) {
  const size_t n = static_cast<size_t>(rate / 10);
  double share = 0;
  int blocks = 0;
  for (size_t start = 0; start + n <= x.size(); start += n) {
    double energy = 0;
    for (size_t i = 0; i < n; ++i) energy += double(x[start + i]) * x[start + i];
    if (energy / n < 100.0 * 100.0) continue;  // quieter than about -50 dBFS
    const double w = 2 * M_PI * hz / rate;
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
      const double s0 = x[start + i] + 2 * std::cos(w) * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    share += power / (n / 2.0 * energy);
    ++blocks;
  }
  return blocks ? share / blocks : 0;
}

struct Wav {
  int rate = 0, channels = 0, bits = 0;
  std::vector<int16_t> samples;  // first channel
};

inline bool ReadWav(const std::string& path, Wav* out) {
  const std::string d = ReadWholeFile(path);
  if (d.size() < 12 || d.compare(0, 4, "RIFF") != 0 || d.compare(8, 4, "WAVE") != 0) return false;
  auto u32 = [&](size_t o) { uint32_t v; std::memcpy(&v, d.data() + o, 4); return v; };
  auto u16 = [&](size_t o) { uint16_t v; std::memcpy(&v, d.data() + o, 2); return v; };
  size_t p = 12;
  bool fmt = false;
  while (p + 8 <= d.size()) {
    const std::string id = d.substr(p, 4);
    size_t len = u32(p + 4);
    if (id == "fmt ") {
      out->channels = u16(p + 10);
      out->rate = static_cast<int>(u32(p + 12));
      out->bits = u16(p + 22);
      fmt = true;
    } else if (id == "data" && fmt && out->bits == 16 && out->channels > 0) {
      len = std::min(len, d.size() - p - 8);
      const size_t frames = len / (2 * out->channels);
      out->samples.resize(frames);
      for (size_t i = 0; i < frames; ++i)
        std::memcpy(&out->samples[i], d.data() + p + 8 + i * 2 * out->channels, 2);
      return true;
    }
    p += 8 + len + (len & 1);
  }
  return false;
}

// A far end's media: sends PCMU (a tone or silence) to the agent every 20 ms from its own
// port, keeps what it receives (PCMU decoded, RFC 2833 digits).
class RtpPeer {
 public:
  explicit RtpPeer(int port, int tone_hz = 0) : port_(port), tone_hz_(tone_hz) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval tv{0, 5000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { Run(); });
  }
  ~RtpPeer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  // Where to send: the agent's media port for this call.
  void SendTo(int port) { target_ = port; }

  std::vector<int16_t> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
  }
  std::string Digits() {
    std::lock_guard lock(mutex_);
    return digits_;
  }
  int packets() const { return packets_.load(); }

 private:
  void Run() {
    uint16_t seq = 1;
    uint32_t ts = 0;
    double phase = 0;
    auto next = std::chrono::steady_clock::now();
    uint32_t last_event_ts = 0xFFFFFFFF;
    while (!stop_) {
      uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      ssize_t n;
      while ((n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                             &flen)) > 12) {
        ++packets_;
        const int pt = buf[1] & 0x7F;
        uint32_t rts;
        std::memcpy(&rts, buf + 4, 4);
        rts = ntohl(rts);
        const size_t hdr = 12 + 4 * (buf[0] & 0x0F);
        std::lock_guard lock(mutex_);
        if (pt == 0) {
          for (ssize_t i = static_cast<ssize_t>(hdr); i < n; ++i) received_.push_back(UlawToLinear(buf[i]));
        } else if (pt == 101 && n >= static_cast<ssize_t>(hdr) + 4) {
          const bool end = buf[hdr + 1] & 0x80;
          if (end && rts != last_event_ts) {
            last_event_ts = rts;
            static const char* kDigits = "0123456789*#ABCD";
            if (buf[hdr] < 16) digits_ += kDigits[buf[hdr]];
          }
        }
      }
      if (std::chrono::steady_clock::now() >= next) {
        next += std::chrono::milliseconds(20);
        if (target_ > 0) {
          uint8_t pkt[12 + 160];
          pkt[0] = 0x80;
          pkt[1] = 0;
          const uint16_t nseq = htons(seq++);
          const uint32_t nts = htonl(ts);
          const uint32_t ssrc = htonl(0x1234u + static_cast<uint32_t>(port_));
          std::memcpy(pkt + 2, &nseq, 2);
          std::memcpy(pkt + 4, &nts, 4);
          std::memcpy(pkt + 8, &ssrc, 4);
          ts += 160;
          for (int i = 0; i < 160; ++i) {
            int16_t v = 0;
            if (tone_hz_ > 0) {
              v = static_cast<int16_t>(8000 * std::sin(phase));
              phase += 2 * M_PI * tone_hz_ / 8000.0;
            }
            pkt[12 + i] = LinearToUlaw(v);
          }
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_port = htons(static_cast<uint16_t>(target_.load()));
          to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          ::sendto(fd_, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  int port_;
  int tone_hz_;
  int fd_ = -1;
  std::atomic<int> target_{0};
  std::atomic<bool> stop_{false};
  std::atomic<int> packets_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int16_t> received_;
  std::string digits_;
};

}  // namespace velnaro::test
