#pragma once
// Real SIP peers on 127.0.0.1 for end-to-end tests, each a child process whose generated
// configuration lives in the test's folder:
// - SipProxy: kamailio as proxy and registrar. Digest authentication for REGISTER and
//   for new dialogs, checked against a file-based subscriber table; every message it
//   receives or sends is kept in its trace.
// - Softphone: baresip registered through the proxy. It answers calls by itself, plays a
//   tone from a file, keeps what it hears in WAV files and reports its calls on its TCP
//   control port (JSON in netstrings).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sip_test_support.h"
#include "support/child_process.h"
#include "support/test_support.h"
#include "telephony/wav_file.h"

namespace velnaro::test {

struct SipAccount {
  std::string user;
  std::string password;
};

// One message as the proxy saw it: received (from the given port) or sent.
struct TracedMessage {
  bool received = false;
  int src_port = 0;
  std::string proto;  // udp, tcp, tls
  std::string text;  // start line, headers and body

  std::string StartLine() const { return text.substr(0, text.find("\r\n")); }
  bool IsRequest(const std::string& method) const { return text.rfind(method + " sip:", 0) == 0; }
  bool IsReplyTo(const std::string& method) const {
    return text.rfind("SIP/2.0 ", 0) == 0 && Header("CSeq").find(" " + method) != std::string::npos;
  }
  // The first header of that name (value only), empty when absent.
  std::string Header(const std::string& name) const {
    const std::string key = "\r\n" + name + ":";
    const size_t p = text.find(key);
    if (p == std::string::npos) return {};
    size_t v = p + key.size();
    while (v < text.size() && text[v] == ' ') ++v;
    return text.substr(v, text.find("\r\n", v) - v);
  }
  std::string Body() const {
    const size_t p = text.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : text.substr(p + 4);
  }
};

// A test CA and server certificates that openssl makes in `dir`, each named by why a
// check refuses it: "good" (for 127.0.0.1), "wrong-name", "expired", "untrusted" (another CA).
struct TestCertificates {
  explicit TestCertificates(const std::string& dir) : dir_(dir + "/certs") {
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/make") << R"(set -e; k="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
issue() { openssl req -x509 $k -days 2 -subj /CN=$2 -addext subjectAltName=DNS:$2 $3 -keyout $1.key -out $1.pem; }
issue ca ca; issue other other; issue good 127.0.0.1 "-CA ca.pem -CAkey ca.key"
issue wrong-name wrong.example "-CA ca.pem -CAkey ca.key"; issue untrusted 127.0.0.1 "-CA other.pem -CAkey other.key"
printf '[d]\ndatabase=index\nnew_certs_dir=.\ndefault_md=sha256\npolicy=p\nrand_serial=yes\ncopy_extensions=copy\n[p]\ncommonName=supplied\n' >cnf; : >index
openssl req $k -subj /CN=127.0.0.1 -addext subjectAltName=DNS:127.0.0.1 -keyout expired.key -out csr
openssl ca -batch -config cnf -name d -cert ca.pem -keyfile ca.key -in csr -out expired.pem -startdate 20200101000000Z -enddate 20200201000000Z)";
    ok_ = std::system(("cd " + dir_ + " && bash make >log 2>&1").c_str()) == 0;
  }
  bool ok() const { return ok_; }
  std::string cert(const std::string& name) const { return dir_ + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return dir_ + "/" + name + ".key"; }
  std::string dir_;
  bool ok_ = false;
};

// What the proxy listens on besides UDP, on the same port: "tcp" or "tls" (with these);
// udp_address, a further local address for UDP.
struct ProxyListener {
  std::string transport, cert, key, udp_address;
};

class SipProxy {
 public:
  // On `port` when given (a namespace of the test's own), else on a free one.
  SipProxy(const std::string& dir, const std::vector<SipAccount>& accounts,
           ProxyListener listener)
      : SipProxy(dir, accounts, 0, std::move(listener)) {}
  explicit SipProxy(const std::string& dir, const std::vector<SipAccount>& accounts, int port = 0,
                    ProxyListener listener = {})
      : dir_(dir + "/proxy"), listener_(std::move(listener)) {
    std::filesystem::create_directories(dir_ + "/db");
    std::filesystem::create_directories(dir_ + "/trace");
    std::filesystem::create_directories(dir_ + "/run");
    std::ofstream(dir_ + "/db/version") << "id(int,auto) table_name(string) table_version(int) \n"
                                           "0:subscriber:7\n";
    std::ofstream subscribers(dir_ + "/db/subscriber");
    subscribers << "id(int,auto) username(string) domain(string) password(string) "
                   "ha1(string,null) ha1b(string,null) \n";
    int id = 0;
    for (const auto& a : accounts)
      subscribers << ++id << ":" << a.user << ":127.0.0.1:" << a.password << ":::\n";
    subscribers.close();
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
      port_ = port ? port : FreePortPair();
      WriteConfig();
      Launch();
    }
  }

