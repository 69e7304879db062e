#include "provisioning/machine_config.h"

#include <ini.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "net/port_number.h"
#include "net/web_origin.h"
#include "platform/support_log.h"

namespace velnaro {

namespace {

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// An absolute http or https address with something after the scheme, in one piece.
bool IsServiceAddress(std::string_view url) {
  size_t scheme = WebSchemeLength(url);
  if (scheme == 0 || url.size() == scheme || url[scheme] == '/') return false;
  return std::none_of(url.begin(), url.end(),
                      [](unsigned char c) { return c <= ' ' || c == 0x7f; });
}

// true/1 or false/0, letter case aside.
std::optional<bool> ParseSwitch(std::string_view value) {
  std::string v = AsciiLower(value);
  if (v == "true" || v == "1") return true;
  if (v == "false" || v == "0") return false;
  return std::nullopt;
}

// inih hands over one line per call; this reader serves them from memory and counts them,
// so that each setting can be reported with its line. A line longer than inih's buffer is
// left out whole rather than cut into a shorter, wrong value.
struct LineSource {
  std::string_view text;
  size_t pos = 0;
  int line = 0;
  size_t longest = 0;  // the longest line inih takes, without its end
  std::vector<int> too_long;
};

char* NextLine(char* buffer, int size, void* stream) {
  auto& src = *static_cast<LineSource*>(stream);
  if (src.pos >= src.text.size() || size < 2) return nullptr;
  size_t end = src.text.find('\n', src.pos);
  size_t next = end == std::string_view::npos ? src.text.size() : end + 1;
  std::string_view line = src.text.substr(src.pos, next - src.pos);
  src.pos = next;
  ++src.line;
  src.longest = static_cast<size_t>(size - 2);
  if (line.size() > static_cast<size_t>(size - 1)) {
    src.too_long.push_back(src.line);
    line = "\n";
  }
  std::memcpy(buffer, line.data(), line.size());
  buffer[line.size()] = '\0';
  return buffer;
}

class Settings {
 public:
  Settings(const std::string& origin, const LineSource& source, const ConfigProblemSink& report)
      : origin_(origin), source_(source), report_(report) {}

  void Take(std::string_view section, std::string_view name, std::string_view value) {
    if (!section.empty()) {
      Problem("settings go at the top of the file, not in [" + std::string(section) + "]; " +
              std::string(name) + " is ignored");
      return;
    }
    std::string key = AsciiLower(name);
    // AllowedOrigins may go on over several lines; any other key counts once.
    if (key != "allowedorigins" && !seen_.insert(key).second)
      Problem(std::string(name) + " is set more than once; the last value counts");
    if (key == "serviceurl") {
      if (IsServiceAddress(value))
        config.ServiceURL = value;
      else
        Problem("ServiceURL must be an http:// or https:// address, not " + Quoted(value) +
                "; the default applies");
    } else if (key == "controlport") {
      config.ControlPort = ParsePortNumber(value);
      if (!config.ControlPort)
        Problem("ControlPort must be a port number from 1 to 65535, not " + Quoted(value) +
                "; the default applies");
    } else if (key == "hardening") {
      if (auto on = ParseSwitch(value))
        config.Hardening = *on;
      else
        Problem("Hardening must be true or false, not " + Quoted(value) + "; the default applies");
    } else if (key == "allowedorigins") {
      TakeOrigins(value);
    } else if (key == "sounddevice") {
      config.SoundDevice = value;
    } else if (key == "ringdevice") {
      config.RingDevice = value;
    } else if (key == "siptransport") {
      const std::string v = AsciiLower(value);
      if (v == "udp") config.Sip.transport = SipServerSettings::Transport::kUdp;
      else if (v == "tcp") config.Sip.transport = SipServerSettings::Transport::kTcp;
      else if (v == "tls") config.Sip.transport = SipServerSettings::Transport::kTls;
      else Problem("SipTransport must be udp, tcp or tls, not " + Quoted(value) + "; udp applies");
    } else if (key == "sipserverport") {
      config.Sip.server_port = ParsePortNumber(value);
      if (!config.Sip.server_port)
        Problem("SipServerPort must be a port number from 1 to 65535, not " + Quoted(value) +
                "; the default applies");
    } else if (key == "sipcacertificate") {
      if (value.empty() || value.front() == '/')
        config.Sip.ca_file = value;
      else
        Problem("SipCACertificate must be the absolute path of a PEM file, not " + Quoted(value) +
                "; only the system's CAs are trusted");
    } else if (key == "mediaencryption") {
      const std::string v = AsciiLower(value);
      if (v == "none") config.Sip.media = SipServerSettings::Media::kNone;
      else if (v == "srtp") config.Sip.media = SipServerSettings::Media::kSrtp;
      else if (v == "srtp-required") config.Sip.media = SipServerSettings::Media::kSrtpRequired;
      else Problem("MediaEncryption must be none, srtp or srtp-required, not " + Quoted(value) +
                   "; the default applies");
    } else if (key == "audiocodecs") {
      TakeCodecs(value);
    } else {
      Problem("unknown key " + Quoted(name) + " is ignored");
    }
  }

