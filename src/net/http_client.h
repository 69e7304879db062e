#pragma once
// The program's HTTP client, on libcurl: a url-encoded form POST, a multipart POST that
// streams its file from disk, and a download into a writer. Every transfer is limited to
// http and https (redirects included; one that starts on https stays there) and reports
// its progress the same way.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

inline constexpr const char* kUserAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.0; it; rv:1.8.1.12)";

// Progress of a transfer: begin(announced length, -1 when none), work(bytes so far), end().
// Each direction of a POST, and each reply of a redirect chain, is a transfer of its own;
// one that starts also ends, before the next one starts. Missing handlers are skipped.
struct TransferProgress {
  std::function<void(std::int64_t)> begin;
  std::function<void(std::int64_t)> work;
  std::function<void()> end;
};

// What a request carries besides its body.
struct RequestOptions {
  std::string user_agent;            // libcurl's User-Agent field; empty: none
  std::vector<std::string> headers;  // further header lines, in this order
  std::chrono::milliseconds connect_timeout{0};  // 0: libcurl's own (300 s)
  bool use_proxy = true;  // false: the server is reached directly, whatever the environment says
  // Nothing received or sent for this long ends the transfer as failed; 0: no limit.
  std::chrono::seconds stall_timeout{0};
  // The whole request, redirects included; 0: no limit.
  std::chrono::milliseconds total_timeout{0};
  // Once this is set the transfer ends as failed, as CancelAllTransfers ends them all.
  const std::atomic<bool>* cancel = nullptr;
  // Trust anchors (PEM) for https in place of the system's; empty: the system's.
  std::string ca_file;
};

// Ends every transfer in flight as failed, and fails every later one at once: for a
// program that is stopping and must not wait on a server.
void CancelAllTransfers();

// POSTs an url-encoded form body, following up to 15 redirects with the form kept (also
// on 301 and 302). True when the whole reply came with a 2xx status; reply holds its body
// then and is untouched otherwise.
bool PostForm(const std::string& url, const std::string& body, const RequestOptions& options,
              std::string& reply);

// One part of a multipart form: a text field, or a file read from an open descriptor as
// it is sent.
struct FormPart {
  std::string name;
  std::string value;      // a field's text
  std::string file_name;  // a file part's name in its header (quotes and line breaks encoded)
  int fd = -1;            // a file part: its bytes from offset 0, `size` of them
  std::int64_t size = 0;
};

// POSTs a multipart form over HTTP/1.1 with the caller's boundary: each part with its
// Content-Disposition (and Content-Type application/octet-stream for a file), in order.
// Follows up to 15 redirects; one that keeps the method sends the form again from the
// start. True when the whole reply came with a 2xx status; reply holds the last reply's
// body. A file that turns out shorter than `size` fails the request.
bool PostMultipart(const std::string& url, const std::string& boundary,
                   const std::vector<FormPart>& parts, const RequestOptions& options,
                   const TransferProgress& progress, std::string& reply);

// GETs url without following redirects. Once a 2xx status is known, the body goes to
// write as it arrives (false from write stops the transfer); any other status writes
// nothing. An empty body reports begin(0) and end(). True when the whole body arrived
// with a 2xx status and every write succeeded.
bool Download(const std::string& url, const RequestOptions& options,
              const std::function<bool(std::string_view)>& write,
              const TransferProgress& progress);

}  // namespace velnaro
