#include "control/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "control/web_server.h"
#include "net/http_client.h"
#include "net/percent_encoding.h"
#include "status/phone_status.h"

namespace velnaro {
namespace {

// The file, opened for reading with a shared lock so that cooperating writers stay out
// while it is sent.
class LockedFile {
 public:
  explicit LockedFile(const std::string& path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Fail(path, errno);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd_, F_OFD_SETLK, &lock) != 0) Fail(path, errno);
    struct stat st {};
    if (fstat(fd_, &st) != 0) Fail(path, errno);
    if (S_ISDIR(st.st_mode)) Fail(path, EISDIR);
    size_ = st.st_size;
  }
  ~LockedFile() {
    if (fd_ >= 0) close(fd_);  // also drops the lock
  }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  int fd() const { return fd_; }
  std::int64_t size() const { return size_; }

 private:
  [[noreturn]] void Fail(const std::string& path, int error) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    throw UploadFileError("Cannot open file \"" + path + "\". " + std::strerror(error));
  }
  int fd_ = -1;
  std::int64_t size_ = 0;
};

}  // namespace

std::string EncodeUploadQuery(std::string_view query) {
  // What a query may hold as it is: unreserved and sub-delimiter characters, ':', '@',
  // '/', '?' (RFC 3986), and '%' when it starts an escape.
  static constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@/?";
  std::string out;
  out.reserve(query.size());
  size_t pos = 0;
  while (pos < query.size()) {
    const size_t percent = query.find('%', pos);
    const size_t end = percent == std::string_view::npos ? query.size() : percent;
    out += PercentEncode(query.substr(pos, end - pos), [](unsigned char c) {
      const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      return !alnum && kAllowed.find(static_cast<char>(c)) == std::string_view::npos;
    });
    if (end == query.size()) break;
    const bool escape = end + 2 < query.size() && HexDigitValue(query[end + 1]) >= 0 &&
                        HexDigitValue(query[end + 2]) >= 0;
    out += escape ? "%" : "%25";
    pos = end + 1;
  }
  return out;
}

std::string UploadAddress(const std::string& sip_server, std::string_view query) {
  return "http://" + sip_server + "/velnaro/service/ds_phone/upload.php?" +
         EncodeUploadQuery(query);
}

void Button2Click(TwebServer& window, ServiceLog& log, const Clock& clock) {
  UploadFile(window, log, window.txtURL2(), window.txtFileName(), clock);
}

namespace {

bool Post(const std::string& url, const std::string& path, const Clock& clock,
          const UploadLimits& limits, const TransferProgress& progress, std::string& reply) {
  const LockedFile file(path);  // throws before any request
  const std::string boundary = "--------" + FormatTime(clock.Now(), "mmddyyhhnnsszzz");
  std::vector<FormPart> parts;
  parts.push_back({.name = "Allegato", .file_name = path, .fd = file.fd(), .size = file.size()});
  for (const auto& [name, value] : {std::pair{"PackageFileCount", "1"},
                                    {"SourceFileCreatedDateTime_0", "10:10:10 10:10"},
                                    {"NomeFile", "asdasd"},
                                    {"MAX_FILE_SIZE", "10000"}}) {
    parts.push_back({.name = name, .value = value});
  }
  RequestOptions options;
  options.headers = {std::string("User-Agent: ") + kUserAgent, "Accept: text/html, */*"};
  options.connect_timeout = std::chrono::minutes(5);
  options.use_proxy = false;  // the server is reached directly
  options.stall_timeout = limits.stall_timeout;
  options.cancel = limits.cancel;
  return PostMultipart(url, boundary, parts, options, progress, reply);
}

}  // namespace

bool UploadFile(TwebServer& window, ServiceLog& log, const std::string& url,
                const std::string& path, const Clock& clock, const UploadLimits& limits) {
  // Each transfer (the form sent, every reply received) shows its progress.
  auto show = [&](const std::string& text) {
    window.SetMessaggioUpload(text);
    log.AggiungiLog(text);
  };
  TransferProgress progress;
  progress.begin = [&show](std::int64_t length) {
    show(" - Upload start: " + std::to_string(std::max<std::int64_t>(length, 0)));
  };
  progress.work = [&show](std::int64_t bytes) { show(" - Upload: " + std::to_string(bytes)); };
  progress.end = [&show] { show("- Upload end "); };

  std::string reply;
  const bool ok = Post(url, path, clock, limits, progress, reply);
  log.AggiungiLog(ok ? reply : "Errore nel post del file");
  return ok;
}

bool UploadRecording(TwebServer& window, ServiceLog& log, const std::string& url,
                     const std::string& path, const Clock& clock, const UploadLimits& limits) {
  try {
    return UploadFile(window, log, url, path, clock, limits);
  } catch (const UploadFileError&) {
    // The save succeeded and the reply says so; the file is there for a later try.
    log.AggiungiLog("Errore nel post del file");
    return false;
  }
}

bool PostRecording(const std::string& url, const std::string& path, const Clock& clock,
                   const UploadLimits& limits, std::string& reply) {
  return Post(url, path, clock, limits, {}, reply);
}

}  // namespace velnaro
