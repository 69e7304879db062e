#include "control/access_policy.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "control/http_request.h"
#include "control/http_response.h"
#include "net/port_number.h"
#include "net/web_origin.h"

namespace velnaro {
namespace {

constexpr std::string_view kVary = "Vary: Origin\r\n";
// A preflight's answer also follows the headers it echoes.
constexpr std::string_view kPreflightFixed =
    "Vary: Origin, Access-Control-Request-Headers, Access-Control-Request-Private-Network\r\n"
    "Access-Control-Allow-Methods: GET, HEAD, POST\r\n"
    "Access-Control-Max-Age: 600\r\n";

AccessDecision Refuse(std::string reason) {
  return {AccessAction::kRefuse, {}, std::move(reason)};
}

// A list of header names as a preflight asks for them; anything else is not echoed.
bool IsHeaderNameList(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~, \t").find(static_cast<char>(c)) !=
                                  std::string_view::npos;
  });
}

std::string PreflightHeaders(const HttpRequest& request, const std::string& origin) {
  std::string h = "Access-Control-Allow-Origin: " + origin + "\r\n";
  h += kPreflightFixed;
  const std::string& wanted = request.access_control_request_headers;
  if (!wanted.empty() && IsHeaderNameList(wanted)) {
    h += "Access-Control-Allow-Headers: " + wanted + "\r\n";
  }
  // Browsers before the loopback permission asked this of a private address; still answered.
  if (request.access_control_request_private_network) {
    h += "Access-Control-Allow-Private-Network: true\r\n";
  }
  return h;
}

}  // namespace

bool IsLoopbackHost(std::string_view host) {
  std::string_view name = host;
  std::optional<std::string_view> port;
  bool bracketed = false;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(1, close - 1);
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    bracketed = true;
  } else if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon + 1);
  }
  if (port && !ParsePortNumber(*port)) return false;
  const std::string text(name);
  if (bracketed) {
    in6_addr a6{};
    return inet_pton(AF_INET6, text.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
  }
  if (AsciiLower(text) == "localhost") return true;
  in_addr a4{};
  return inet_pton(AF_INET, text.c_str(), &a4) == 1 && (ntohl(a4.s_addr) >> 24) == 127;
}

AccessDecision DecideAccess(const HttpRequest& request, const std::vector<std::string>& allowed) {
  // A page that had its own name resolved to us still sends that name.
  if (request.host && !IsLoopbackHost(*request.host)) {
    return Refuse("the Host must be 127.0.0.1, [::1] or localhost");
  }
  AccessDecision decision;
  if (request.origin) {
    const std::string origin = NormalisedOrigin(*request.origin);
    if (origin.empty() || std::find(allowed.begin(), allowed.end(), origin) == allowed.end()) {
      return Refuse("origin not allowed");
    }
    decision.origin = *request.origin;  // as the browser wrote it, which it compares
  } else {
    // No Origin: an image, a link or a form sent by the browser says at least where from.
    const std::string site = AsciiLower(request.sec_fetch_site);
    if (!site.empty() && site != "none" && site != "same-origin") {
      return Refuse("a request from another site must come from an allowed origin");
    }
  }
  if (request.kind == HttpMethodKind::kOther && request.method == "OPTIONS" &&
      !request.access_control_request_method.empty() && !decision.origin.empty()) {
    decision.action = AccessAction::kPreflight;
  }
  return decision;
}

AccessPolicy::AccessPolicy(bool hardened, std::vector<std::string> allowed_origins,
                           AddressSource web_application)
    : hardened_(hardened),
      configured_(std::move(allowed_origins)),
      web_application_(std::move(web_application)) {}

bool AccessPolicy::Admit(const HttpRequest& request, std::string& cross_origin,
                         std::string& response) const {
  if (!hardened_) {
    cross_origin = kOpenCrossOrigin;
    return true;
  }
  std::vector<std::string> allowed = configured_;
  if (web_application_) {
    // Provisioning may name another web application at any time: read it now.
    std::string origin = NormalisedOrigin("http://" + web_application_());
    if (!origin.empty()) allowed.push_back(std::move(origin));
  }
  const AccessDecision decision = DecideAccess(request, allowed);
  switch (decision.action) {
    case AccessAction::kRefuse:
      OwnResponse(403, "", request.kind == HttpMethodKind::kHead ? "" : decision.reason, response);
      return false;
    case AccessAction::kPreflight:
      OwnResponse(204, PreflightHeaders(request, decision.origin), "", response);
      return false;
    case AccessAction::kServe:
      break;
  }
  cross_origin.clear();
  if (!decision.origin.empty()) {
    cross_origin = "Access-Control-Allow-Origin: " + decision.origin + "\r\n";
  }
  cross_origin += kVary;
  return true;
}

}  // namespace velnaro
