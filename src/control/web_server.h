#pragma once
// TwebServer: the control service. Besides the shared phone status record and service log
// it keeps the command table and the fields of its diagnostic window ("webServer"), and it
// answers the endpoint's requests through the interpreter.

#include <atomic>
#include <mutex>
#include <string>

#include "control/command_table.h"
#include "control/request_handler.h"
#include "status/phone_status.h"

namespace velnaro {

class TwebServer : public PhoneStatus, public RequestHandler {
 public:
  TwebServer();

  // Sets the initial values of the record and empties MessaggioUpload.
  void FormCreate();

  // RequestHandler: the interpreter over this service's command table.
  void HandleRequest(const ControlRequest& request, std::string& reply) override;

  void SetMessaggioUpload(const std::string& text);
  std::string MessaggioUpload() const;

  // Upload fields of the window.
  void SetUploadFields(const std::string& url, const std::string& file_name);
  std::string txtURL2() const;
  std::string txtFileName() const;

  std::atomic<bool> ckLogHTTPRequest{false};

  // Mirrors of the first four fields, refreshed by Timer1Timer once a second.
  struct Labels {
    std::string txtStato, txtChiamataStato, txtChiamataPrefix, txtChiamataNumero;
  };
  void Timer1Timer();
  Labels labels() const;

  CommandTable& Commands() { return commands_; }
  const CommandTable& Commands() const { return commands_; }

 private:
  mutable std::mutex mutex_;  // MessaggioUpload, upload fields, labels
  std::string messaggio_upload_;
  std::string url2_, file_name_;
  Labels labels_;
  CommandTable commands_;
};

}  // namespace velnaro
