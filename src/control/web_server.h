#pragma once
// TwebServer: the control service. It keeps the phone status record and the service
// log that the rest of the program shares, the command table, and the fields of its
// diagnostic window ("webServer").

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "control/command_table.h"
#include "control/reply.h"

namespace velnaro {

class TwebServer {
 public:
  static constexpr size_t kLogLimit = 100;  // more than this empties the log before appending

  TwebServer();
  TwebServer(const TwebServer&) = delete;
  TwebServer& operator=(const TwebServer&) = delete;

  // Sets the initial values of the record and empties MessaggioUpload.
  void FormCreate();

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
  reply::StatusFields Record() const;

  void AggiungiLog(const std::string& line);
  // Several lines kept together: another thread's lines never fall between them.
  void AggiungiLog(std::initializer_list<std::string> lines);
  std::vector<std::string> memoLogs() const;
  // Called after every appended line (outside the lock), e.g. to refresh a window.
  void SetLogObserver(std::function<void(const std::string&)> observer);

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
  mutable std::mutex mutex_;  // record, log, MessaggioUpload, upload fields, labels
  reply::StatusFields record_;
  std::vector<std::string> log_;
  std::string messaggio_upload_;
  std::string url2_, file_name_;
  Labels labels_;
  std::function<void()> idle_action_;
  std::vector<std::function<void()>> idle_hooks_;
  std::function<void(const std::string&)> log_observer_;
  CommandTable commands_;
};

}  // namespace velnaro
