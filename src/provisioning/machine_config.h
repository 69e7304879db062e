#pragma once
// The workstation's own settings file, the same for every operator of the machine: an INI
// file that an IT department rolls out with the package. It names the provisioning service
// and sets the agent's options; the environment and the command line override it. Whatever
// the file gets wrong is reported and the default applies, so a bad file never stops the
// telephone.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

inline constexpr const char* kMachineConfigPath = "/etc/velnaro-ds/velnaro-ds.conf";
// Names another file to read instead (trials on one workstation, tests).
inline constexpr const char* kMachineConfigVariable = "VELNARO_CONFIG_FILE";
// Overrides the file's ServiceURL; the first command-line parameter overrides both.
inline constexpr const char* kServiceURLVariable = "VELNARO_SERVICE_URL";
// 1 or 0: switches the hardened profile on or off whatever the file says.
inline constexpr const char* kHardeningVariable = "VELNARO_HARDENING";

// How the phone reaches the SIP server and protects its calls: the fleet's choice.
// The phone's SipSignalling has the same enumerations, in the same order.
struct SipServerSettings {
  enum class Transport { kUdp, kTcp, kTls };
  enum class Media { kNone, kSrtp, kSrtpRequired };
  Transport transport = Transport::kUdp;
  std::optional<uint16_t> server_port;  // unset: 5060, or 5061 over TLS
  std::string ca_file;                  // a private CA (PEM) trusted beside the system's
  std::optional<Media> media;           // unset: SRTP over TLS, else none
  std::vector<std::string> codecs;      // lower case, in order of preference

  uint16_t ServerPort() const {
    return server_port.value_or(transport == Transport::kTls ? 5061 : 5060);
  }
  Media MediaEncryption() const {
    return media.value_or(transport == Transport::kTls ? Media::kSrtp : Media::kNone);
  }
};

inline constexpr const char* kDefaultAudioCodecs[] = {"opus", "g722", "pcma", "pcmu"};

struct MachineConfig {
  std::string ServiceURL;  // empty: not set
  std::optional<uint16_t> ControlPort;
  // The hardened profile: the control service on the loopback addresses only, open to
  // the web application's origin and AllowedOrigins alone, screenshots rationed.
  bool Hardening = false;
  std::vector<std::string> AllowedOrigins;  // "scheme://host[:port]", lower case
  std::vector<std::string> RejectedOrigins;  // AllowedOrigins' items that are no origin
  // The operator's headset: "default" (or unset) for the desktop's default device, else a
  // name or description substring ("Jabra") preferred while such a device is present.
  std::string SoundDevice;
  std::string RingDevice;  // where calls ring (speakers); unset: SoundDevice
  SipServerSettings Sip;  // codecs filled with the default list when the file names none
};

// Receives each problem found, one sentence each.
using ConfigProblemSink = std::function<void(const std::string&)>;

// The one place configuration problems are reported: standard error and the support log.
void ReportConfigProblem(const std::string& message);

// Reads the settings in `text`; `origin` names the file in the messages. Unknown keys, bad
// values and lines that are not settings are reported and leave their setting unset.
MachineConfig ParseMachineConfig(std::string_view text, const std::string& origin,
                                 const ConfigProblemSink& report);

// Reads the file at `path`. A missing file means nothing is configured, unless it was named
// on purpose (must_exist), which is then reported like an unreadable one.
MachineConfig ReadMachineConfigFile(const std::string& path, bool must_exist,
                                    const ConfigProblemSink& report);

// The file named by VELNARO_CONFIG_FILE, else /etc/velnaro-ds/velnaro-ds.conf; then
// VELNARO_HARDENING, when set, overrides Hardening.
MachineConfig ReadMachineConfig(const ConfigProblemSink& report = ReportConfigProblem);

// The provisioning address before the command line has its say: `environment` (the value of
// VELNARO_SERVICE_URL, may be null), else the file's ServiceURL, else `fallback`. A bad
// address in the environment is reported and passed over.
std::string ConfiguredServiceURL(const MachineConfig& config, const char* environment,
                                 const std::string& fallback,
                                 const ConfigProblemSink& report = ReportConfigProblem);

}  // namespace velnaro
