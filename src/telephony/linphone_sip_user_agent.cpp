#include "telephony/linphone_sip_user_agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/temp_files.h"
#include "telephony/linphone_lines.h"
#include "telephony/linphone_recorder.h"
#include "telephony/linphone_session.h"
#include "telephony/sip_owner_thread.h"

namespace velnaro {
namespace {

bool VirtualSoundForced(const LinphoneAgentOptions& o) {
  const char* env = std::getenv("VELNARO_VIRTUAL_SOUND");
  return o.force_virtual_sound || (env && std::string(env) == "1");
}

// A folder of our own with a name nobody can guess and take first in a shared /tmp.
std::string StateDir(const LinphoneAgentOptions& o) {
  if (!o.state_dir.empty()) return o.state_dir;
  std::string name = TempFolder() + "velnaro-sip-XXXXXX";
  ::mkdtemp(name.data());  // 0700; on failure the folder is missing and recordings fail
  return name;
}

// The media library loads every plugin of the folder it is given. Ours is empty, since the
// system's brings a video display (and a second Qt) this audio phone never uses; a site
// that needs a codec plugin names a folder holding it.
std::string MediaPluginsDir(const std::string& state_dir) {
  const char* env = std::getenv("VELNARO_MEDIA_PLUGINS");
  if (env && *env) return env;
  return state_dir + "/media-plugins";
}

// The component's operations, each run on the owner thread by one of its four parts: the
// sound devices, the session (core, registration), the lines (calls, hold, conference) and
// the recorder (line 1's recording).
class Agent final : public LinphoneSipUserAgent {
 public:
  explicit Agent(const LinphoneAgentOptions& o)
      : state_dir_(StateDir(o)),
        own_state_dir_(o.state_dir.empty()),  // ours alone: removed at the end
        sound_(owner_, {.force_virtual = VirtualSoundForced(o),
                        .sound_device = o.sound_device,
                        .ring_device = o.ring_device,
                        .state_dir = state_dir_}),
        session_(owner_, sound_, MediaPluginsDir(state_dir_),
                 [this](LinphoneCall* c, LinphoneCallState s) {
                   if (!sound_.OnCallState(c, s)) lines_.OnCallState(c, s);
                 }),
        lines_(owner_, session_, [this] { return recorder_.NextCallFile(); }),
        recorder_(owner_, session_, state_dir_) {
    session_.LimitCallsToServer(o.calls_only_from_server);
    session_.SetSignalling(o.signalling);
    // Recordings pass through it: the operator's alone.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(state_dir_).parent_path(), ec);
    if (::mkdir(state_dir_.c_str(), 0700) == 0 || own_state_dir_)
      std::filesystem::permissions(state_dir_, std::filesystem::perms::owner_all, ec);
    ::mkdir((state_dir_ + "/media-plugins").c_str(), 0700);
    ForwardLibraryWarnings();
    owner_.Start([this] { Pump(); }, [this] { return !session_.MaySleep() || sound_.Busy(); },
                 [this](int wake_fd, int ms) { session_.WaitIdle(wake_fd, ms); });
  }

  ~Agent() override {
    owner_.Invoke([this] { Close(false); });
    owner_.Stop();
    if (own_state_dir_) {
      std::error_code ec;
      std::filesystem::remove_all(state_dir_, ec);
    }
  }

  // On the owner thread, between two events: once this returns no handler of the old sink
  // is still running.
  void SetEventSink(SipUserAgentEvents* sink) override {
    owner_.Invoke([&] { owner_.SetSink(sink); });
  }
  bool OnOwnerThread() const override { return owner_.OnOwnerThread(); }
  void Invoke(const std::function<void()>& fn) override { owner_.Invoke(fn); }