  // Stopped, and started again on the same port after `down`, its registrations gone; the
  // trace so far is put aside.
  bool Restart(std::chrono::milliseconds down) {
    process_.Stop();
    velnaro::testing::WaitUntil([&] { return UdpFree(port_); }, 5000);
    std::this_thread::sleep_for(down);
    std::filesystem::rename(dir_ + "/trace", dir_ + "/trace-" + std::to_string(++restarts_));
    std::filesystem::create_directories(dir_ + "/trace");
    Launch();
    return ready_;
  }

  bool ok() const { return ready_; }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Log() const { return velnaro::testing::ReadWholeFile(dir_ + "/kamailio.log"); }

  // Every message so far, in the order the proxy handled them. A process of its own
  // writes the trace, so it may lag a moment behind the traffic.
  std::vector<TracedMessage> Trace() const {
    std::vector<TracedMessage> out;
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_ + "/trace", ec))
      if (e.path().extension() == ".data") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      const std::string all = velnaro::testing::ReadWholeFile(f);
      const std::string head = "====================\n", sep = "~~~~~~~~~~~~~~~~~~~~\n",
                        end = "||||||||||||||||||||\n";
      for (size_t p = all.find(head); p != std::string::npos; p = all.find(head, p + 1)) {
        const size_t body = all.find(sep, p), stop = all.find(end, p);
        if (body == std::string::npos || stop == std::string::npos || body > stop) break;
        const std::string meta = all.substr(p, body - p);
        TracedMessage m;
        m.received = meta.find("tag: rcv") != std::string::npos;
        const size_t sp = meta.find("srcport: ");
        if (sp != std::string::npos) m.src_port = std::atoi(meta.c_str() + sp + 9);
        const size_t pr = meta.find("proto: ");
        if (pr != std::string::npos)
          m.proto = meta.substr(pr + 7, meta.find_first_of(" \n", pr + 7) - pr - 7);
        m.text = all.substr(body + sep.size(), stop - body - sep.size());
        out.push_back(std::move(m));
      }
    }
    return out;
  }
  // The trace as text, for failure messages.
  std::string TraceText() const {
    std::string s;
    for (const auto& m : Trace())
      s += std::string(m.received ? "<<< from " + std::to_string(m.src_port) : ">>> sent") +
           "\n" + m.text + "\n";
    return s;
  }

 private:
  // In-dialog requests follow the recorded route to the address in the dialog's Contact,
  // as a stock proxy does: a GRUU there would be taken for a host name. New requests must
  // authenticate: REGISTER as the account it registers, everything else as its From user.
  void WriteConfig() {
    std::string cfg = R"cfg(#!KAMAILIO
debug=2
log_stderror=yes
children=2
disable_tcp=no
auto_aliases=no
listen=udp:127.0.0.1:@PORT@
@LISTEN@

loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "siputils.so"
loadmodule "textops.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "db_text.so"
loadmodule "auth.so"
loadmodule "auth_db.so"
loadmodule "sipdump.so"
@TLSMOD@

modparam("usrloc", "db_mode", 0)
modparam("auth_db", "db_url", "text://@DIR@/db")
modparam("auth_db", "calculate_ha1", yes)
modparam("auth_db", "password_column", "password")
modparam("auth_db", "load_credentials", "")
modparam("sipdump", "enable", 1)
modparam("sipdump", "folder", "@DIR@/trace")
modparam("sipdump", "rotate", 86400)

request_route {
  if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
  if (has_totag()) {
    if (loose_route()) {
      t_relay();
      exit;
    }
    if (is_method("ACK")) { if (t_check_trans()) t_relay(); exit; }
    sl_send_reply("404", "Not here");
    exit;
  }
  if (is_method("CANCEL")) { if (t_check_trans()) t_relay(); exit; }
  t_check_trans();
  if (is_method("REGISTER")) {
    if (!www_authorize("$td", "subscriber")) { www_challenge("$td", "0"); exit; }
    if ($au != $tU) { sl_send_reply("403", "Forbidden"); exit; }
    consume_credentials();
    save("location");
    exit;
  }
  if (!proxy_authorize("$fd", "subscriber")) { proxy_challenge("$fd", "0"); exit; }
  if ($au != $fU) { sl_send_reply("403", "Forbidden"); exit; }
  consume_credentials();
  if (is_method("INVITE")) record_route();
  if (!lookup("location")) { sl_send_reply("404", "Not Found"); exit; }
  t_relay();
}
)cfg";
    const bool tls = listener_.transport == "tls";
    Replace(cfg, "@LISTEN@", (listener_.udp_address.empty() ? "" : "mhomed=1\nlisten=udp:" +
                                  listener_.udp_address + ":@PORT@\n") +
                             (listener_.transport.empty() ? "" : "listen=" + listener_.transport +
                              ":127.0.0.1:@PORT@\n" + (tls ? "enable_tls=yes" : "")));
    Replace(cfg, "@TLSMOD@", tls ? "loadmodule \"tls.so\"\nmodparam(\"tls\", \"tls_method\", \"TLSv1.2+\")\n"
                                   "modparam(\"tls\", \"certificate\", \"" +
                                       listener_.cert + "\")\nmodparam(\"tls\", \"private_key\", \"" +
                                       listener_.key + "\")" : "");
    Replace(cfg, "@PORT@", std::to_string(port_));
    Replace(cfg, "@DIR@", dir_);
    std::ofstream(dir_ + "/kamailio.cfg") << cfg;
  }

  void Launch() {
    process_.Start({"kamailio", "-f", dir_ + "/kamailio.cfg", "-DD", "-E", "-Y", dir_ + "/run",
                    "-m", "32", "-M", "4"},
                   {}, dir_ + "/kamailio.log");
    ready_ = velnaro::testing::WaitUntil([&] { return !UdpFree(port_) || !process_.Running(); },
                                         5000) &&
             process_.Running();
    if (!ready_) process_.Stop();
    if (ready_ && !listener_.transport.empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  static void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + with.size()))
      text.replace(p, what.size(), with);
  }

  std::string dir_;
  ProxyListener listener_;
  int port_ = 0, restarts_ = 0;
  bool ready_ = false;
  velnaro::testing::Child process_;
};

