#include "provisioning/command_line.h"

#include "provisioning/clConfig.h"
#include "provisioning/machine_config.h"

namespace velnaro {

std::optional<std::string> InformationRequested(const std::vector<std::string>& params) {
  if (params.empty()) return std::nullopt;
  if (params[0] == "--version") return std::string("velnaro-ds ") + kSoftwareVersion + "\n";
  if (params[0] == "--help") return UsageText();
  return std::nullopt;
}

std::optional<std::string> UnknownOption(const std::vector<std::string>& params) {
  if (params.empty() || params[0].empty() || params[0][0] != '-') return std::nullopt;
  if (InformationRequested(params)) return std::nullopt;
  return params[0];
}

std::string UsageText() {
  return std::string(
             "Usage: velnaro-ds [SERVICE-URL]\n"
             "  or:  velnaro-ds --help | --version\n"
             "  or:  velnaro-ds --write-browser-policies [--root DIR]\n"
             "  or:  velnaro-ds --remove-browser-policies [--root DIR]\n"
             "\n"
             "The operator's telephone. The web application drives it over HTTP on\n"
             "127.0.0.1 (port 9090 unless configured); it waits in the notification area.\n"
             "One copy runs per user: a second start brings the first one's window forward.\n"
             "Qt's own options (-platform NAME, -display DISPLAY, ...) may come first; any\n"
             "other option is refused (exit status 2).\n"
             "\n"
             "Parameters:\n"
             "  SERVICE-URL  provisioning service for this run; overrides VELNARO_SERVICE_URL\n"
             "               and the configuration file. Built in: ") +
         kDefaultServiceURL +
         "\n"
         "  --help       print this text and exit\n"
         "  --version    print the version and exit\n"
         "  --write-browser-policies  let the pages of AllowedOrigins reach the agent: the\n"
         "               managed policies of Chromium, Chrome, Edge and Firefox (as root,\n"
         "               on install and after each change of AllowedOrigins)\n"
         "  --remove-browser-policies  take them away again\n"
         "  --root DIR   read the configuration file and write the policies under DIR\n"
         "\n"
         "Configuration:\n"
         "  The file " +
         kMachineConfigPath +
         " sets, for every user of the machine:\n"
         "\n"
         "  ServiceURL      provisioning service address (http:// or https://)\n"
         "  ControlPort     port of the control service (default 9090)\n"
         "  Hardening       true: the hardened profile (control service on 127.0.0.1 and\n"
         "                  ::1 only, for the web application and AllowedOrigins alone)\n"
         "  AllowedOrigins  further web origins the hardened profile lets in, separated\n"
         "                  by spaces or commas; the browser policies name them too\n"
         "  SoundDevice     default: the desktop's default sound devices, followed as they\n"
         "                  change; else a device name or part of its description\n"
         "                  (Jabra), used whenever present\n"
         "  RingDevice      where calls ring, the same way (default: as SoundDevice)\n"
         "  SipTransport    udp, tcp or tls: how the phone reaches the SIP server (udp)\n"
         "  SipServerPort   the SIP server's port (5060, or 5061 for tls)\n"
         "  SipCACertificate  a private CA (PEM file) trusted beside /etc/ssl/certs\n"
         "  MediaEncryption none, srtp or srtp-required (srtp over tls, else none)\n"
         "  AudioCodecs     codecs offered, in order (opus, g722, pcma, pcmu)\n"
         "\n"
         "  Unknown keys and bad values are reported on standard error and in the log,\n"
         "  and the default applies.\n"
         "\n"
         "Environment:\n"
         "  VELNARO_CONFIG_FILE    read this configuration file instead\n"
         "  VELNARO_SERVICE_URL    provisioning service address; overrides the file\n"
         "  VELNARO_CONTROL_PORT   port of the control service; overrides the file\n"
         "  VELNARO_HARDENING      1 or 0: the hardened profile on or off; overrides the file\n"
         "  VELNARO_OPENER         opens the browser and downloaded packages (default\n"
         "                         xdg-open)\n"
         "  VELNARO_UI_TRACE       print the main window's changes on standard error\n"
         "  VELNARO_VIRTUAL_SOUND  1: a virtual sound card instead of the real devices (the\n"
         "                         lab, tests); without it and without a microphone and a\n"
         "                         playback device the phone stays offline until one comes\n"
         "  VELNARO_UPLOAD_RETRY_MS  wait before the first new try of a failed upload, in\n"
         "                         ms (30000); each later wait doubles, up to 30 times it\n"
         "  VELNARO_MEDIA_PLUGINS  folder of media plugins to load, e.g. a codec (default none)\n"
         "  TEMP, TMPDIR           folder of recordings, screenshots and updates (/tmp)\n"
         "  XDG_CONFIG_HOME, HOME  the workstation identifier is kept in\n"
         "                         $XDG_CONFIG_HOME/velnaro/VelnaroDS.json (~/.config)\n"
         "  XDG_STATE_HOME         folder of the log and of failed uploads (~/.local/state)\n"
         "  DISPLAY, WAYLAND_DISPLAY  the desktop to show on\n"
         "  XDG_SESSION_TYPE       wayland: screenshots go through the desktop portal\n"
         "  DBUS_SESSION_BUS_ADDRESS  the session bus where the portal answers\n"
         "  XDG_RUNTIME_DIR        the single-instance guard and the sound library's\n"
         "                         runtime files (/tmp/velnaro-ds-UID without it)\n"
         "  XDG_ACTIVATION_TOKEN   set by the desktop when it starts the program; a second\n"
         "                         start hands it on to bring the first copy forward\n"
         "\n"
         "Log:\n"
         "  $XDG_STATE_HOME/velnaro-ds/velnaro-ds.log\n"
         "  (~/.local/state/velnaro-ds/velnaro-ds.log without XDG_STATE_HOME)\n"
         "\n"
         "Failed uploads:\n"
         "  A recording whose upload failed stays where it was saved; its address waits in\n"
         "  $XDG_STATE_HOME/velnaro-ds/spool and is sent again (after 30 s, then at most\n"
         "  every 15 minutes, for 7 days) until the server accepts it.\n";
}

}  // namespace velnaro
