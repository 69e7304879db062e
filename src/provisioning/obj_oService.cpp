#include "provisioning/obj_oService.h"

#include <chrono>
#include <climits>
#include <cstdlib>

#include "net/percent_encoding.h"
#include "platform/atomic_file.h"
#include "platform/support_log.h"
#include "provisioning/json.h"

namespace velnaro {
namespace {

RequestOptions ServiceRequest() {
  RequestOptions options;
  options.user_agent = kUserAgent;
  return options;
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

std::string ToService::ActionBody(const std::string& action_code,
                                  std::vector<std::string>& fields) {
  fields.push_back("oID=" + config_.oID);
  fields.push_back("ClientID=" + config_.ClientID);
  fields.push_back("ClientVersion=" + config_.ClientVersion);
  fields.push_back("SoftwareID=" + config_.SoftwareID);
  fields.push_back("SoftwareVersion=" + config_.SoftwareVersion);
  fields.push_back("ActionCode=" + action_code);
  if (!ActionUser.empty()) {
    ConcealInSupportLog(ActionPass);
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
  return body;
}

RequestOptions ToService::ActionOptions() const {
  RequestOptions options = ServiceRequest();
  options.connect_timeout = limits.connect;
  options.total_timeout = limits.action;
  return options;
}

bool ToService::PostAction(const std::string& action_code, std::vector<std::string>& fields) {
  std::string body = ActionBody(action_code, fields);
  std::string reply;
  if (!PostForm(URL, body, ActionOptions(), reply)) {
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

std::function<bool(std::string&)> ToService::PrepareStartRequest() {
  std::vector<std::string> fields;
  return [url = URL, body = ActionBody("SOFTWARE.START", fields),
          options = ActionOptions()](std::string& reply) {
    return PostForm(url, body, options, reply);
  };
}

bool ToService::AcceptStartReply(bool arrived, const std::string& reply) {
  if (!arrived) {
    ErrorDS = kConnectionProblem;
    return false;
  }
  ResponseText = reply;
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
  // Whatever reports the account later (the library included) never writes it out.
  ConcealInSupportLog(config_.SipPassword);
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
  // Only a complete body takes the final name.
  FileReplacement file(file_name, FileAccess::kOwnerOnly);
  if (file.error() != 0) return false;
  RequestOptions options = ServiceRequest();
  options.stall_timeout = limits.download_stall;
  const bool ok = Download(
      url, options, [&file](std::string_view bytes) { return file.Write(bytes); }, progress);
  return ok && file.Commit(true) == 0;
}

}  // namespace velnaro
