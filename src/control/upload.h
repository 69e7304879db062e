#pragma once
// The recording upload: a multipart POST of one file to the telephone system's server.

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace velnaro {

class ServiceLog;
class TwebServer;

// The file to send could not be opened; raised before any request is made.
class UploadFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Percent-encodes the bytes of a query as the page sent it that may not stand in a URL's
// query (space, quotes, '#', control characters, bytes from 128 up, a '%' that starts no
// escape, ...). Escapes, '+', '&' and '=' pass unchanged, so the receiver decodes the
// values the page sent.
std::string EncodeUploadQuery(std::string_view query);

// "http://" + host + "/velnaro/service/ds_phone/upload.php?" + encoded query.
std::string UploadAddress(const std::string& sip_server, std::string_view query);

// What bounds one upload. A receiver that takes the connection and then says nothing
// must not hold the thread that waits for it.
struct UploadLimits {
  std::chrono::seconds stall_timeout{60};     // nothing moved for this long: a failed post
  const std::atomic<bool>* cancel = nullptr;  // once set, the post ends as failed
};

// The window's upload button: posts the file named by txtFileName to txtURL2.
// Progress goes to the window's MessaggioUpload and the log, then the reply body or
// "Errore nel post del file". Only UploadFileError escapes.
void Button2Click(TwebServer& window, ServiceLog& log, const Clock& clock = DefaultClock());

// What Button2Click does once it has read the two fields; true when the receiver answered
// with a 2xx status.
bool UploadFile(TwebServer& window, ServiceLog& log, const std::string& url,
                const std::string& path, const Clock& clock = DefaultClock(),
                const UploadLimits& limits = {});

// RECSTOP's upload: UploadFile, except that a file that cannot be opened or locked is a
// failed post like any other ("Errore nel post del file" in the log); nothing escapes.
bool UploadRecording(TwebServer& window, ServiceLog& log, const std::string& url,
                     const std::string& path, const Clock& clock = DefaultClock(),
                     const UploadLimits& limits = {});

// The same form without progress or log lines, for a later retry: true on a 2xx status,
// with the reply's body in reply. Throws UploadFileError before any request.
bool PostRecording(const std::string& url, const std::string& path, const Clock& clock,
                   const UploadLimits& limits, std::string& reply);

}  // namespace velnaro
