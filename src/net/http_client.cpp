#include "net/http_client.h"

#include <curl/curl.h>
#include <libssh2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace velnaro {
namespace {

constexpr long kMaxRedirects = 15;
constexpr long kUploadBlockSize = 1024 * 1024;  // bytes handed to libcurl per read

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

std::atomic<bool> g_cancelled{false};

bool Cancelled(const std::atomic<bool>* own) { return g_cancelled.load() || (own && own->load()); }

int AbortWhenCancelled(void* own, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return Cancelled(static_cast<const std::atomic<bool>*>(own)) ? 1 : 0;
}

// A new handle (nullptr when libcurl has none) limited to http/https, redirects included,
// without signals, with the options every request takes.
CurlPtr NewClient(const std::string& url, const RequestOptions& options) {
  static std::once_flag once;
  std::call_once(once, [] {
    // libcurl initialises the SSH library it links, whose first initialisation also sets
    // up a second crypto library (some 1.5 MB resident) for protocols no request may use.
    // Taken first here without crypto, the later one only counts.
    libssh2_init(LIBSSH2_INIT_NO_CRYPTO);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
  CurlPtr c(curl_easy_init());
  if (!c) return c;
  CURL* h = c.get();
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // A request that started encrypted never goes on in the clear.
  const bool secure = url.compare(0, 8, "https://") == 0;
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  if (!options.user_agent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, options.user_agent.c_str());
  if (!options.use_proxy) curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(options.connect_timeout.count()));
  if (options.stall_timeout.count() > 0) {
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stall_timeout.count()));
  }
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.total_timeout.count()));
  // Called about once a second even while nothing moves, so a cancel is seen at once.
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &AbortWhenCancelled);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(options.cancel));
  if (!options.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, options.ca_file.c_str());
  if (Cancelled(options.cancel)) return nullptr;
  return c;
}

// The content type first, the caller's lines, and no 100-continue round trip.
SlistPtr PostHeaders(const std::string& content_type, const RequestOptions& options) {
  SlistPtr list;
  auto add = [&list](const std::string& line) {
    list.reset(curl_slist_append(list.release(), line.c_str()));
  };
  add("Content-Type: " + content_type);
  for (const std::string& line : options.headers) add(line);
  add("Expect:");
  return list;
}

}  // namespace

void CancelAllTransfers() { g_cancelled = true; }

namespace {

void FollowRedirects(CURL* c) {
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
}

bool Is2xx(CURL* c) {
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  return code >= 200 && code <= 299;
}

std::int64_t AnnouncedLength(CURL* c) {
  curl_off_t length = -1;
  curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  return length;
}

size_t AppendToString(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

// One direction of progress: begin once, work, end once.
class ProgressLeg {
 public:
  explicit ProgressLeg(const TransferProgress& progress) : progress_(progress) {}
  bool open() const { return open_; }
  void Begin(std::int64_t length) {
    open_ = true;
    if (progress_.begin) progress_.begin(length);
  }
  void Work(std::int64_t bytes) {
    if (progress_.work) progress_.work(bytes);
  }
  // A transfer cut short still ends.
  void End() {
    if (!open_) return;
    open_ = false;
    if (progress_.end) progress_.end();
  }

 private:
  const TransferProgress& progress_;
  bool open_ = false;
};

// Quotes in a part's file name would end the header value early; encode them (and line
// breaks) as browsers do. An ordinary path is unchanged.
std::string QuoteFileName(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '"') out += "%22";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

// The multipart body as pieces of text and file ranges, read as it is sent.
class MultipartBody {
 public:
  MultipartBody(const std::string& boundary, const std::vector<FormPart>& parts) {
    const std::string dash = "--" + boundary + "\r\n";
    std::string text;
    for (const FormPart& part : parts) {
      text += dash + "Content-Disposition: form-data; name=\"" + part.name + "\"";
      if (part.fd >= 0) {
        text += "; filename=\"" + QuoteFileName(part.file_name) + "\"\r\n" +
                "Content-Type: application/octet-stream\r\n\r\n";
        AddText(std::move(text));
        text.clear();
        pieces_.push_back({{}, part.fd, part.size});
        size_ += part.size;
      } else {
        text += "\r\n\r\n" + part.value;
      }
      text += "\r\n";
    }
    AddText(text + "--" + boundary + "--\r\n");
  }

  std::int64_t size() const { return size_; }
  std::int64_t position() const { return position_; }
  void Seek(std::int64_t to) { position_ = to; }

  // Fills up to n bytes; -1 when a file turned out shorter than announced.
  ssize_t Read(char* out, size_t n) {
    size_t done = 0;
    std::int64_t start = 0;  // of the current piece
    for (const Piece& piece : pieces_) {
      const std::int64_t end = start + piece.size;
      while (done < n && position_ < end) {
        const std::int64_t offset = position_ - start;
        const size_t want = static_cast<size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(n - done), end - position_));
        if (piece.fd < 0) {
          std::memcpy(out + done, piece.text.data() + offset, want);
          done += want;
          position_ += static_cast<std::int64_t>(want);
          continue;
        }
        const ssize_t got = pread(piece.fd, out + done, want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
        position_ += got;
      }
      start = end;
    }
    return static_cast<ssize_t>(done);
  }

 private:
  struct Piece {
    std::string text;
    int fd = -1;  // a file range when set
    std::int64_t size = 0;
  };
  void AddText(std::string text) {
    size_ += static_cast<std::int64_t>(text.size());
    const auto length = static_cast<std::int64_t>(text.size());
    pieces_.push_back({std::move(text), -1, length});
  }

  std::vector<Piece> pieces_;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

// One multipart POST: the form streamed out, each reply of the chain taken in, each a
// transfer of its own.
class MultipartTransfer {
 public:
  MultipartTransfer(CURL* curl, MultipartBody& body, const TransferProgress& progress)
      : curl_(curl), body_(body), sending_(progress), receiving_(progress) {}

  static size_t Read(char* buffer, size_t size, size_t items, void* self) {
    auto* t = static_cast<MultipartTransfer*>(self);
    if (!t->sending_.open()) t->sending_.Begin(t->body_.size());
    const ssize_t n = t->body_.Read(buffer, size * items);
    if (n < 0) return CURL_READFUNC_ABORT;
    if (n > 0) t->sending_.Work(t->body_.position());
    if (t->body_.position() == t->body_.size()) t->sending_.End();
    return static_cast<size_t>(n);
  }

  // A redirect that keeps the method sends the form again from the start.
  static int Seek(void* self, curl_off_t offset, int origin) {
    auto* t = static_cast<MultipartTransfer*>(self);
    if (origin != SEEK_SET || offset < 0 || offset > t->body_.size()) return CURL_SEEKFUNC_FAIL;
    t->sending_.End();  // the form may have been cut short by the redirect
    t->body_.Seek(offset);
    return CURL_SEEKFUNC_OK;
  }

  static size_t Write(char* data, size_t size, size_t items, void* self) {
    auto* t = static_cast<MultipartTransfer*>(self);
    const size_t n = size * items;
    if (!t->receiving_.open()) t->receiving_.Begin(AnnouncedLength(t->curl_));
    t->reply_.append(data, n);
    t->received_ += static_cast<std::int64_t>(n);
    t->receiving_.Work(t->received_);
    return n;
  }

  // Each response of a redirect chain is a transfer of its own.
  static size_t Header(char* data, size_t size, size_t items, void* self) {
    auto* t = static_cast<MultipartTransfer*>(self);
    const size_t n = size * items;
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
      t->receiving_.End();
      t->reply_.clear();
      t->received_ = 0;
    }
    return n;
  }

  void EndAll() {
    sending_.End();
    receiving_.End();
  }
  std::string& reply() { return reply_; }

 private:
  CURL* curl_;
  MultipartBody& body_;
  ProgressLeg sending_, receiving_;
  std::string reply_;
  std::int64_t received_ = 0;
};

struct DownloadState {
  CURL* curl;
  const std::function<bool(std::string_view)>& write;
  ProgressLeg progress;
  bool refused = false;  // status outside 2xx: nothing written
  std::int64_t received = 0;
};

size_t WriteDownload(char* data, size_t size, size_t n, void* user) {
  auto* st = static_cast<DownloadState*>(user);
  const size_t bytes = size * n;
  if (!st->progress.open()) {
    if (!Is2xx(st->curl)) {
      st->refused = true;
      return 0;
    }
    st->progress.Begin(AnnouncedLength(st->curl));
  }
  if (!st->write({data, bytes})) return 0;
  st->received += static_cast<std::int64_t>(bytes);
  st->progress.Work(st->received);
  return bytes;
}

}  // namespace

