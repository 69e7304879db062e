#pragma once
// Who may drive the control service. By default anyone: every page may call it and read
// the replies, which the web application has always relied on. The hardened profile lets
// browsers in only from the provisioned web application's origin and the configured ones,
// turns away requests whose Host is not a loopback name (DNS rebinding), and answers the
// preflights of allowed pages. Programs that send neither Origin nor Sec-Fetch-Site (curl,
// local tools) are served as always.
//
// The endpoint asks once per request, before any command runs, so the check covers every
// command, present and future.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velnaro {

struct HttpRequest;

enum class AccessAction { kServe, kPreflight, kRefuse };

struct AccessDecision {
  AccessAction action = AccessAction::kServe;
  std::string origin;  // the allowed origin to echo; empty when the request named none
  std::string reason;  // kRefuse: why, one sentence
};

// True when a Host header names 127.0.0.0/8, ::1 or localhost, with or without a port.
bool IsLoopbackHost(std::string_view host);

// The hardened profile's decision for one request; `allowed` holds normalised origins
// ("http://host[:port]", as NormalisedOrigin gives them).
AccessDecision DecideAccess(const HttpRequest& request, const std::vector<std::string>& allowed);

class AccessPolicy {
 public:
  // The web application's address (host[:port]) as provisioned; empty before provisioning.
  // Called for each request, from any request thread.
  using AddressSource = std::function<std::string()>;

  // Not hardened: every request is served with the open cross-origin headers.
  explicit AccessPolicy(bool hardened = false, std::vector<std::string> allowed_origins = {},
                        AddressSource web_application = {});

  bool hardened() const { return hardened_; }

  // Before dispatch. True: serve, with `cross_origin` (whole header lines) on the reply.
  // False: `response` holds the whole answer (403, or a preflight's 204), and nothing acts.
  bool Admit(const HttpRequest& request, std::string& cross_origin, std::string& response) const;

 private:
  const bool hardened_;
  const std::vector<std::string> configured_;
  const AddressSource web_application_;
};

}  // namespace velnaro
