#pragma once
// Test seam for the SIP component: records every operation it receives, answers from a
// script (result and last-error code per operation number) and raises events on demand.
// One recursive lock stands in for the component's thread: Invoke, every operation and
// every raised event hold it, so they never interleave.
// BeforeNextInvoke lets a test put something (another request, an event) just ahead of
// an operation that is on its way to the component's thread.

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telephony/sip_user_agent.h"

namespace velnaro {

class FakeSipUserAgent final : public SipUserAgent {
 public:
  struct Op {
    int id = 0;
    std::vector<std::string> args;  // in order, as text ("0"/"1" for flags)
  };
  struct Result {
    bool ok = true;
    int error = sip_error::kNone;  // becomes the last error when ok is false
    std::string text;              // for operation 23
  };
  using Script = std::function<Result(const Op&)>;

  // Every call of operation `id` answers from `script` (replaces an earlier one).
  void SetScript(int id, Script script) {
    std::lock_guard lock(mutex_);
    scripts_[id] = std::move(script);
  }
  // Shorthand: operation `id` always answers `ok`, with `error` when false.
  void SetResult(int id, bool ok, int error = sip_error::kNone) {
    SetScript(id, [ok, error](const Op&) { return Result{ok, error, {}}; });
  }
  // Queues one answer for the next call of `id`, taken before the script.
  void QueueResult(int id, bool ok, int error = sip_error::kNone) {
    std::lock_guard lock(mutex_);
    queued_[id].push_back(Result{ok, error, {}});
  }
  void SetLocalIp(const std::string& ip) {
    std::lock_guard lock(mutex_);
    local_ip_ = ip;
  }
  void SetInCall(int line, bool v) {
    std::lock_guard lock(mutex_);
    in_call_[line & 1] = v;
  }
  void SetSoundReady(bool ready) { sound_ready_ = ready; }
  void SetOnHold(int line, bool v) {
    std::lock_guard lock(mutex_);
    on_hold_[line & 1] = v;
  }

  std::vector<Op> Ops() const {
    std::lock_guard lock(mutex_);
    return ops_;
  }
  // Operations with the given number, in order.
  std::vector<Op> Ops(int id) const {
    std::lock_guard lock(mutex_);
    std::vector<Op> out;
    for (const auto& o : ops_)
      if (o.id == id) out.push_back(o);
    return out;
  }
  // The operation numbers in order, e.g. {58, 84, 64, 64, 12, 21, 21, 17}.
  std::vector<int> OpIds() const {
    std::lock_guard lock(mutex_);
    std::vector<int> out;
    for (const auto& o : ops_) out.push_back(o.id);
    return out;
  }
  void ClearOps() {
    std::lock_guard lock(mutex_);
    ops_.clear();
  }
  SipUserAgentEvents* Sink() const {
    std::lock_guard lock(mutex_);
    return sink_;
  }

  // Raises an event on the sink, serialised like the real component's thread.
  void Raise(const std::function<void(SipUserAgentEvents&)>& event) {
    std::lock_guard lock(mutex_);
    Inside inside(holder_);
    if (sink_) event(*sink_);
  }

  // hook runs once, on the calling thread, when the next Invoke from outside the
  // component's thread arrives and before it waits for that thread.
  void BeforeNextInvoke(std::function<void()> hook) {
    std::lock_guard lock(hook_mutex_);
    before_invoke_ = std::move(hook);
  }

