#pragma once
// TwebServer: the fields of the control service's diagnostic window "webServer": the switch
// for the detailed request log, the upload test fields with the last upload's progress
// message, and the labels that mirror the status record. The record and the service log
// are an object of their own (PhoneStatus); the interpreter answers the requests.

#include <atomic>
#include <mutex>
#include <string>

#include "status/phone_status.h"

namespace velnaro {

class TwebServer {
 public:
  explicit TwebServer(const PhoneStatus& status);
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

  // Mirrors of the record's first four fields, refreshed by Timer1Timer once a second.
  struct Labels {
    std::string txtStato, txtChiamataStato, txtChiamataPrefix, txtChiamataNumero;
  };
  void Timer1Timer();
  Labels labels() const;

 private:
  const PhoneStatus& status_;
  mutable std::mutex mutex_;  // MessaggioUpload, upload fields, labels
  std::string messaggio_upload_;
  std::string url2_, file_name_;
  Labels labels_;
};

}  // namespace velnaro
