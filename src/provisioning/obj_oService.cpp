#include "provisioning/obj_oService.h"

#include <curl/curl.h>

#include <climits>
#include <cstdlib>

#include "net/percent_encoding.h"
#include "platform/atomic_file.h"
#include "provisioning/json.h"

namespace velnaro {
namespace {

CurlPtr NewClient() {
  CurlPtr c = NewCurlClient();
  if (c) curl_easy_setopt(c.get(), CURLOPT_USERAGENT, kUserAgent);
  return c;
}

size_t AppendToString(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

bool Is2xx(CURL* c) {
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  return code >= 200 && code <= 299;
}

// Whole number as a decimal text with an optional sign; anything else is -1.
std::int32_t ToErrorNumber(const std::string& s) {
  if (s.empty()) return -1;
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) return -1;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return -1;
  }
  if (s[0] == '-') v = -v;
  if (v > INT_MAX || v < INT_MIN) return -1;
  return static_cast<std::int32_t>(v);
}

struct DownloadState {
  ToService* service;
  CURL* curl;
  FileReplacement* file;
  bool started = false;
  bool refused = false;  // status outside 2xx: nothing written
  std::int64_t received = 0;
};

size_t WriteToFile(char* data, size_t size, size_t n, void* user) {
  auto* st = static_cast<DownloadState*>(user);
  size_t bytes = size * n;
  if (!st->started) {
    if (!Is2xx(st->curl)) {
      st->refused = true;
      return 0;
    }
    curl_off_t len = -1;
    curl_easy_getinfo(st->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &len);
    st->started = true;
    st->service->IdHTTP1WorkBegin(len);
  }
  if (!st->file->Write({data, bytes})) return 0;
  st->received += static_cast<std::int64_t>(bytes);
  st->service->IdHTTP1Work(st->received);
  return bytes;
}

}  // namespace

std::string EncodeFormValue(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) {
    switch (c) {
      case '*': case '#': case '%': case '<': case '>': case '[': case ']':
      case '&': case '+': case '=':
        return true;
      default:
        return c < 33 || c > 127;
    }
  });
}

ToService::ToService(TConfig& config, TobjVelnaroDS& velnaro) : config_(config), velnaro_(velnaro) {}

bool ToService::PostAction(const std::string& action_code, std::vector<std::string>& fields) {
  fields.push_back("oID=" + config_.oID);
  fields.push_back("ClientID=" + config_.ClientID);
  fields.push_back("ClientVersion=" + config_.ClientVersion);
  fields.push_back("SoftwareID=" + config_.SoftwareID);
  fields.push_back("SoftwareVersion=" + config_.SoftwareVersion);
  fields.push_back("ActionCode=" + action_code);
  if (!ActionUser.empty()) {
    fields.push_back("ActionUser=" + ActionUser);
    fields.push_back("ActionPass=" + ActionPass);
  }
  fields.push_back("Out=json");
  // The whole sequence goes twice; receivers keeping either occurrence see the same.
  const size_t n = fields.size();
  for (size_t i = 0; i < n; ++i) fields.push_back(fields[i]);

  std::string body;
  for (auto& line : fields) {
    auto eq = line.find('=');
    if (eq != std::string::npos) line = line.substr(0, eq + 1) + EncodeFormValue(line.substr(eq + 1));
    if (!body.empty()) body += '&';
    body += line;
  }

  CurlPtr c = NewClient();
  if (!c) {
    ErrorDS = kConnectionProblem;
    return false;
  }
  std::string reply;
  SlistPtr headers(curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded"));
  headers.reset(curl_slist_append(headers.release(), "Expect:"));
  curl_easy_setopt(c.get(), CURLOPT_URL, URL.c_str());
  curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c.get(), CURLOPT_COPYPOSTFIELDS, body.c_str());
  curl_easy_setopt(c.get(), CURLOPT_CONNECTTIMEOUT_MS, 5000L);
  curl_easy_setopt(c.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c.get(), CURLOPT_MAXREDIRS, 15L);
  // A moved service still gets the form, not an empty GET.
  curl_easy_setopt(c.get(), CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
  curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &reply);
  if (curl_easy_perform(c.get()) != CURLE_OK || !Is2xx(c.get())) {
    ErrorDS = kConnectionProblem;
    return false;
  }
  ResponseText = std::move(reply);
  return true;
}

bool ToService::SoftwareStart() {
  std::vector<std::string> fields;
  if (!PostAction("SOFTWARE.START", fields)) return false;
  return ReadStartReply(ResponseText);
}

bool ToService::ReadStartReply(const std::string& reply) {
  auto invalid = [this] {
    ErrorID = -1;
    ErrorDS = kInvalidReply;
    return false;
  };
  auto doc = ParseJson(reply);
  if (!doc || !doc->Root().IsObject()) return invalid();
  const JsonValue& root = doc->Root();
  const JsonValue* response = ObjectField(root, "Response");
  if (!response) return invalid();
  const JsonValue* error = ObjectField(*response, "Error");
  if (!error) return invalid();
  ErrorID = ToErrorNumber(GetText(*error, "ErrorID"));
  ErrorDS = GetText(*error, "ErrorDS");
  if (ErrorID != 0) return false;
  const JsonValue* data = ObjectField(root, "Data");
  if (!data) return invalid();
  const JsonValue& d = *data;
  config_.oID = GetText(d, "oID");
  velnaro_.ServerAddress = GetText(d, "ServerAddress");
  velnaro_.SetServerPath(GetText(d, "ServerPath"));
  config_.SipServer = GetText(d, "SipServer");
  config_.SipInterno = GetText(d, "SipInterno");
  config_.SipUtente = GetText(d, "SipUtente");
  config_.SipPassword = GetText(d, "SipPassword");
  config_.ClientDS = GetText(d, "ClientDS");
  config_.Rete = GetText(d, "Rete");
  config_.ConferenceNumber = GetText(d, "ConferenceNumber");
  config_.Note = GetText(d, "Note");
  config_.UpdateURL = GetText(d, "UpdateURL");
  config_.UpdateFILE = GetText(d, "UpdateFILE");
  config_.UpdateFORCE = GetText(d, "UpdateFORCE");
  config_.UpdateMSG = GetText(d, "UpdateMSG");
  config_.UpdateInfoURL = GetText(d, "UpdateInfoURL");
  return true;
}

bool ToService::DownloadFile(const std::string& url, const std::string& file_name) {
  CurlPtr c = NewClient();
  if (!c) return false;
  // Only a complete body takes the final name.
  FileReplacement file(file_name, FileAccess::kUsual);
  if (file.error() != 0) return false;
  DownloadState st{this, c.get(), &file};
  curl_easy_setopt(c.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(c.get(), CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, WriteToFile);
  curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &st);
  CURLcode rc = curl_easy_perform(c.get());
  bool ok = rc == CURLE_OK && Is2xx(c.get()) && !st.refused;
  if (ok && !st.started) {
    // An empty body: no write callback ran.
    st.started = true;
    IdHTTP1WorkBegin(0);
  }
  if (st.started) IdHTTP1WorkEnd();
  return ok && file.Commit(true) == 0;
}

void ToService::IdHTTP1WorkBegin(std::int64_t max_count) {
  if (progress.begin) progress.begin(max_count);
}
void ToService::IdHTTP1Work(std::int64_t count) {
  if (progress.work) progress.work(count);
}
void ToService::IdHTTP1WorkEnd() {
  if (progress.end) progress.end();
}

}  // namespace velnaro