// One event the softphone reported: its type (CALL_ESTABLISHED, CALL_DTMF_START, ...) and
// parameter.
struct SoftphoneEvent {
  std::string type;
  std::string param;
};

// The softphone's codecs, in its order, and its media encryption ("srtp", "srtp-mand").
struct SoftphoneMedia {
  std::string codecs = "PCMU";
  std::string encryption;
};

class Softphone {
 public:
  // Registers account at the proxy and sends a sine of tone_hz in every call; answers at
  // once, or lets calls ring until "accept".
  Softphone(const std::string& dir, const SipProxy& proxy, const SipAccount& account, int tone_hz,
            const SoftphoneMedia& media)
      : Softphone(dir, proxy, account, tone_hz, true, media) {}
  Softphone(const std::string& dir, const SipProxy& proxy, const SipAccount& account, int tone_hz,
            bool answer = true, const SoftphoneMedia& media = {})
      : dir_(dir + "/softphone-" + account.user), account_(account), proxy_(proxy.host()) {
    std::filesystem::create_directories(dir_ + "/sound");
    for (int attempt = 0; attempt < 3 && fd_ < 0; ++attempt) {
      sip_port_ = FreePortPair();
      ctrl_port_ = velnaro::testing::FreeLoopbackPort();
      const int rtp = FreePortBlock(21);  // its media takes any port of rtp_ports
      std::ofstream(dir_ + "/config")
          << "poll_method epoll\n"
          << "sip_listen 127.0.0.1:" << sip_port_ << "\n"
          << "net_interface 127.0.0.1\n"
          << "rtp_ports " << rtp << "-" << rtp + 40 << "\n"
          << "call_local_timeout 120\n"
          // Its sine source works in 48 kHz stereo alone, resampled for any other codec.
          << (media.codecs.find("opus") == std::string::npos
                  ? "audio_source aufile," + ToneFile(tone_hz)
                  : "audio_source ausine," + std::to_string(tone_hz) + "\nausrc_srate 48000\nausrc_channels 2") << "\n"
          // No sound device: what it hears goes to the bridge (dropped) and, through the
          // sound-file filter, to WAV files.
          << "audio_player aubridge,nowhere\naudio_alert aubridge,nowhere\n"
          << "module_path /usr/lib/baresip/modules\n"
          << "module g711.so\nmodule g722.so\nmodule opus.so\nmodule srtp.so\nmodule ausine.so\n"
          << "module aufile.so\nmodule aubridge.so\nmodule sndfile.so\n"
          << "module_tmp account.so\nmodule_app menu.so\nmodule_app ctrl_tcp.so\n"
          << "ctrl_tcp_listen 127.0.0.1:" << ctrl_port_ << "\n"
          << "snd_path " << dir_ << "/sound\n";
      std::ofstream(dir_ + "/accounts")
          << "<sip:" << account.user << "@" << proxy_ << ">;auth_pass=" << account.password
          << ";answermode=" << (answer ? "auto" : "manual") << ";regint=600;audio_codecs="
          << media.codecs << (media.encryption.empty() ? "" : ";mediaenc=" + media.encryption)
          << "\n";
      process_.Start({"baresip", "-f", dir_}, {{"HOME", dir_}}, dir_ + "/baresip.log");
      velnaro::testing::WaitUntil(
          [&] { return Connect() || !process_.Running(); }, 5000);
      if (fd_ < 0) process_.Stop();
    }
    if (fd_ >= 0) reader_ = std::thread([this] { Read(); });
  }
  ~Softphone() { Stop(); }
  Softphone(const Softphone&) = delete;
  Softphone& operator=(const Softphone&) = delete;

