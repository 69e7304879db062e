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

namespace velnaro {

// The seven fields of the record; flags are "0" or "1".
struct StatusFields {
  std::string Stato, ChiamataStato, ChiamataPrefix, ChiamataNumero, Rec, Hold, Mute;
  bool operator==(const StatusFields&) const = default;
};

class PhoneStatus {
 public:
  static constexpr size_t kLogLimit = 100;  // more than this empties the log before appending

  PhoneStatus() { ResetRecord(); }
  PhoneStatus(const PhoneStatus&) = delete;
  PhoneStatus& operator=(const PhoneStatus&) = delete;

  // The initial values: four empty fields and three "0" flags.
  void ResetRecord();

  // The only way the first four fields change. Empty texts mean "not set".
  void AggiornaStato(const std::string& stato, const std::string& chiamata_stato,
                     const std::string& chiamata_prefix, const std::string& chiamata_numero);

  // Run by AggiornaStato when the new state is "IDLE" (takes line 1 off hold).
  void SetIdleAction(std::function<void()> action);
  // Further work for "IDLE", run after the idle action whoever registers first
  // (the commands reopen the microphone here).
  void AddIdleHook(std::function<void()> hook);

  void SetRec(const std::string& v);
  void SetHold(const std::string& v);
  void SetMute(const std::string& v);

  // All seven fields, read together.
  StatusFields Record() const;

  void AggiungiLog(const std::string& line);
  // Several lines kept together: another thread's lines never fall between them.
  void AggiungiLog(std::initializer_list<std::string> lines);
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
  void SetFlag(std::string StatusFields::*flag, const std::string& v);

  mutable std::mutex mutex_;  // record, log and the callbacks
  StatusFields record_;
  uint64_t version_ = 0;
  RecordObserver record_observer_;
  std::vector<std::string> log_;
  std::function<void()> idle_action_;
  std::vector<std::function<void()>> idle_hooks_;
  std::function<void(const std::string&)> log_observer_;
};

}  // namespace velnaro
