#include "control/http_request.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <cstring>
#include <optional>

#include "net/percent_encoding.h"

namespace velnaro {
namespace http = boost::beast::http;
using boost::beast::error_code;

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         boost::beast::iequals(text.substr(0, prefix.size()), prefix);
}

}  // namespace

void PercentDecode(std::string_view in, bool plus_is_space, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '%' && i + 2 < in.size()) {
      const int hi = HexDigitValue(in[i + 1]), lo = HexDigitValue(in[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += (plus_is_space && c == '+') ? ' ' : c;
  }
}

void AppendEntries(std::string_view encoded, std::vector<std::string>& out,
                   std::string* sent) {
  size_t pos = 0;
  while (pos < encoded.size()) {
    size_t end = encoded.find('&', pos);
    if (end == std::string_view::npos) end = encoded.size();
    out.emplace_back();
    PercentDecode(encoded.substr(pos, end - pos), true, out.back());
    if (sent) {
      if (out.size() > 1) *sent += '&';
      sent->append(encoded.substr(pos, end - pos));
    }
    pos = end + 1;
  }
}

void DecodeTarget(const HttpRequest& request, std::string& document,
                  std::vector<std::string>& params, std::string* query) {
  std::string_view target = request.target;
  // Absolute form, as a proxy would send it: keep only the path and query.
  for (std::string_view scheme : {"http://", "https://"}) {
    if (StartsWithNoCase(target, scheme)) {
      const size_t slash = target.find_first_of("/?", scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
      break;
    }
  }
  const size_t question = target.find('?');
  PercentDecode(target.substr(0, question), false, document);
  if (document.empty() && target.size() != request.target.size()) document = "/";
  params.clear();
  if (query) query->clear();
  if (request.form) AppendEntries(request.form_body, params, query);
  if (question != std::string_view::npos)
    AppendEntries(target.substr(question + 1), params, query);
}

// Beast's parser with callbacks that keep only what the endpoint uses.
class HttpRequestReader::Parser : public http::basic_parser<true> {
 public:
  Parser(HttpRequest& request, const HttpLimits& limits) : request_(request), limits_(limits) {
    header_limit(static_cast<std::uint32_t>(limits.max_head + 1));
    body_limit(boost::none);  // only a form body is bounded, and by us
  }

 private:
  void on_request_impl(http::verb method, boost::beast::string_view method_str,
                       boost::beast::string_view target, int, error_code&) override {
    request_.method.assign(method_str.data(), method_str.size());
    request_.target.assign(target.data(), target.size());
    switch (method) {
      case http::verb::get: request_.kind = HttpMethodKind::kGet; break;
      case http::verb::head: request_.kind = HttpMethodKind::kHead; break;
      case http::verb::post: request_.kind = HttpMethodKind::kPost; break;
      default: request_.kind = HttpMethodKind::kOther; break;
    }
  }
  void on_response_impl(int, boost::beast::string_view, int, error_code& ec) override {
    ec = http::error::bad_method;
  }
  void on_field_impl(http::field name, boost::beast::string_view name_text,
                     boost::beast::string_view value, error_code&) override {
    if (name == http::field::content_type) {
      request_.content_type.assign(value.data(), value.size());
    } else if (name == http::field::expect) {
      request_.expect_continue = boost::beast::iequals(value, "100-continue");
    } else if (name == http::field::origin) {
      Join(request_.origin, value);
    } else if (name == http::field::host) {
      Join(request_.host, value);
    } else if (name == http::field::access_control_request_method) {
      request_.access_control_request_method.assign(value.data(), value.size());
    } else if (name == http::field::access_control_request_headers) {
      request_.access_control_request_headers.assign(value.data(), value.size());
    } else if (boost::beast::iequals(name_text, "Sec-Fetch-Site")) {
      if (!request_.sec_fetch_site.empty()) request_.sec_fetch_site += ", ";
      request_.sec_fetch_site.append(value.data(), value.size());
    } else if (boost::beast::iequals(name_text, "Access-Control-Request-Private-Network")) {
      request_.access_control_request_private_network = boost::beast::iequals(value, "true");
    }
  }
  static void Join(std::optional<std::string>& field, boost::beast::string_view value) {
    if (field) {
      *field += ", ";
      field->append(value.data(), value.size());
    } else {
      field.emplace(value.data(), value.size());
    }
  }
  void on_header_impl(error_code&) override {
    request_.form = request_.kind == HttpMethodKind::kPost &&
                    boost::beast::iequals(request_.content_type,
                                          "application/x-www-form-urlencoded");
  }
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code& ec) override {
    if (request_.form && length && *length > limits_.max_form_body) ec = http::error::body_limit;
  }
  size_t on_body_impl(boost::beast::string_view body, error_code& ec) override {
    if (request_.form) {
      if (request_.form_body.size() + body.size() > limits_.max_form_body) {
        ec = http::error::body_limit;
        return 0;
      }
      request_.form_body.append(body.data(), body.size());
    }
    return body.size();  // other bodies are read and dropped
  }
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, error_code&) override {}
  size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                            error_code& ec) override {
    return on_body_impl(body, ec);
  }
  void on_finish_impl(error_code&) override {}

  HttpRequest& request_;
  const HttpLimits& limits_;
};

