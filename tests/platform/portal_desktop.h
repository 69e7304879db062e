#pragma once
// Test helper: a headless Wayland desktop with a screenshot portal, all of it private to
// the test: a session bus of its own (no activation, so nothing starts behind our back),
// sway on the headless backend with two outputs, PipeWire (the wlroots portal will not
// start without it), the wlroots portal and the portal front end. Stopped on destruction.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace velnaro::testing {

class PortalDesktop {
 public:
  enum class Parts { kBusOnly, kEverything };

  explicit PortalDesktop(Parts parts = Parts::kEverything) {
    char tmpl[] = "/tmp/velnaro-wl-XXXXXX";
    if (!mkdtemp(tmpl)) {
      Fail("mkdtemp");
      return;
    }
    dir_ = tmpl;
    run_ = dir_ + "/run";
    mkdir(run_.c_str(), 0700);
    if (!StartBus()) return;
    if (parts == Parts::kBusOnly) {
      ok_ = true;
      return;
    }
    ok_ = StartSway() && StartPortals();
  }
  ~PortalDesktop() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) TerminateChild(*it, 3000);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  PortalDesktop(const PortalDesktop&) = delete;
  PortalDesktop& operator=(const PortalDesktop&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }  // what did not start
  const std::string& bus() const { return bus_; }
  const std::string& wayland() const { return wayland_; }  // the socket's full path

  // This process becomes a client of the desktop (Qt reads these when it starts).
  void Join() const {
    setenv("DBUS_SESSION_BUS_ADDRESS", bus_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", run_.c_str(), 1);
    if (!wayland_.empty()) setenv("WAYLAND_DISPLAY", wayland_.c_str(), 1);
    unsetenv("DISPLAY");
  }

  // swaymsg against this compositor; true when it succeeded.
  bool SwayMsg(const std::string& args) const {
    return std::system(("SWAYSOCK=" + sway_socket_ + " swaymsg " + args + " >/dev/null 2>&1")
                           .c_str()) == 0;
  }

  // Stops the compositor (and with it every window), leaving the portals running.
  void StopCompositor() {
    if (sway_pid_ > 0) TerminateChild(sway_pid_, 3000);
    sway_pid_ = -1;
  }

 private:
  void Fail(const std::string& what) {
    if (why_.empty()) why_ = what;
  }

  // env: NAME=value entries added to ours; as_nobody: drop root first (sway refuses root).
  pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& log, bool as_nobody = false) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no orphan if the test crashes
      const int out = open((dir_ + "/" + log).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(out, 1);
      dup2(out, 2);
      unsetenv("WAYLAND_DISPLAY");
      unsetenv("DISPLAY");
      for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
      if (as_nobody) {
        const passwd* pw = getpwnam("nobody");
        if (!pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0)
          _exit(126);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (pid > 0) children_.push_back(pid);
    return pid;
  }

  std::vector<std::string> Env() const {
    return {"XDG_RUNTIME_DIR=" + run_, "DBUS_SESSION_BUS_ADDRESS=" + bus_, "HOME=" + dir_,
            "XDG_CURRENT_DESKTOP=sway"};
  }

  bool HasOwner(const std::string& name) const {
    const std::string cmd = "dbus-send --bus='" + bus_ +
                            "' --print-reply --dest=org.freedesktop.DBus / "
                            "org.freedesktop.DBus.NameHasOwner string:" + name +
                            " 2>/dev/null | grep -q 'boolean true'";
    return std::system(cmd.c_str()) == 0;
  }

  std::string FindInRun(const std::string& prefix, const std::string& unwanted = "") const {
    std::string found;
    if (DIR* d = opendir(run_.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.rfind(prefix, 0) == 0 && (unwanted.empty() || n.find(unwanted) == std::string::npos))
          found = run_ + "/" + n;
      }
      closedir(d);
    }
    return found;
  }

  bool StartBus() {
    const std::string conf = dir_ + "/bus.conf";
    std::ofstream(conf) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:dir=" << dir_
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                           "</busconfig>\n";
    const std::string address_file = dir_ + "/bus.address";
    if (Spawn({"sh", "-c",
               "exec dbus-daemon --config-file='" + conf + "' --nofork --print-address=3 3>'" +
                   address_file + "'"},
              {}, "dbus.log") <= 0)
      return Fail("dbus-daemon"), false;
    WaitUntil([&] {
      std::ifstream in(address_file);
      std::getline(in, bus_);
      return !bus_.empty();
    }, 5000);
    if (bus_.empty()) return Fail("dbus-daemon gave no address"), false;
    return true;
  }

  bool StartSway() {
    if (access("/usr/bin/sway", X_OK) != 0) return Fail("sway is not installed"), false;
    const bool root = geteuid() == 0;
    if (root) {
      const passwd* pw = getpwnam("nobody");
      if (!pw || chown(run_.c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
          chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        return Fail("cannot hand the runtime folder to nobody"), false;
    }
    std::ofstream(dir_ + "/sway.conf")
        << "output HEADLESS-1 resolution 640x480 position 0 0 bg #203040 solid_color\n"
           "output HEADLESS-2 resolution 320x240 position 640 0 bg #203040 solid_color\n"
           "default_border none\n";
    std::vector<std::string> env = Env();
    env.insert(env.end(), {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                           "WLR_RENDERER=pixman"});
    sway_pid_ = Spawn({"sway", "-c", dir_ + "/sway.conf"}, env, "sway.log", root);
    if (sway_pid_ <= 0) return Fail("sway"), false;
    WaitUntil([&] {
      wayland_ = FindInRun("wayland-", ".lock");
      sway_socket_ = FindInRun("sway-ipc.");
      return !wayland_.empty() && !sway_socket_.empty();
    }, 10000);
    if (wayland_.empty() || sway_socket_.empty()) return Fail("sway did not start"), false;
    // The second output, right of the first; the first keeps the focus.
    if (!WaitUntil([&] { return SwayMsg("create_output"); }, 5000))
      return Fail("swaymsg create_output"), false;
    SwayMsg("focus output HEADLESS-1");
    return true;
  }

  bool StartPortals() {
    std::vector<std::string> env = Env();
    if (Spawn({"pipewire"}, env, "pipewire.log") <= 0) return Fail("pipewire"), false;
    if (!WaitUntil([&] { return !FindInRun("pipewire-0", ".lock").empty(); }, 10000))
      return Fail("pipewire did not start"), false;
    env.push_back("WAYLAND_DISPLAY=" + wayland_);
    if (Spawn({"/usr/libexec/xdg-desktop-portal-wlr"}, env, "portal-wlr.log") <= 0 ||
        !WaitUntil([&] { return HasOwner("org.freedesktop.impl.portal.desktop.wlr"); }, 10000))
      return Fail("xdg-desktop-portal-wlr did not start"), false;
    if (Spawn({"/usr/libexec/xdg-desktop-portal"}, env, "portal.log") <= 0 ||
        !WaitUntil([&] { return HasOwner("org.freedesktop.portal.Desktop"); }, 10000))
      return Fail("xdg-desktop-portal did not start"), false;
    return true;
  }

  bool ok_ = false;
  std::string why_, dir_, run_, bus_, wayland_, sway_socket_;
  pid_t sway_pid_ = -1;
  std::vector<pid_t> children_;
};

}  // namespace velnaro::testing
