#pragma once
// A phone that records each operation, in order, as text ("Dial 1 800", "Hold 0", ...) and
// answers from its knobs.

#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "status/phone_status.h"
#include "telephony/phone.h"

namespace velnaro::testing {

class FakePhone : public Phone {
 public:
  // Appended to each operation as " [note]", e.g. the record as it stood then.
  std::function<std::string()> note;
  // When set, a hang-up of line 1 writes to it what the real phone writes.
  PhoneStatus* status = nullptr;

  bool in_call = false;  // line 1's answer to InCall
  bool place_ok = true;
  bool save_ok = true;
  std::string wav = "RIFF....WAVEfmt fake recording";  // what a save writes
  PhoneAccount account;                                // the last one the phone went on line with

  std::vector<std::string> ops() const {
    std::lock_guard lock(mutex_);
    return ops_;
  }
  void clear() { Take(); }
  // The operations so far, taken out.
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(ops_, {});
  }
  // Something else in the same list (a log line, say), so that it can be ordered with them.
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    ops_.push_back(std::move(entry));
  }

  void AttivaTelefono(const PhoneAccount& a) override {
    account = a;
    Op("AttivaTelefono");
  }
  bool DisattivaTelefono() override {
    Op("DisattivaTelefono");
    return false;
  }
  void NetworkLost() override { Op("NetworkLost"); }
  void NetworkChecked() override { Op("NetworkChecked"); }
  void NetworkMoved(const PhoneAccount& a) override { account = a, Op("NetworkMoved"); }
  bool Dial(int line, const std::string& number) override {
    Op("Dial " + std::to_string(line) + " " + number);
    return place_ok;
  }
  void HangUp(int line) override {
    Op("HangUp " + std::to_string(line));
    if (status && line == kLine1) status->AggiornaStato(LineState::kIdle, CallState::kHangUp);
  }
  bool InCall(int line) override {
    Op("InCall " + std::to_string(line));
    return line == kLine1 && in_call;
  }
  void Hold(int line) override { Op("Hold " + std::to_string(line)); }
  void Unhold(int line) override { Op("Unhold " + std::to_string(line)); }
  void SendDtmf(int line, const std::string& digits) override {
    Op("SendDtmf " + std::to_string(line) + " " + digits);
  }
  void Mute(int line, bool muted) override {
    Op("Mute " + std::to_string(line) + (muted ? " on" : " off"));
  }
  void StartRecording(int line) override { Op("StartRecording " + std::to_string(line)); }
  bool SaveRecording(int line, const std::string& path) override {
    Op("SaveRecording " + std::to_string(line) + " " + path);
    if (save_ok) std::ofstream(path, std::ios::binary) << wav;
    return save_ok;
  }
  void AsOneStep(const std::function<void()>& step) override { step(); }

 private:
  void Op(std::string text) {
    if (note) text += " [" + note() + "]";
    Add(std::move(text));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> ops_;
};

}  // namespace velnaro::testing