HttpRequestReader::HttpRequestReader(HttpLimits limits) : limits_(limits) {
  head_.reserve(4096);
  Reset();
}

HttpRequestReader::~HttpRequestReader() = default;

void HttpRequestReader::Reset() {
  state_ = State::kNeedMore;
  error_status_ = 0;
  received_ = 0;
  in_body_ = false;
  line_end_ = std::string::npos;
  head_.clear();
  pending_.clear();
  request_.kind = HttpMethodKind::kOther;
  request_.method.clear();
  request_.target.clear();
  request_.content_type.clear();
  request_.form = false;
  request_.form_body.clear();
  request_.expect_continue = false;
  request_.origin.reset();
  request_.host.reset();
  request_.sec_fetch_site.clear();
  request_.access_control_request_method.clear();
  request_.access_control_request_headers.clear();
  request_.access_control_request_private_network = false;
  parser_.reset();
}

HttpRequestReader::State HttpRequestReader::Fail(int status) {
  error_status_ = status;
  return state_ = State::kError;
}

HttpRequestReader::State HttpRequestReader::Feed(std::string_view data) {
  if (state_ != State::kNeedMore || data.empty()) return state_;
  received_ += data.size();
  if (in_body_) return PutBody(data);
  const size_t from = head_.size();
  head_.append(data);
  return ScanHead(from);
}

HttpRequestReader::State HttpRequestReader::FeedEof() {
  if (state_ != State::kNeedMore) return state_;
  if (in_body_) {
    error_code ec;
    parser_->put_eof(ec);
    if (!ec && parser_->is_done()) return state_ = State::kDone;
  }
  return Fail(400);
}

// Looks for the end of the head among the bytes from `from` on only: a line feed that
// follows an empty line (CR LF CR LF, or bare line feeds, which Beast then rejects).
HttpRequestReader::State HttpRequestReader::ScanHead(size_t from) {
  const char* base = head_.data();
  const size_t size = head_.size();
  size_t i = from;
  while (i < size) {
    const void* hit = std::memchr(base + i, '\n', size - i);
    if (!hit) break;
    i = static_cast<const char*>(hit) - base;
    if (line_end_ == std::string::npos) {
      line_end_ = i;
      const size_t line = (i > 0 && base[i - 1] == '\r') ? i - 1 : i;
      if (line > limits_.max_request_line) return Fail(414);
    }
    const bool end = (i >= 1 && base[i - 1] == '\n') ||
                     (i >= 2 && base[i - 1] == '\r' && base[i - 2] == '\n');
    if (end && line_end_ != i) {
      if (i + 1 > limits_.max_head) return Fail(431);
      return ParseHead(i + 1);
    }
    ++i;
  }
  if (line_end_ == std::string::npos && size > limits_.max_request_line + 1) return Fail(414);
  if (size >= limits_.max_head) return Fail(431);
  return state_;
}

HttpRequestReader::State HttpRequestReader::ParseHead(size_t head_size) {
  parser_ = std::make_unique<Parser>(request_, limits_);
  error_code ec;
  const size_t used = parser_->put(boost::asio::const_buffer(head_.data(), head_size), ec);
  if (ec || used != head_size || !parser_->is_header_done()) {
    return Fail(ec == http::error::body_limit ? 413 : 400);
  }
  if (parser_->is_done()) return state_ = State::kDone;
  in_body_ = true;
  parser_->eager(true);
  return PutBody(std::string_view(head_).substr(head_size));
}

HttpRequestReader::State HttpRequestReader::PutBody(std::string_view data) {
  pending_.append(data);
  while (!pending_.empty() && !parser_->is_done()) {
    error_code ec;
    const size_t used = parser_->put(boost::asio::const_buffer(pending_.data(), pending_.size()), ec);
    pending_.erase(0, used);
    if (ec == http::error::need_more) break;
    if (ec == http::error::body_limit) return Fail(413);
    if (ec) return Fail(400);
    if (used == 0) break;
  }
  if (parser_->is_done()) return state_ = State::kDone;
  // A chunk header or trailer that never ends would otherwise grow without bound.
  if (pending_.size() > limits_.max_head) return Fail(400);
  return state_;
}

}  // namespace velnaro
