#pragma once
// Reading one request of the control endpoint from the bytes a connection delivers.
// The head is found by our own scan (so the request line and the head have separate
// bounds), then parsed by Beast; the body is taken only for url-encoded form posts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

struct HttpLimits {
  size_t max_request_line = 8 * 1024;  // beyond it: 414
  size_t max_head = 32 * 1024;         // request line, fields and the blank line: 431
  size_t max_form_body = 1024 * 1024;  // url-encoded form body: 413
};

enum class HttpMethodKind { kGet, kHead, kPost, kOther };

struct HttpRequest {
  HttpMethodKind kind = HttpMethodKind::kOther;
  std::string method;
  std::string target;
  std::string content_type;
  bool form = false;      // POST with content type exactly application/x-www-form-urlencoded
  std::string form_body;  // only kept for a form post
  bool expect_continue = false;  // "Expect: 100-continue": the client waits before the body
  // What the access check reads. A field sent twice keeps both values joined by ", ", so it
  // matches no origin or host.
  std::optional<std::string> origin;
  std::optional<std::string> host;
  std::string sec_fetch_site;
  std::string access_control_request_method;   // set: a preflight
  std::string access_control_request_headers;
  bool access_control_request_private_network = false;
};

// Percent-decodes text; with plus_is_space, '+' becomes a space first. Malformed escapes
// are kept as they are.
void PercentDecode(std::string_view in, bool plus_is_space, std::string& out);

// Splits url-encoded text at every '&' into decoded entries, appended to out. An empty
// piece between two '&' is an entry; a '&' at the end (or empty text) adds none. With
// sent, which holds out's earlier entries as they came, each new entry's piece (still
// encoded) is joined on with '&'.
void AppendEntries(std::string_view encoded, std::vector<std::string>& out,
                   std::string* sent = nullptr);

// The document path (decoded, without the query) and the parameter entries of a request:
// a form post's body pieces first, then the query's. With query, the same entries as
// the request carried them, joined with '&'.
void DecodeTarget(const HttpRequest& request, std::string& document,
                  std::vector<std::string>& params, std::string* query = nullptr);

class HttpRequestReader {
 public:
  enum class State { kNeedMore, kDone, kError };

  explicit HttpRequestReader(HttpLimits limits = {});
  ~HttpRequestReader();
  HttpRequestReader(const HttpRequestReader&) = delete;
  HttpRequestReader& operator=(const HttpRequestReader&) = delete;

  // Starts a new request, keeping buffers for reuse.
  void Reset();

  // Offers newly received bytes. Bytes after the end of the request are ignored.
  State Feed(std::string_view data);
  // The peer closed its side.
  State FeedEof();

  State state() const { return state_; }
  // Set with kError: 400, 413, 414 or 431.
  int error_status() const { return error_status_; }
  // Nothing at all was received.
  bool empty() const { return received_ == 0; }
  // The head is complete and the body is still to come.
  bool in_body() const { return in_body_ && state_ == State::kNeedMore; }
  const HttpRequest& request() const { return request_; }

 private:
  class Parser;
  State ScanHead(size_t from);
  State ParseHead(size_t head_size);
  State PutBody(std::string_view data);
  State Fail(int status);

  HttpLimits limits_;
  State state_ = State::kNeedMore;
  int error_status_ = 0;
  size_t received_ = 0;
  bool in_body_ = false;
  size_t line_end_ = std::string::npos;  // first '\n' of the request line, once seen
  std::string head_;                     // bytes up to the end of the head, and a little after
  std::string pending_;                  // body bytes Beast has not consumed yet
  HttpRequest request_;
  std::unique_ptr<Parser> parser_;
};

}  // namespace velnaro