  void Stop() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    process_.Stop();
  }

  bool ok() const { return fd_ >= 0; }
  pid_t pid() const { return process_.pid(); }
  int sip_port() const { return sip_port_; }
  std::string uri() const { return "sip:" + account_.user + "@" + proxy_; }
  std::string Log() const { return velnaro::testing::ReadWholeFile(dir_ + "/baresip.log"); }

  // Runs a command of its menu ("dial", "hangup", "reginfo", ...) and returns the
  // answer's text; empty when none came within 5 s.
  std::string Command(const std::string& command, const std::string& params = "") {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    const std::string token = std::to_string(++token_);
    w.StartObject();
    w.Key("command");
    w.String(command.c_str());
    if (!params.empty()) {
      w.Key("params");
      w.String(params.c_str());
    }
    w.Key("token");
    w.String(token.c_str());
    w.EndObject();
    const std::string json = buf.GetString();
    const std::string frame = std::to_string(json.size()) + ":" + json + ",";
    if (fd_ < 0 ||
        ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
      return {};
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return answers_.count(token) > 0; });
    return answers_.count(token) ? answers_[token] : std::string();
  }

  bool WaitRegistered(int ms = 10000) {
    return velnaro::testing::WaitUntil(
        [&] { return Command("reginfo").find("OK ") != std::string::npos; }, ms);
  }

  std::vector<SoftphoneEvent> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // Waits for an event of that type (and parameter, when given).
  bool WaitFor(const std::string& type, int ms = 10000, const std::string& param = {}) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return Has(type, param); });
  }
  int Count(const std::string& type) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : events_) n += e.type == type;
    return n;
  }
  std::string Dump() const {
    std::string s;
    for (const auto& e : Events()) s += e.type + " " + e.param + "\n";
    return s;
  }

  // What it heard in its latest call so far (the decoder side of the sound-file filter,
  // which writes one file per call and stream).
  wav::Audio Heard() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_ + "/sound", ec))
      if (e.path().filename().string().find("-dec.wav") != std::string::npos)
        files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    wav::Audio audio;
    if (!files.empty()) wav::ReadMono(files.back(), &audio);
    return audio;
  }
  // Share of a tone in the last second it heard, two seconds from now.
  double Hears(int hz) const {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const wav::Audio heard = Heard();
    const auto second = std::min(heard.mono.size(), static_cast<size_t>(heard.rate));
    return ToneShare({heard.mono.end() - second, heard.mono.end()}, heard.rate, hz);
  }

 private:
  // Two minutes of the tone at 8 kHz, for calls without Opus.
  std::string ToneFile(int hz) const {
    const std::string path = dir_ + "/tone.wav";
    std::vector<int16_t> samples(8000 * 120);
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * double(i) / 8000));
    wav::WriteMono(path, 8000, samples);
    return path;
  }

  bool Connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(ctrl_port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return false;
    }
    fd_ = fd;
    return true;
  }

  bool Has(const std::string& type, const std::string& param) const {
    for (const auto& e : events_)
      if (e.type == type && (param.empty() || e.param == param)) return true;
    return false;
  }

  // Netstrings "<length>:<json>," until the connection closes.
  void Read() {
    std::string buf;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(fd_, chunk, sizeof chunk, 0)) > 0) {
      buf.append(chunk, static_cast<size_t>(n));
      for (;;) {
        const size_t colon = buf.find(':');
        if (colon == std::string::npos) break;
        const size_t len = std::strtoul(buf.c_str(), nullptr, 10);
        if (buf.size() < colon + 1 + len + 1) break;
        Handle(buf.substr(colon + 1, len));
        buf.erase(0, colon + 1 + len + 1);
      }
    }
  }

  void Handle(const std::string& json) {
    rapidjson::Document d;
    if (d.Parse(json.c_str()).HasParseError() || !d.IsObject()) return;
    auto text = [&](const char* key) {
      return d.HasMember(key) && d[key].IsString() ? std::string(d[key].GetString())
                                                    : std::string();
    };
    {
      std::lock_guard lock(mutex_);
      if (d.HasMember("response"))
        answers_[text("token")] = text("data");
      else if (d.HasMember("event"))
        events_.push_back({text("type"), text("param")});
    }
    cv_.notify_all();
  }

  std::string dir_;
  SipAccount account_;
  std::string proxy_;
  int sip_port_ = 0, ctrl_port_ = 0;
  int fd_ = -1;
  int token_ = 0;
  velnaro::testing::Child process_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::string> answers_;
  std::vector<SoftphoneEvent> events_;
};

}  // namespace velnaro::test