  // After the last line: the default list when none was named.
  void Finish() {
    if (config.Sip.codecs.empty())
      config.Sip.codecs.assign(std::begin(kDefaultAudioCodecs), std::end(kDefaultAudioCodecs));
  }

  void Problem(const std::string& what) const {
    report_(origin_ + ":" + std::to_string(source_.line) + ": " + what);
  }

  MachineConfig config;

 private:
  void TakeOrigins(std::string_view value) {
    size_t i = 0;
    while (i < value.size()) {
      size_t end = value.find_first_of(" \t,", i);
      if (end == std::string_view::npos) end = value.size();
      std::string_view item = value.substr(i, end - i);
      i = end + 1;
      if (item.empty()) continue;
      std::string origin = NormalisedOrigin(item);
      if (origin.empty()) {
        Problem("AllowedOrigins: " + Quoted(item) +
                " is not an origin such as https://crm.example.com; it is left out");
        config.RejectedOrigins.emplace_back(item);
      } else if (std::find(config.AllowedOrigins.begin(), config.AllowedOrigins.end(), origin) ==
                 config.AllowedOrigins.end()) {
        config.AllowedOrigins.push_back(origin);
      }
    }
  }

  // Names as the media library knows them; whether it has each is for the phone to say.
  void TakeCodecs(std::string_view value) {
    config.Sip.codecs.clear();
    size_t i = 0;
    while (i < value.size()) {
      size_t end = value.find_first_of(" \t,", i);
      if (end == std::string_view::npos) end = value.size();
      std::string item = AsciiLower(value.substr(i, end - i));
      i = end + 1;
      if (item.empty()) continue;
      const bool name = std::all_of(item.begin(), item.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
      });
      if (!name)
        Problem("AudioCodecs: " + Quoted(item) + " is not a codec name; it is left out");
      else if (std::find(config.Sip.codecs.begin(), config.Sip.codecs.end(), item) ==
               config.Sip.codecs.end())
        config.Sip.codecs.push_back(item);
    }
  }

  const std::string& origin_;
  const LineSource& source_;
  const ConfigProblemSink& report_;
  std::set<std::string> seen_;
};

int OnSetting(void* user, const char* section, const char* name, const char* value) {
  static_cast<Settings*>(user)->Take(section, name, value);
  return 1;
}

}  // namespace

void ReportConfigProblem(const std::string& message) {
  std::fprintf(stderr, "velnaro-ds: %s\n", message.c_str());
  SupportLog(LogLevel::kWarning, "config", message);
}

MachineConfig ParseMachineConfig(std::string_view text, const std::string& origin,
                                 const ConfigProblemSink& report) {
  LineSource source{text};
  Settings settings(origin, source, report);
  int first_error = ini_parse_stream(NextLine, &source, OnSetting, &settings);
  settings.Finish();
  for (int line : source.too_long)
    report(origin + ":" + std::to_string(line) + ": the line is longer than " +
           std::to_string(source.longest) +
           " characters and is ignored; go on over lines that start with a space");
  if (first_error > 0 && std::find(source.too_long.begin(), source.too_long.end(),
                                   first_error) == source.too_long.end())
    report(origin + ":" + std::to_string(first_error) +
           ": not a setting (Key = value) and ignored; later lines were still read");
  return settings.config;
}

MachineConfig ReadMachineConfigFile(const std::string& path, bool must_exist,
                                    const ConfigProblemSink& report) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = 0;
  if (fd < 0) {
    err = errno;
  } else {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    if (n < 0) err = errno;
    close(fd);
  }
  if (err == ENOENT && !must_exist) return ParseMachineConfig("", path, report);
  if (err != 0) {
    report(path + ": cannot be read (" + std::strerror(err) + "); the defaults apply");
    return ParseMachineConfig("", path, report);
  }
  return ParseMachineConfig(text, path, report);
}

MachineConfig ReadMachineConfig(const ConfigProblemSink& report) {
  const char* named = std::getenv(kMachineConfigVariable);
  MachineConfig config = named && *named ? ReadMachineConfigFile(named, true, report)
                                         : ReadMachineConfigFile(kMachineConfigPath, false, report);
  if (const char* hardening = std::getenv(kHardeningVariable); hardening && *hardening) {
    if (auto on = ParseSwitch(hardening))
      config.Hardening = *on;
    else
      report(std::string(kHardeningVariable) + " must be 1 or 0 (true or false), not " +
             Quoted(hardening) + "; it is ignored");
  }
  return config;
}

std::string ConfiguredServiceURL(const MachineConfig& config, const char* environment,
                                 const std::string& fallback, const ConfigProblemSink& report) {
  if (environment && *environment) {
    if (IsServiceAddress(environment)) return environment;
    report(std::string(kServiceURLVariable) + " must be an http:// or https:// address, not " +
           Quoted(environment) + "; it is ignored");
  }
  return config.ServiceURL.empty() ? fallback : config.ServiceURL;
}

}  // namespace velnaro
