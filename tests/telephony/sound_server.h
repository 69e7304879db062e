#pragma once
// A sound server of the test's own: a private runtime folder and session bus, pipewire,
// wireplumber and pipewire-pulse, with virtual headsets (null sinks) and microphones (a
// source remapped over a feed sink that plays a tone). This process talks to it for as
// long as the object lives.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sip_test_support.h"
#include "support/child_process.h"
#include "support/test_support.h"
#include "telephony/wav_file.h"

namespace velnaro::test {

class SoundServer {
 public:
  // Running at once, or (run = false) once Start() is called: a desktop whose sound comes
  // after the agent.
  explicit SoundServer(const std::string& dir, bool run = true) : run_(dir + "/run") {
    std::filesystem::create_directories(run_);
    std::filesystem::permissions(run_, std::filesystem::perms::owner_all);
    const std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", run_},
                                                 {"PULSE_SERVER", "unix:" + run_ + "/pulse/native"},
                                                 {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + run_ + "/bus"}};
    for (const auto& [name, value] : env) {
      if (const char* v = std::getenv(name.c_str())) saved_[name] = v;
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    if (run) Start();
  }
  ~SoundServer() {
    players_.clear();
    for (auto* c : {&pulse_, &session_, &pipewire_, &bus_}) c->Stop();
    for (const char* name : {"XDG_RUNTIME_DIR", "PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS"})
      saved_.count(name) ? ::setenv(name, saved_[name].c_str(), 1) : ::unsetenv(name);
  }
  void Start() {
    bus_.Start({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + run_ + "/bus"},
               {}, run_ + "/dbus.log");
    StartServer();
  }
  // Stopped and started again, as a desktop's update does: every device added is gone.
  void Restart() {
    players_.clear(), modules_.clear();
    for (auto* c : {&pulse_, &session_, &pipewire_}) c->Stop();
    StartServer();
  }
  void StartServer() {
    pipewire_.Start({"pipewire"}, {}, run_ + "/pipewire.log");
    velnaro::testing::WaitUntil([&] { return std::filesystem::exists(run_ + "/pipewire-0"); }, 5000);
    session_.Start({"wireplumber"}, {}, run_ + "/wireplumber.log");
    pulse_.Start({"pipewire-pulse"}, {}, run_ + "/pipewire-pulse.log");
    ok_ = velnaro::testing::WaitUntil([&] { return Pactl("info").find("Default Sink") != std::string::npos; }, 10000);
  }
  bool ok() const { return ok_; }

  // pactl's output (standard error included).
  std::string Pactl(const std::string& args) {
    velnaro::testing::Child c({"sh", "-c", "pactl " + args}, {}, run_ + "/pactl.out");
    c.Wait(10000);
    return c.Output();
  }

  // A headset or speaker described as `name`, once the server lists it.
  void AddSpeaker(const std::string& name) {
    Load(name, "module-null-sink sink_name=" + Id(name) + " sink_properties=device.description=" + name);
    Present("sinks", Id(name));
  }
  // A microphone described as `name` saying a tone of `hz`.
  void AddMicrophone(const std::string& name, int hz) {
    const std::string feed = Id(name) + "_feed", tone = run_ + "/" + feed + ".wav";
    Load(name, "module-null-sink sink_name=" + feed + " sink_properties=device.description=" + feed);
    Load(name, "module-remap-source master=" + feed + ".monitor source_name=" + Id(name) +
                   " source_properties=device.description=" + name);
    std::vector<int16_t> samples(8000 * 300);
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * double(i) / 8000));
    wav::WriteMono(tone, 8000, samples);
    players_[name].Start({"paplay", "--device=" + feed, tone}, {}, run_ + "/" + feed + ".log");
    Present("sources", Id(name));
  }
  // Pulls a speaker or microphone out.
  void Remove(const std::string& name) {
    players_.erase(name);
    for (const std::string& module : modules_[name]) Pactl("unload-module " + module);
    modules_.erase(name);
  }
  void SetDefaultSpeaker(const std::string& name) { Pactl("set-default-sink " + Id(name)); }
  void SetDefaultMicrophone(const std::string& name) { Pactl("set-default-source " + Id(name)); }

  // Share of a tone of `hz` in what the speaker plays over the next `ms`.
  double Heard(const std::string& speaker, int hz, int ms = 1500) {
    const std::string file = run_ + "/" + Id(speaker) + "-heard.wav";
    velnaro::testing::Child rec({"pw-record", "-P", "{ stream.capture.sink=true }", "--target",
                                 Id(speaker), "--rate", "8000", "--channels", "1", file},
                                {}, run_ + "/pw-record.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    rec.Stop();
    wav::Audio audio;
    return wav::ReadMono(file, &audio) ? ToneShare(audio.mono, audio.rate, hz) : 0;
  }

 private:
  static std::string Id(std::string name) {
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
  }
  void Present(const std::string& kind, const std::string& id) {
    velnaro::testing::WaitUntil(
        [&] { return Pactl("list short " + kind).find("\t" + id + "\t") != std::string::npos; }, 5000);
  }
  void Load(const std::string& name, const std::string& args) {
    const std::string index = Pactl("load-module " + args);
    modules_[name].push_back(index.substr(0, index.find('\n')));
  }

  std::string run_;
  std::map<std::string, std::string> saved_;
  velnaro::testing::Child bus_, pipewire_, session_, pulse_;
  std::map<std::string, velnaro::testing::Child> players_;
  std::map<std::string, std::vector<std::string>> modules_;
  bool ok_ = false;
};

}  // namespace velnaro::test