bool PostForm(const std::string& url, const std::string& body, const RequestOptions& options,
              std::string& reply) {
  CurlPtr curl = NewClient(url, options);
  if (!curl) return false;
  CURL* c = curl.get();
  SlistPtr headers = PostHeaders("application/x-www-form-urlencoded", options);
  std::string received;
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, body.c_str());
  FollowRedirects(c);
  // A moved service still gets the form, not an empty GET.
  curl_easy_setopt(c, CURLOPT_POSTREDIR,
                   static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &received);
  if (curl_easy_perform(c) != CURLE_OK || !Is2xx(c)) return false;
  reply = std::move(received);
  return true;
}

bool PostMultipart(const std::string& url, const std::string& boundary,
                   const std::vector<FormPart>& parts, const RequestOptions& options,
                   const TransferProgress& progress, std::string& reply) {
  // A boundary of the caller's choosing is not something libcurl's mime API offers, so
  // the form is encoded here and streamed through the read callback.
  MultipartBody body(boundary, parts);
  CurlPtr curl = NewClient(url, options);
  if (!curl) return false;
  CURL* c = curl.get();
  MultipartTransfer transfer(c, body, progress);
  SlistPtr headers = PostHeaders("multipart/form-data; boundary=" + boundary, options);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_READFUNCTION, &MultipartTransfer::Read);
  curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_SEEKFUNCTION, &MultipartTransfer::Seek);
  curl_easy_setopt(c, CURLOPT_SEEKDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &MultipartTransfer::Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &MultipartTransfer::Header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBlockSize);
  FollowRedirects(c);
  const CURLcode result = curl_easy_perform(c);
  transfer.EndAll();
  reply = std::move(transfer.reply());
  return result == CURLE_OK && Is2xx(c);
}

bool Download(const std::string& url, const RequestOptions& options,
              const std::function<bool(std::string_view)>& write,
              const TransferProgress& progress) {
  CurlPtr curl = NewClient(url, options);
  if (!curl) return false;
  CURL* c = curl.get();
  DownloadState st{c, write, ProgressLeg(progress)};
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteDownload);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &st);
  const bool ok = curl_easy_perform(c) == CURLE_OK && Is2xx(c) && !st.refused;
  if (ok && !st.progress.open()) st.progress.Begin(0);  // an empty body: no write ran
  st.progress.End();
  return ok;
}

}  // namespace velnaro