  bool Initialize(bool, const std::string& local_ip, int sip_port, const std::string& own_address,
                  const std::string& outbound_proxy, const std::string& sip_proxy,
                  const std::string& login, const std::string& password, bool, int) override {
    return Op([&] {
      Close(false);
      return session_.Initialize(local_ip, sip_port, own_address, outbound_proxy, sip_proxy,
                                 login, password, lines_.port(0) ? lines_.port(0) : 7000);
    });
  }
  void Shutdown() override {
    Op([&] {
      if (!session_.core()) return sip_error::kNotOnline;
      Close(true);
      return sip_error::kNone;
    });
  }
  bool RefreshRegistration() override {
    return Op([&] { return session_.RefreshNow() ? sip_error::kNone : sip_error::kNotOnline; });
  }
  void Abandon() override {
    Op([&] {
      if (!session_.core()) return sip_error::kNotOnline;
      Close(false, false);
      return sip_error::kNone;
    });
  }
  bool FollowAddress(const std::string& ip) override {
    return Op([&] {
      if (!session_.core() || linphone_core_get_calls_nb(session_.core()) == 0)
        return sip_error::kNotOnline;
      return session_.MoveTo(ip) ? sip_error::kNone : sip_error::kNotOnline;
    });
  }
  int LastError() override { return owner_.Call([&] { return last_error_; }); }
  bool SoundReady() override { return owner_.Call([&] { return sound_.Ready(); }); }
  std::string LocalIp() override { return owner_.Call([&] { return session_.LocalIp(); }); }
  void SetProxyHint(const std::string& sip_proxy) override {
    owner_.Invoke([&] { session_.SetProxyHint(sip_proxy); });
  }
  bool SetUserAgentText(const std::string& text) override {
    return Op([&] {
      session_.SetUserAgentText(text);
      return sip_error::kNone;
    });
  }
  bool OpenLine(int line, bool, const std::string& local_ip, int media_port) override {
    return Op([&] {
      return lines_.Open(line, local_ip.empty() ? session_.local_ip() : local_ip, media_port);
    });
  }
  bool Register(int expiry_seconds) override {
    return Op([&] { return session_.Register(expiry_seconds); });
  }
  // The phone sends these after registering and ignores their results; this stack has no
  // setting they would map to.
  bool FixedSetting21(int) override { return true; }
  bool FixedSetting17(int) override { return true; }

  bool PlaceCall(int line, const std::string& target, int, int) override {
    return Op([&] { return lines_.Place(line, target); });
  }
  bool AcceptCall(int line, const std::string& call_id, int, int) override {
    return Op([&] { return lines_.Accept(line, call_id); });
  }
  bool EndCall(int line) override { return Op([&] { return lines_.End(line); }); }
  bool IsLineInCall(int line) override { return owner_.Call([&] { return lines_.InCall(line); }); }
  bool IsLineOnHold(int line) override { return owner_.Call([&] { return lines_.OnHold(line); }); }
  bool Hold(int line) override { return Op([&] { return lines_.Hold(line); }); }
  bool Unhold(int line) override { return Op([&] { return lines_.Unhold(line); }); }
  bool SendDtmf(int line, const std::string& digits) override {
    return Op([&] { return lines_.SendDtmf(line, digits); });
  }
  bool SetMicrophoneMuted(int line, bool muted) override {
    return Op([&] { return lines_.SetMicrophoneMuted(line, muted); });
  }

  bool RecordStart(int line) override {
    return Op([&] { return recorder_.Start(line, lines_.line0()); });
  }
  bool RecordMode(int line, int, bool enable) override {
    return Op([&] { return enable ? recorder_.Continue(line, lines_.line0()) : sip_error::kNone; });
  }
  // The join runs on the calling thread; called on the owner thread it holds that up.
  bool RecordSave(int line, const std::string& path) override {
    const int error = recorder_.Save(line, path);
    return Op([&] { return error; });
  }

 private:
  // Runs an operation's body on the owner thread; its sip_error code becomes the last
  // error, and success is no error.
  template <class Body>
  bool Op(Body&& body) {
    return owner_.Call([&] {
      last_error_ = body();
      return last_error_ == sip_error::kNone;
    });
  }

  // After every task and every wait (20 ms in a call, up to a second while idle): the
  // library's own work, the calls brought in line with hold and the mix, the recorder with
  // line 1, then the queued events.
  void Pump() {
    if (LinphoneCore* core = session_.core()) {
      linphone_core_iterate(core);
      sound_.Pump();
      lines_.ReconcileIfDue();
      session_.KeepRegistered();
      // Calls follow a move once the new registration gave them their contact; without
      // one they would hang on an address that is gone.
      if (session_.TakeMoved()) lines_.FollowAddress(session_.local_ip());
      if (session_.TakeMoveOverdue(kMoveLimit)) lines_.EndAll();
      lines_.SampleQuality();
      recorder_.Sync(lines_.line0());
    }
    owner_.Deliver();
  }

  // Hangs up, unregisters unless told not to (raising the unregistration events when
  // asked) and stops.
  void Close(bool events, bool unregister = true) {
    if (!session_.core()) return;
    recorder_.Stop();  // what was recorded can still be saved
    // Calls first, so that their BYEs still go out through the account.
    lines_.EndAll();
    const bool had_account = session_.Unregister(events, unregister);
    lines_.Release();
    session_.Stop(events && had_account);
  }

  static constexpr std::chrono::seconds kMoveLimit{10};

  const std::string state_dir_;
  const bool own_state_dir_;
  SipOwnerThread owner_;
  LinphoneSound sound_;
  LinphoneSession session_;
  LinphoneLines lines_;
  LinphoneRecorder recorder_;
  int last_error_ = sip_error::kNone;  // owner thread only
};

}  // namespace

std::unique_ptr<LinphoneSipUserAgent> MakeLinphoneSipUserAgent(const LinphoneAgentOptions& options) {
  return std::make_unique<Agent>(options);
}

}  // namespace velnaro
