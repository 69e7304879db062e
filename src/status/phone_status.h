#pragma once
// PhoneStatus: the phone status record that GETSTATUS reports, and the service log. The
// phone controller and the control commands both write them, from the user-interface
// thread and from request threads; one lock keeps every read and write whole. Each new
// value of the record is also handed, in order, to one record observer (the event
// streams), so that no state is missed however short it lasts.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "status/phone_state.h"

namespace velnaro {

// The seven fields of the record.
struct StatusFields {
  LineState Stato = LineState::kNone;
  CallState ChiamataStato = CallState::kNone;
  std::string ChiamataPrefix, ChiamataNumero;
  bool Rec = false, Hold = false, Mute = false;
  bool operator==(const StatusFields&) const = default;
};

// The service log as the units that only write to it see it.
class ServiceLog {
 public:
  virtual ~ServiceLog() = default;
  virtual void AggiungiLog(const std::string& line) = 0;
  // Several lines kept together: another thread's lines never fall between them.
  virtual void AggiungiLog(std::initializer_list<std::string> lines) = 0;
};

class PhoneStatus final : public ServiceLog {
 public:
  static constexpr size_t kLogLimit = 100;  // more than this empties the log before appending

  // The record starts with no state, no call and the three flags off.
  PhoneStatus() = default;
  PhoneStatus(const PhoneStatus&) = delete;
  PhoneStatus& operator=(const PhoneStatus&) = delete;

  // The only way the first four fields change. The call's state is set only when one is
  // given, and its prefix and number only when a number is given with it.
  void AggiornaStato(LineState stato, CallState chiamata_stato = CallState::kNone,
                     const std::string& chiamata_prefix = {},
                     const std::string& chiamata_numero = {});

  // Run by AggiornaStato when the new state is "IDLE" (takes line 1 off hold).
  void SetIdleAction(std::function<void()> action);
  // Further work for "IDLE", run after the idle action whoever registers first
  // (the commands reopen the microphone here).
  void AddIdleHook(std::function<void()> hook);

  void SetRec(bool on);
  void SetHold(bool on);
  void SetMute(bool on);

  // All seven fields, read together.
  StatusFields Record() const;

  void AggiungiLog(const std::string& line) override;
  void AggiungiLog(std::initializer_list<std::string> lines) override;
  std::vector<std::string> memoLogs() const;
  // Called after every appended line (outside the lock), e.g. to refresh a window.
  void SetLogObserver(std::function<void(const std::string&)> observer);

  // Called under the record's lock, at once with the record as it stands and then with
  // every new value it takes, in order; a write that leaves the record as it was is no
  // change. version counts the changes since start. Being under the lock, the observer
  // must only queue the value and return: it may not wait, nor call back into this object.
  using RecordObserver = std::function<void(uint64_t version, const StatusFields& record)>;
  void SetRecordObserver(RecordObserver observer);

 private:
  // Stores the record and tells the observer when it differs; the lock is held.
  void ReplaceRecordLocked(const StatusFields& next);
  void SetFlag(bool StatusFields::*flag, bool on);

  mutable std::mutex mutex_;  // record, log and the callbacks
  StatusFields record_;
  uint64_t version_ = 1;  // the first value, as the observer numbers them
  RecordObserver record_observer_;
  std::vector<std::string> log_;
  std::function<void()> idle_action_;
  std::vector<std::function<void()>> idle_hooks_;
  std::function<void(const std::string&)> log_observer_;
};

}  // namespace velnaro
