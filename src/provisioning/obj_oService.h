#pragma once
// Client of the provisioning web service: the generic form POST, the start-up action and
// file downloads with progress.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"

namespace velnaro {

inline constexpr const char* kConnectionProblem = "Problema di connessione";
inline constexpr const char* kInvalidReply = "Risposta del servizio non valida";

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
  // SoftwareStart in two halves, for a retry off the user-interface thread. The request is
  // prepared from the configuration as it is now; sending it touches nothing of this object
  // and may happen on any thread: true with the reply's body, false when the service could
  // not be reached. AcceptStartReply then does what SoftwareStart does with that outcome.
  std::function<bool(std::string& reply)> PrepareStartRequest();
  bool AcceptStartReply(bool arrived, const std::string& reply);
  // The reading half of SoftwareStart: sets ErrorID/ErrorDS and stores the reply values.
  // A reply that is not JSON, or lacks Response, Response.Error or (ErrorID 0) Data,
  // gives false with ErrorDS kInvalidReply and stores nothing more.
  bool ReadStartReply(const std::string& reply);
  // GET without following redirects, streamed into a temporary file beside file_name
  // that is renamed to file_name only when the whole body has arrived; the file is the
  // user's alone (0600). Reports to `progress` (the update page's progress bar).
  bool DownloadFile(const std::string& url, const std::string& file_name);

  // How long the service may take. Tests shorten them.
  struct Limits {
    std::chrono::milliseconds connect{5000};  // connecting, for an action
    std::chrono::milliseconds action{60000};  // a whole action: a service that accepts and
                                              // then stalls must not hold the window
    std::chrono::seconds download_stall{60};  // a download that moves nothing this long fails
  };
  Limits limits;

  std::string URL;
  std::string ActionUser;
  std::string ActionPass;
  std::string ResponseText;
  std::int32_t ErrorID = 0;
  std::string ErrorDS;
  TransferProgress progress;

 private:
  // The form body of an action, the envelope appended to `fields` (see PostAction).
  std::string ActionBody(const std::string& action_code, std::vector<std::string>& fields);
  RequestOptions ActionOptions() const;

  TConfig& config_;
  TobjVelnaroDS& velnaro_;
};

}  // namespace velnaro
