#pragma once
// Fakes of the main window's neighbours, recording what the controller asks of them.

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app_ports.h"
#include "app/frm_MainPhone.h"
#include "support/phone_fakes.h"
#include "support/platform_fakes.h"

namespace velnaro::testing {

class FakeProvisioning : public ProvisioningLink {
 public:
  StartupValues values{.SoftwareID = "3", .SoftwareVersion = "4.00.002", .ClientID = "ABC"};
  StartupValues reply;  // stored into values by a successful SoftwareStart
  bool start_ok = true;
  bool throw_on_start = false;
  std::string error = "Problema di connessione";
  bool download_ok = true;
  int64_t download_length = 3000;
  std::vector<std::string> calls;
  std::string download_url, download_path;

  StartupValues Values() const override { return values; }
  bool throw_on_load = false;
  void LoadFromRegistry() override {
    calls.push_back("LoadFromRegistry");
    if (throw_on_load) throw std::runtime_error("Invalid data type for 'ClientID'");
  }
  void ReadCommandLine() override { calls.push_back("ReadCommandLine"); }
  void UseConfiguredServiceUrl() override { calls.push_back("UseConfiguredServiceUrl"); }
  bool SoftwareStart() override {
    calls.push_back("SoftwareStart");
    return Outcome();
  }
  // The sender reaches the service unless it fails with a connection problem; the reply
  // itself is read by AcceptStartReply.
  std::function<bool(std::string&)> PrepareStartRequest() override {
    calls.push_back("PrepareStartRequest");
    return [this](std::string& body) {
      body = "reply";
      sent_off_thread.push_back(!on_ui_thread);
      return start_ok || error != kUnreachable;
    };
  }
  bool AcceptStartReply(bool arrived, const std::string& body) override {
    calls.push_back(std::string("AcceptStartReply(") + (arrived ? body : "") + ")");
    return arrived && Outcome();
  }
  bool ConnectionFailed() const override { return !start_ok && error == kUnreachable; }
  std::string ErrorDS() const override { return error; }
  void ClearUpdateFile() override { values.UpdateFILE.clear(); }
  bool DownloadFile(const std::string& url, const std::string& path,
                    const TransferProgress& progress) override {
    download_url = url;
    download_path = path;
    progress.begin(download_length);
    progress.work(download_length / 2);
    on_half_way();
    if (download_ok) progress.work(download_length);
    progress.end();
    return download_ok;
  }
  std::function<void()> on_half_way = [] {};

  static constexpr char kUnreachable[] = "Problema di connessione";
  // Set by the scheduler fake while background work runs; each send records it.
  bool on_ui_thread = true;
  std::vector<bool> sent_off_thread;

 private:
  bool Outcome() {
    if (throw_on_start) throw std::runtime_error("Type mismatch in Data");
    if (start_ok) {
      std::string id = values.SoftwareID, ver = values.SoftwareVersion, cid = values.ClientID;
      values = reply;
      values.SoftwareID = id;
      values.SoftwareVersion = ver;
      values.ClientID = cid;
    }
    return start_ok;
  }
};

class FakeNetwork : public NetworkLink {
 public:
  std::string chosen = "10.8.0.5";
  bool throw_after_choice = false;
  std::string rete_seen;
  void ChooseLocalAddress(const std::string& rete,
                          const std::function<void(const std::string&)>& set_ip,
                          const std::function<void(const std::string&)>& log) override {
    rete_seen = rete;
    log("Interfaccia trovata: " + chosen);
    set_ip(chosen);
    if (throw_after_choice) throw std::runtime_error("enumeration failed");
  }
};

class FakeView : public MainWindowView {
 public:
  TfrmMainPhone* form = nullptr;
  int changes = 0, paints = 0, close_requests = 0;
  bool closed = false;
  bool timer_running = false;
  int phone_windows = 0, server_windows = 0;
  // What each paint showed: step indicators at that moment.
  std::vector<std::string> painted;

  void StateChanged() override { ++changes; }
  void ProcessPendingMessages() override {
    ++paints;
    std::string s;
    for (auto& st : form->steps) s += st.ok_visible ? 'G' : st.ko_visible ? 'R' : '-';
    painted.push_back(s);
  }
  void SetTimer1(bool enabled, int) override { timer_running = enabled; }
  void Close() override {
    ++close_requests;
    if (form->FormCloseQuery()) closed = true;
  }
  void ShowPhoneWindow() override { ++phone_windows; }
  void ShowServerWindow() override { ++server_windows; }
};

// Time that moves only when a timer is fired. Background work runs at once, taking
// `work_takes` of the fake time, with the provisioning fake told it is off the UI thread;
// what it posts runs at once too.
class FakeScheduler : public Scheduler {
 public:
  explicit FakeScheduler(FakeProvisioning& provisioning) : provisioning_(provisioning) {}
  Clock::time_point now{};
  std::chrono::milliseconds work_takes{0};
  std::vector<std::chrono::milliseconds> delays;  // of every RunLater, in order

  Clock::time_point Now() const override { return now; }
  void RunLater(std::chrono::milliseconds delay, std::function<void()> fn) override {
    delays.push_back(delay);
    timers_.push_back({now + delay, std::move(fn)});
  }
  void RunInBackground(std::function<void()> work, std::function<void()> done) override {
    provisioning_.on_ui_thread = false;
    work();
    provisioning_.on_ui_thread = true;
    now += work_takes;
    done();
  }
  void Post(std::function<void()> fn) override { fn(); }
  size_t pending() const { return timers_.size(); }
  // Moves to the earliest timer and fires it; false when none is set.
  bool FireNext() {
    if (timers_.empty()) return false;
    auto next = std::min_element(timers_.begin(), timers_.end(),
                                 [](auto& a, auto& b) { return a.first < b.first; });
    auto [due, fn] = std::move(*next);
    timers_.erase(next);
    now = due;
    fn();
    return true;
  }

 private:
  FakeProvisioning& provisioning_;
  std::vector<std::pair<Clock::time_point, std::function<void()>>> timers_;
};

// Everything one controller needs, wired together.
struct Rig {
  FakeProvisioning provisioning;
  FakePhone phone;
  FakeNetwork network;
  FakeMessageBox messages;
  FakeDesktopOpener opener;
  FakeInstanceGuard::Registry registry;
  FakeInstanceGuard guard{registry};
  FakeView view;
  FakeScheduler scheduler{provisioning};
  TfrmMainPhone form{{provisioning, network, messages, opener, guard}};
  // What the controller wrote to the support log: "source: line".
  std::vector<std::string> logged;

  Rig() {
    form.SetPhone(&phone);
    view.form = &form;
    form.SetView(&view);
    form.SetScheduler(&scheduler);
    form.SetLog([this](LogLevel, const std::string& source, const std::string& line) {
      logged.push_back(source + ": " + line);
    });
  }
  // For rigs whose real window registers itself as the form's view.
  struct NoView {};
  explicit Rig(NoView) { form.SetPhone(&phone); }
  // Creation, first show and the timer's tick.
  void Start() {
    form.FormCreate();
    form.FormShow();
    form.Timer1Timer();
  }
};

inline StartupValues FullReply() {
  StartupValues r;
  r.ServerAddress = "10.1.2.3";
  r.SipServer = "192.0.2.10";
  r.SipInterno = "204";
  r.SipUtente = "u204";
  r.SipPassword = "secret";
  r.Rete = "10.8.0";
  r.ConferenceNumber = "800123";
  return r;
}

}  // namespace velnaro::testing
