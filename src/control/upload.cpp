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

std::string EncodeUploadQuery(std::string_view raw_query) {
  return PercentEncode(raw_query, [](unsigned char c) {
    return c == ' ' || c == '#' || c == '%' || c < 0x20 || c == 0x7F || c >= 0x80;
  });
}

std::string UploadAddress(const std::string& sip_server, std::string_view raw_query) {
  return "http://" + sip_server + "/velnaro/service/ds_phone/upload.php?" +
         EncodeUploadQuery(raw_query);
}

void Button2Click(TwebServer& server, const Clock& clock) {
  UploadFile(server, server.txtURL2(), server.txtFileName(), clock);
}

void UploadFile(TwebServer& server, const std::string& url, const std::string& path,
                const Clock& clock) {
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

  // Each transfer (the form sent, every reply received) shows its progress.
  auto show = [&server](const std::string& text) {
    server.SetMessaggioUpload(text);
    server.AggiungiLog(text);
  };
  TransferProgress progress;
  progress.begin = [&show](std::int64_t length) {
    show(" - Upload start: " + std::to_string(std::max<std::int64_t>(length, 0)));
  };
  progress.work = [&show](std::int64_t bytes) { show(" - Upload: " + std::to_string(bytes)); };
  progress.end = [&show] { show("- Upload end "); };

  std::string reply;
  const bool ok = PostMultipart(url, boundary, parts, options, progress, reply);
  server.AggiungiLog(ok ? reply : "Errore nel post del file");
}

}  // namespace velnaro
