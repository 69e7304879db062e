#pragma once
// A phone for command tests: records every operation, in order, in one list that the
// service log also writes to ("log:" + line), so effects and log lines can be ordered.

#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "control/web_server.h"
#include "support/phone_fakes.h"

namespace velnaro::testing {

class EventList {
 public:
  void Add(std::string e) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    auto out = std::move(events_);
    events_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class FakePhone final : public NullPhone {
 public:
  FakePhone(TwebServer& server, EventList& events) : server_(server), events_(events) {}

  void SetNumber(const std::string& number) override {
    number_ = number;
    events_.Add("SetNumber " + number);
  }
  void Dial(int) override {
    const auto r = server_.Record();
    events_.Add("DialLine1 " + number_ + " [" + r.Stato + "/" + r.ChiamataStato + "/" +
                r.ChiamataPrefix + "/" + r.ChiamataNumero + "]");
  }
  void HangUp(int) override {
    events_.Add("HangUpLine1");
    server_.AggiornaStato("IDLE", "HANGUP", "", "");  // what a successful hang-up writes
  }
  void HoldIfInCall(int) override { events_.Add("HoldLine1 [Hold " + server_.Record().Hold + "]"); }
  void UnholdIfOnHold(int) override {
    events_.Add("UnholdLine1 [Hold " + server_.Record().Hold + "]");
  }
  bool SendDtmf(int line, const std::string& digits) override {
    events_.Add("SendDtmf " + std::to_string(line) + " " + digits);
    return false;  // ignored by the command
  }
  bool StartRecording(int line) override {
    events_.Add("StartRecording " + std::to_string(line));
    return false;
  }
  bool StartRecordingMode(int line, int mode, bool enable) override {
    events_.Add("StartRecordingMode " + std::to_string(line) + " " + std::to_string(mode) +
                " " + (enable ? "true" : "false") + " [Rec " + server_.Record().Rec + "]");
    return false;
  }
  bool SaveRecording(int line, const std::string& path) override {
    events_.Add("SaveRecording " + std::to_string(line) + " " + path);
    if (save_ok) std::ofstream(path, std::ios::binary) << wav;
    return save_ok;
  }
  void Mute(int line, bool muted) override {
    events_.Add("SetMicrophoneMuted " + std::to_string(line) + " " + (muted ? "true" : "false") +
                " [Mute " + server_.Record().Mute + "]");
  }

  bool save_ok = true;
  std::string wav = "RIFF....WAVEfmt fake recording";

 private:
  TwebServer& server_;
  EventList& events_;
  std::string number_;
};

}  // namespace velnaro::testing
