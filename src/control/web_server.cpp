#include "control/web_server.h"

#include "control/interpreter.h"

namespace velnaro {

TwebServer::TwebServer() {
  FormCreate();
  SetUploadFields(
      "http://127.0.0.1/velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=226",
      "/tmp/rec000000000.wav");
  RegisterStatusCommand(*this);
}

void TwebServer::FormCreate() {
  std::lock_guard lock(mutex_);
  record_ = reply::StatusFields{"", "", "", "", "0", "0", "0"};
  messaggio_upload_.clear();
}

void TwebServer::AggiornaStato(const std::string& stato, const std::string& chiamata_stato,
                               const std::string& chiamata_prefix,
                               const std::string& chiamata_numero) {
  const bool idle = stato == "IDLE";
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
  if (idle) {
    record_.Hold = "0";
    record_.Mute = "0";
  }
  record_.Stato = stato;
  if (!chiamata_stato.empty()) {
    record_.ChiamataStato = chiamata_stato;
    if (!chiamata_numero.empty()) {
      record_.ChiamataPrefix = chiamata_prefix;
      record_.ChiamataNumero = chiamata_numero;
    }
  }
}

void TwebServer::SetIdleAction(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  idle_action_ = std::move(action);
}

void TwebServer::AddIdleHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  idle_hooks_.push_back(std::move(hook));
}

void TwebServer::SetRec(const std::string& v) {
  std::lock_guard lock(mutex_);
  record_.Rec = v;
}

void TwebServer::SetHold(const std::string& v) {
  std::lock_guard lock(mutex_);
  record_.Hold = v;
}

void TwebServer::SetMute(const std::string& v) {
  std::lock_guard lock(mutex_);
  record_.Mute = v;
}

reply::StatusFields TwebServer::Record() const {
  std::lock_guard lock(mutex_);
  return record_;
}

void TwebServer::AggiungiLog(const std::string& line) { AggiungiLog({line}); }

void TwebServer::AggiungiLog(std::initializer_list<std::string> lines) {
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

std::vector<std::string> TwebServer::memoLogs() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void TwebServer::SetLogObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  log_observer_ = std::move(observer);
}

void TwebServer::SetMessaggioUpload(const std::string& text) {
  std::lock_guard lock(mutex_);
  messaggio_upload_ = text;
}

std::string TwebServer::MessaggioUpload() const {
  std::lock_guard lock(mutex_);
  return messaggio_upload_;
}

void TwebServer::SetUploadFields(const std::string& url, const std::string& file_name) {
  std::lock_guard lock(mutex_);
  url2_ = url;
  file_name_ = file_name;
}

std::string TwebServer::txtURL2() const {
  std::lock_guard lock(mutex_);
  return url2_;
}

std::string TwebServer::txtFileName() const {
  std::lock_guard lock(mutex_);
  return file_name_;
}

void TwebServer::Timer1Timer() {
  std::lock_guard lock(mutex_);
  labels_.txtStato = record_.Stato;
  labels_.txtChiamataStato = record_.ChiamataStato;
  labels_.txtChiamataPrefix = record_.ChiamataPrefix;
  labels_.txtChiamataNumero = record_.ChiamataNumero;
}

TwebServer::Labels TwebServer::labels() const {
  std::lock_guard lock(mutex_);
  return labels_;
}

}  // namespace velnaro
