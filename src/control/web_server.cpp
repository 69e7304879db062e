#include "control/web_server.h"

namespace velnaro {

TwebServer::TwebServer(const PhoneStatus& status, std::chrono::milliseconds timer1_interval)
    : status_(status), timer1_interval_(timer1_interval) {
  FormCreate();
  SetUploadFields(
      "http://127.0.0.1/velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=226",
      "/tmp/rec000000000.wav");
}

void TwebServer::FormCreate() {
  std::lock_guard lock(mutex_);
  messaggio_upload_.clear();
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

void TwebServer::Mirror() const {
  const StatusFields record = status_.Record();
  std::lock_guard lock(mutex_);
  mirrored_at_ = SteadyClock::now();
  labels_.txtStato = WireText(record.Stato);
  labels_.txtChiamataStato = WireText(record.ChiamataStato);
  labels_.txtChiamataPrefix = record.ChiamataPrefix;
  labels_.txtChiamataNumero = record.ChiamataNumero;
}

TwebServer::Labels TwebServer::labels() const {
  {
    std::lock_guard lock(mutex_);
    if (SteadyClock::now() - mirrored_at_ < timer1_interval_) return labels_;
  }
  Mirror();
  std::lock_guard lock(mutex_);
  return labels_;
}

}  // namespace velnaro
