#include "control/upload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "control/web_server.h"
#include "net/percent_encoding.h"
#include "provisioning/curl_client.h"

namespace velnaro {
namespace {

constexpr long kConnectTimeoutMs = 300000;
constexpr long kMaxRedirects = 15;
constexpr long kBlockSize = 1024 * 1024;  // bytes handed to libcurl per read

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
  curl_off_t size() const { return size_; }

 private:
  [[noreturn]] void Fail(const std::string& path, int error) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    throw UploadFileError("Cannot open file \"" + path + "\". " + std::strerror(error));
  }
  int fd_ = -1;
  curl_off_t size_ = 0;
};

// Quotes in a part's file name would end the header value early; encode them (and line
// breaks) as browsers do. An ordinary path is unchanged.
std::string QuoteFileName(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

// The multipart body: a head, the file's bytes read from disk as they are sent, a tail.
class MultipartBody {
 public:
  MultipartBody(const std::string& boundary, const std::string& path, const LockedFile& file)
      : file_(file) {
    const std::string dash = "--" + boundary;
    head_ = dash + "\r\n" +
            "Content-Disposition: form-data; name=\"Allegato\"; filename=\"" +
            QuoteFileName(path) + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n";
    tail_ = "\r\n";
    for (const auto& [name, value] : {std::pair{"PackageFileCount", "1"},
                                      {"SourceFileCreatedDateTime_0", "10:10:10 10:10"},
                                      {"NomeFile", "asdasd"},
                                      {"MAX_FILE_SIZE", "10000"}}) {
      tail_ += dash + "\r\n" + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
               value + "\r\n";
    }
    tail_ += dash + "--\r\n";
  }

  curl_off_t size() const {
    return static_cast<curl_off_t>(head_.size()) + file_.size() +
           static_cast<curl_off_t>(tail_.size());
  }
  curl_off_t position() const { return position_; }
  void Seek(curl_off_t to) { position_ = to; }

  // Fills up to n bytes; -1 when the file turned out shorter than when it was opened.
  ssize_t Read(char* out, size_t n) {
    size_t done = 0;
    const curl_off_t head = static_cast<curl_off_t>(head_.size());
    const curl_off_t file_end = head + file_.size();
    while (done < n && position_ < size()) {
      if (position_ < head) {
        const size_t k = std::min(n - done, static_cast<size_t>(head - position_));
        std::memcpy(out + done, head_.data() + position_, k);
        done += k;
        position_ += static_cast<curl_off_t>(k);
      } else if (position_ < file_end) {
        const size_t want = std::min(n - done, static_cast<size_t>(file_end - position_));
        const ssize_t got = pread(file_.fd(), out + done, want, position_ - head);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
        position_ += got;
      } else {
        const size_t offset = static_cast<size_t>(position_ - file_end);
        const size_t k = std::min(n - done, tail_.size() - offset);
        std::memcpy(out + done, tail_.data() + offset, k);
        done += k;
        position_ += static_cast<curl_off_t>(k);
      }
    }
    return static_cast<ssize_t>(done);
  }

 private:
  const LockedFile& file_;
  std::string head_, tail_;
  curl_off_t position_ = 0;
};

// One POST, with the progress notifications of each transfer (the form sent, the
// reply received).
class Upload {
 public:
  Upload(TwebServer& server, MultipartBody& body) : server_(server), body_(body) {}

  void IdHTTP_WorkBegin(curl_off_t count) { Progress(" - Upload start: " + std::to_string(count)); }
  void IdHTTP_Work(curl_off_t count) { Progress(" - Upload: " + std::to_string(count)); }
  void IdHTTP_WorkEnd() { Progress("- Upload end "); }

  static size_t ReadCallback(char* buffer, size_t size, size_t items, void* self) {
    auto* u = static_cast<Upload*>(self);
    if (!u->sending_) {
      u->sending_ = true;
      u->IdHTTP_WorkBegin(u->body_.size());
    }
    const ssize_t n = u->body_.Read(buffer, size * items);
    if (n < 0) return CURL_READFUNC_ABORT;
    if (n > 0) u->IdHTTP_Work(u->body_.position());
    if (u->body_.position() == u->body_.size()) u->EndSending();
    return static_cast<size_t>(n);
  }

  // A redirect that keeps the method sends the form again from the start.
  static int SeekCallback(void* self, curl_off_t offset, int origin) {
    auto* u = static_cast<Upload*>(self);
    if (origin != SEEK_SET || offset < 0 || offset > u->body_.size()) return CURL_SEEKFUNC_FAIL;
    u->EndSending();  // the form may have been cut short by the redirect
    u->body_.Seek(offset);
    return CURL_SEEKFUNC_OK;
  }

  static size_t WriteCallback(char* data, size_t size, size_t items, void* self) {
    auto* u = static_cast<Upload*>(self);
    const size_t n = size * items;
    if (!u->receiving_) {
      u->receiving_ = true;
      curl_off_t length = -1;
      curl_easy_getinfo(u->curl_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      u->IdHTTP_WorkBegin(length < 0 ? 0 : length);
    }
    u->reply_.append(data, n);
    u->received_ += static_cast<curl_off_t>(n);
    u->IdHTTP_Work(u->received_);
    return n;
  }

  // Each response of a redirect chain is a transfer of its own.
  static size_t HeaderCallback(char* data, size_t size, size_t items, void* self) {
    auto* u = static_cast<Upload*>(self);
    const size_t n = size * items;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
      u->EndReceiving();
      u->reply_.clear();
      u->received_ = 0;
    }
    return n;
  }

  // A transfer cut short still ends.
  void EndSending() {
    if (sending_) {
      sending_ = false;
      IdHTTP_WorkEnd();
    }
  }
  void EndReceiving() {
    if (receiving_) {
      receiving_ = false;
      IdHTTP_WorkEnd();
    }
  }

  CURL* curl_ = nullptr;
  std::string reply_;

 private:
  void Progress(const std::string& text) {
    server_.SetMessaggioUpload(text);
    server_.AggiungiLog(text);
  }

  TwebServer& server_;
  MultipartBody& body_;
  bool sending_ = false, receiving_ = false;
  curl_off_t received_ = 0;
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
  // A boundary of our own choosing is not something libcurl's mime API offers, so the
  // form is encoded here and streamed through the read callback.
  const std::string boundary = "--------" + FormatTime(clock.Now(), "mmddyyhhnnsszzz");
  MultipartBody body(boundary, path, file);
  Upload upload(server, body);

  CurlPtr curl = NewCurlClient();
  bool ok = false;
  if (curl) {
    upload.curl_ = curl.get();
    SlistPtr headers;
    for (const std::string& h :
         {"Content-Type: multipart/form-data; boundary=" + boundary,
          std::string("User-Agent: ") + kUserAgent, std::string("Accept: text/html, */*"),
          std::string("Expect:")}) {  // no 100-continue round trip
      headers.reset(curl_slist_append(headers.release(), h.c_str()));
    }
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // the server is reached directly
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, body.size());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &Upload::ReadCallback);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_SEEKFUNCTION, &Upload::SeekCallback);
    curl_easy_setopt(c, CURLOPT_SEEKDATA, &upload);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Upload::WriteCallback);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &upload);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Upload::HeaderCallback);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &upload);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, kBlockSize);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    const CURLcode result = curl_easy_perform(c);
    upload.EndSending();
    upload.EndReceiving();
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    ok = result == CURLE_OK && status >= 200 && status < 300;
  }
  server.AggiungiLog(ok ? upload.reply_ : "Errore nel post del file");
}

}  // namespace velnaro
