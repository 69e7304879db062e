#pragma once
// Client of the provisioning web service: the generic form POST, the start-up action and
// file downloads with progress.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "provisioning/clConfig.h"
#include "provisioning/curl_client.h"
#include "provisioning/obj_VelnaroDS.h"

namespace velnaro {

inline constexpr const char* kConnectionProblem = "Problema di connessione";
inline constexpr const char* kInvalidReply = "Risposta del servizio non valida";

// Progress of a download, for the update page's progress bar.
struct DownloadHooks {
  std::function<void(std::int64_t announced_length)> begin;  // -1 when not announced
  std::function<void(std::int64_t bytes_so_far)> work;
  std::function<void()> end;
};

// Percent-encoding of a form value: bytes 33..127 pass except * # % < > [ ] & + =;
// everything else becomes %XX (upper-case hex).
std::string EncodeFormValue(const std::string& value);

class ToService {
 public:
  ToService(TConfig& config, TobjVelnaroDS& velnaro);

  // Posts action_code with the envelope (every field twice) to URL. `fields` holds the
  // caller's lines on entry and every line sent, values encoded, on return.
  bool PostAction(const std::string& action_code, std::vector<std::string>& fields);
  // "SOFTWARE.START": posts, then ReadStartReply(ResponseText). JsonTypeError leaves it.
  bool SoftwareStart();
  // The reading half of SoftwareStart: sets ErrorID/ErrorDS and stores the reply values.
  // A reply that is not JSON, or lacks Response, Response.Error or (ErrorID 0) Data,
  // gives false with ErrorDS kInvalidReply and stores nothing more.
  bool ReadStartReply(const std::string& reply);
  // GET without following redirects, streamed into a temporary file beside file_name
  // that is renamed to file_name only when the whole body has arrived.
  bool DownloadFile(const std::string& url, const std::string& file_name);

  // Progress handlers attached to downloads; they forward to `progress`.
  void IdHTTP1WorkBegin(std::int64_t max_count);
  void IdHTTP1Work(std::int64_t count);
  void IdHTTP1WorkEnd();

  std::string URL;
  std::string ActionUser;
  std::string ActionPass;
  std::string ResponseText;
  std::int32_t ErrorID = 0;
  std::string ErrorDS;
  DownloadHooks progress;

 private:
  TConfig& config_;
  TobjVelnaroDS& velnaro_;
};

}  // namespace velnaro
