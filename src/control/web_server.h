#pragma once
// TwebServer: the fields of the control service's diagnostic window "webServer": the switch
// for the detailed request log, the upload test fields with the last upload's progress
// message, and the labels that mirror the status record. The record and the service log
// are an object of their own (PhoneStatus); the interpreter answers the requests.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "status/phone_status.h"

namespace velnaro {

class TwebServer {
 public:
  // Timer1 ticks every timer1_interval while the window is on screen.
  explicit TwebServer(const PhoneStatus& status,
                      std::chrono::milliseconds timer1_interval = std::chrono::seconds(1));
  TwebServer(const TwebServer&) = delete;
  TwebServer& operator=(const TwebServer&) = delete;

  // Empties MessaggioUpload.
  void FormCreate();

  void SetMessaggioUpload(const std::string& text);
  std::string MessaggioUpload() const;

  // Upload fields of the window.
  void SetUploadFields(const std::string& url, const std::string& file_name);
  std::string txtURL2() const;
  std::string txtFileName() const;

  // "Visualizza log http richieste": every request with parameters is logged in detail.
  std::atomic<bool> ckLogHTTPRequest{false};

  // Mirrors of the record's first four fields, refreshed by Timer1Timer once a second. Read
  // when no tick came for a whole interval (the window hidden, its timer asleep), they
  // first catch up as the tick would have.
  struct Labels {
    std::string txtStato, txtChiamataStato, txtChiamataPrefix, txtChiamataNumero;
  };
  void Timer1Timer() { Mirror(); }
  Labels labels() const;

 private:
  using SteadyClock = std::chrono::steady_clock;
  void Mirror() const;

  const PhoneStatus& status_;
  const std::chrono::milliseconds timer1_interval_;
  mutable std::mutex mutex_;  // MessaggioUpload, upload fields, labels
  std::string messaggio_upload_;
  std::string url2_, file_name_;
  mutable Labels labels_;
  mutable SteadyClock::time_point mirrored_at_ = SteadyClock::now();
};

}  // namespace velnaro
