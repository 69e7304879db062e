#pragma once
// The recording upload: a multipart POST of one file to the telephone system's server.

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace velnaro {

class TwebServer;

// The file to send could not be opened; raised before any request is made.
class UploadFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Percent-encodes the characters of a decoded query that would break the request line
// or start a header (space, '#', '%', control characters, bytes from 128 up); '&' and
// '=' stay separators, so an ordinary query passes unchanged.
std::string EncodeUploadQuery(std::string_view raw_query);

// "http://" + host + "/velnaro/service/ds_phone/upload.php?" + encoded query.
std::string UploadAddress(const std::string& sip_server, std::string_view raw_query);

// The window's upload button: posts the file named by txtFileName to txtURL2.
// Progress goes to MessaggioUpload and the log, then the reply body or
// "Errore nel post del file". Only UploadFileError escapes.
void Button2Click(TwebServer& server, const Clock& clock = DefaultClock());

// What Button2Click does once it has read the two fields.
void UploadFile(TwebServer& server, const std::string& url, const std::string& path,
                const Clock& clock = DefaultClock());

}  // namespace velnaro