  // SipUserAgent
  void SetEventSink(SipUserAgentEvents* sink) override {
    std::lock_guard lock(mutex_);
    sink_ = sink;
  }
  void Invoke(const std::function<void()>& fn) override {
    if (holder_.load() != std::this_thread::get_id()) {
      std::function<void()> hook;
      {
        std::lock_guard lock(hook_mutex_);
        hook.swap(before_invoke_);
      }
      if (hook) hook();
    }
    std::lock_guard lock(mutex_);
    Inside inside(holder_);
    fn();
  }
  bool Initialize(bool flag1, const std::string& local_ip, int sip_port,
                  const std::string& own_address, const std::string& outbound_proxy,
                  const std::string& sip_proxy, const std::string& login,
                  const std::string& password, bool flag2, int mode) override {
    return Do(sip_op::kInitialize, {B(flag1), local_ip, std::to_string(sip_port), own_address,
                                    outbound_proxy, sip_proxy, login, password, B(flag2),
                                    std::to_string(mode)}).ok;
  }
  void Shutdown() override { Do(sip_op::kShutdown, {}); }
  int LastError() override {
    std::lock_guard lock(mutex_);
    ops_.push_back(Op{sip_op::kLastError, {}});
    return last_error_;
  }
  bool SoundReady() override { return sound_ready_; }
  std::string LocalIp() override {
    std::lock_guard lock(mutex_);
    Result r = Do(sip_op::kLocalIp, {});
    return r.text.empty() ? local_ip_ : r.text;
  }
  bool SetUserAgentText(const std::string& text) override {
    return Do(sip_op::kSetUserAgentText, {text}).ok;
  }
  bool OpenLine(int line, bool flag, const std::string& local_ip, int media_port) override {
    return Do(sip_op::kOpenLine, {std::to_string(line), B(flag), local_ip,
                                  std::to_string(media_port)}).ok;
  }
  bool Register(int expiry_seconds) override {
    return Do(sip_op::kRegister, {std::to_string(expiry_seconds)}).ok;
  }
  bool FixedSetting21(int value) override {
    return Do(sip_op::kFixedSetting21, {std::to_string(value)}).ok;
  }
  bool FixedSetting17(int value) override {
    return Do(sip_op::kFixedSetting17, {std::to_string(value)}).ok;
  }
  bool PlaceCall(int line, const std::string& target, int a, int b) override {
    return Do(sip_op::kPlaceCall, {std::to_string(line), target, std::to_string(a),
                                   std::to_string(b)}).ok;
  }
  bool AcceptCall(int line, const std::string& call_id, int a, int b) override {
    return Do(sip_op::kAcceptCall, {std::to_string(line), call_id, std::to_string(a),
                                    std::to_string(b)}).ok;
  }
  bool EndCall(int line) override { return Do(sip_op::kEndCall, {std::to_string(line)}).ok; }
  bool IsLineInCall(int line) override {
    std::lock_guard lock(mutex_);
    Do(sip_op::kIsLineInCall, {std::to_string(line)});
    return in_call_[line & 1];
  }
  bool IsLineOnHold(int line) override {
    std::lock_guard lock(mutex_);
    Do(sip_op::kIsLineOnHold, {std::to_string(line)});
    return on_hold_[line & 1];
  }
  bool Hold(int line) override { return Do(sip_op::kHold, {std::to_string(line)}).ok; }
  bool Unhold(int line) override { return Do(sip_op::kUnhold, {std::to_string(line)}).ok; }
  bool SendDtmf(int line, const std::string& digits) override {
    return Do(sip_op::kSendDtmf, {std::to_string(line), digits}).ok;
  }
  bool RecordStart(int line) override {
    return Do(sip_op::kRecordStart, {std::to_string(line)}).ok;
  }
  bool RecordMode(int line, int mode, bool enable) override {
    return Do(sip_op::kRecordMode, {std::to_string(line), std::to_string(mode), B(enable)}).ok;
  }
  bool RecordSave(int line, const std::string& path) override {
    return Do(sip_op::kRecordSave, {std::to_string(line), path}).ok;
  }
  // Recorded as operation number -1 (it has none).
  bool SetMicrophoneMuted(int line, bool muted) override {
    return Do(kMuteOp, {std::to_string(line), B(muted)}).ok;
  }
  static constexpr int kMuteOp = -1;

 private:
  static std::string B(bool v) { return v ? "1" : "0"; }

  // Marks the thread that holds the lock, for as long as it holds it.
  struct Inside {
    explicit Inside(std::atomic<std::thread::id>& holder)
        : holder_(holder), outer_(holder.exchange(std::this_thread::get_id())) {}
    ~Inside() { holder_.store(outer_); }
    std::atomic<std::thread::id>& holder_;
    std::thread::id outer_;
  };

  Result Do(int id, std::vector<std::string> args) {
    std::lock_guard lock(mutex_);
    Op op{id, std::move(args)};
    ops_.push_back(op);
    Result r;
    auto q = queued_.find(id);
    if (q != queued_.end() && !q->second.empty()) {
      r = q->second.front();
      q->second.erase(q->second.begin());
    } else if (auto s = scripts_.find(id); s != scripts_.end()) {
      r = s->second(op);
    }
    last_error_ = r.ok ? sip_error::kNone : r.error;
    return r;
  }

  mutable std::recursive_mutex mutex_;
  std::atomic<bool> sound_ready_{true};
  std::atomic<std::thread::id> holder_{};
  std::mutex hook_mutex_;
  std::function<void()> before_invoke_;
  SipUserAgentEvents* sink_ = nullptr;
  std::vector<Op> ops_;
  std::map<int, Script> scripts_;
  std::map<int, std::vector<Result>> queued_;
  int last_error_ = sip_error::kNone;
  std::string local_ip_ = "127.0.0.1";
  bool in_call_[2] = {false, false};
  bool on_hold_[2] = {false, false};
};

}  // namespace velnaro
