#include "status/phone_status.h"

namespace velnaro {

void PhoneStatus::ReplaceRecordLocked(const StatusFields& next) {
  if (next == record_) return;
  record_ = next;
  ++version_;
  if (record_observer_) record_observer_(version_, record_);
}

void PhoneStatus::AggiornaStato(LineState stato, CallState chiamata_stato,
                                const std::string& chiamata_prefix,
                                const std::string& chiamata_numero) {
  const bool idle = stato == LineState::kIdle;
  if (idle) {
    // Runs outside the lock: it calls into the phone, whose events update the record.
    std::function<void()> action;
    std::vector<std::function<void()>> hooks;
    {
      std::lock_guard lock(mutex_);
      action = idle_action_;
      hooks = idle_hooks_;
    }
    if (action) action();
    for (const auto& hook : hooks) hook();
  }
  std::lock_guard lock(mutex_);
  StatusFields next = record_;
  if (idle) {
    next.Hold = false;
    next.Mute = false;
  }
  next.Stato = stato;
  if (chiamata_stato != CallState::kNone) {
    next.ChiamataStato = chiamata_stato;
    if (!chiamata_numero.empty()) {
      next.ChiamataPrefix = chiamata_prefix;
      next.ChiamataNumero = chiamata_numero;
    }
  }
  ReplaceRecordLocked(next);  // one change, so a reader never sees half of it
}

void PhoneStatus::SetIdleAction(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  idle_action_ = std::move(action);
}

void PhoneStatus::AddIdleHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  idle_hooks_.push_back(std::move(hook));
}

void PhoneStatus::SetFlag(bool StatusFields::*flag, bool on) {
  std::lock_guard lock(mutex_);
  StatusFields next = record_;
  next.*flag = on;
  ReplaceRecordLocked(next);
}

void PhoneStatus::SetRec(bool on) {
  SetFlag(&StatusFields::Rec, on);
}
void PhoneStatus::SetHold(bool on) {
  SetFlag(&StatusFields::Hold, on);
}
void PhoneStatus::SetMute(bool on) {
  SetFlag(&StatusFields::Mute, on);
}

StatusFields PhoneStatus::Record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void PhoneStatus::AggiungiLog(const std::string& line) { AggiungiLog({line}); }

void PhoneStatus::AggiungiLog(std::initializer_list<std::string> lines) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard lock(mutex_);
    for (const std::string& line : lines) {
      if (log_.size() > kLogLimit) log_.clear();
      log_.push_back(line);
    }
    observer = log_observer_;
  }
  if (observer) {
    for (const std::string& line : lines) observer(line);
  }
}

std::vector<std::string> PhoneStatus::memoLogs() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void PhoneStatus::SetRecordObserver(RecordObserver observer) {
  std::lock_guard lock(mutex_);
  record_observer_ = std::move(observer);
  if (record_observer_) record_observer_(version_, record_);
}

void PhoneStatus::SetLogObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  log_observer_ = std::move(observer);
}

}  // namespace velnaro
