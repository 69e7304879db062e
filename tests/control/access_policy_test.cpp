#include "control/access_policy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <mutex>

#include "control/http_request.h"
#include "control/http_response.h"

namespace velnaro {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::vector<std::string> kAllowed = {"http://127.0.0.1:8080", "https://crm.example.internal"};

struct Headers {
  std::optional<std::string> origin;
  std::string site;
  std::optional<std::string> host = "127.0.0.1:9090";
  std::string method = "GET";
  std::string preflight_method;  // Access-Control-Request-Method
};

HttpRequest Request(const Headers& h) {
  HttpRequest r;
  r.method = h.method;
  r.kind = h.method == "GET" ? HttpMethodKind::kGet : HttpMethodKind::kOther;
  r.target = "/phone/?Action=MUTE";
  r.origin = h.origin;
  r.sec_fetch_site = h.site;
  r.host = h.host;
  r.access_control_request_method = h.preflight_method;
  return r;
}

std::string Describe(const Headers& h) {
  return h.method + " Origin=" + h.origin.value_or("(none)") + " Sec-Fetch-Site=" + h.site +
         " Host=" + h.host.value_or("(none)");
}

TEST(AccessDecision, OriginSiteAndHostDecideTogether) {
  const std::string webapp = "http://127.0.0.1:8080";
  const std::string crm = "https://crm.example.internal";
  struct Case {
    Headers headers;
    AccessAction action;
    std::string echoed;
  };
  const std::vector<Case> cases = {
      // Programs send neither header: served as always, nothing to echo.
      {{}, AccessAction::kServe, ""},
      {{.host = std::nullopt}, AccessAction::kServe, ""},
      // Pages of allowed origins, whatever the browser thinks of the site.
      {{.origin = webapp, .site = "same-site"}, AccessAction::kServe, webapp},
      {{.origin = crm, .site = "cross-site"}, AccessAction::kServe, crm},
      {{.origin = "https://CRM.example.internal:443"}, AccessAction::kServe,
       "https://CRM.example.internal:443"},
      // Any other origin, however close, and the opaque one.
      {{.origin = "http://127.0.0.1:8090", .site = "same-site"}, AccessAction::kRefuse, ""},
      {{.origin = "http://127.0.0.1:8080.evil.example"}, AccessAction::kRefuse, ""},
      {{.origin = "https://127.0.0.1:8080"}, AccessAction::kRefuse, ""},
      {{.origin = "null"}, AccessAction::kRefuse, ""},
      {{.origin = ""}, AccessAction::kRefuse, ""},
      {{.origin = webapp + ", http://evil.example"}, AccessAction::kRefuse, ""},
      // No Origin: an image or a navigation from another site is turned away.
      {{.site = "cross-site"}, AccessAction::kRefuse, ""},
      {{.site = "same-site"}, AccessAction::kRefuse, ""},
      {{.site = "Cross-Site"}, AccessAction::kRefuse, ""},
      {{.site = "same-origin, cross-site"}, AccessAction::kRefuse, ""},
      {{.site = "same-origin"}, AccessAction::kServe, ""},
      {{.site = "none"}, AccessAction::kServe, ""},  // typed into the address bar
      // A rebound name reaches us with its own Host, even from an allowed page.
      {{.origin = webapp, .host = "evil.example:9090"}, AccessAction::kRefuse, ""},
      {{.host = "evil.example"}, AccessAction::kRefuse, ""},
      // Preflights: only with an allowed Origin; without Access-Control-Request-Method an
      // OPTIONS is an ordinary one.
      {{.origin = webapp, .method = "OPTIONS", .preflight_method = "GET"},
       AccessAction::kPreflight, webapp},
      {{.origin = webapp, .method = "OPTIONS"}, AccessAction::kServe, webapp},
      {{.origin = "http://evil.example", .method = "OPTIONS", .preflight_method = "GET"},
       AccessAction::kRefuse, ""},
      {{.method = "OPTIONS", .preflight_method = "GET"}, AccessAction::kServe, ""},
  };
  for (const Case& c : cases) {
    const AccessDecision d = DecideAccess(Request(c.headers), kAllowed);
    EXPECT_EQ(d.action, c.action) << Describe(c.headers);
    EXPECT_EQ(d.origin, c.echoed) << Describe(c.headers);
    EXPECT_EQ(d.reason.empty(), c.action != AccessAction::kRefuse) << Describe(c.headers);
  }
}

TEST(AccessDecision, HostMustBeALoopbackName) {
  for (const char* host : {"127.0.0.1", "127.0.0.1:9090", "127.4.5.6:80", "localhost",
                           "LocalHost:9090", "[::1]", "[::1]:9090", "[0:0:0:0:0:0:0:1]:9090"}) {
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  }
  for (const char* host : {"", "evil.example", "evil.example:9090", "127.0.0.1.evil.example",
                           "localhost.evil.example", "localhost.", "10.0.0.5:9090", "0.0.0.0",
                           "[::2]:9090", "[::1", "[::1]x", "::1", "127.0.0.1:", "127.0.0.1:99999",
                           "localhost:90x", "127.1"}) {
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
  }
}

// The policy as the endpoint asks it: the answers it writes and the headers it hands on.
class Policy : public ::testing::Test {
 protected:
  AccessPolicy Hardened() {
    return AccessPolicy(true, {"https://crm.example.internal"}, [this] {
      std::lock_guard lock(mutex_);
      return server_address_;
    });
  }
  void Provision(const std::string& address) {
    std::lock_guard lock(mutex_);
    server_address_ = address;
  }

  std::mutex mutex_;
  std::string server_address_;
  std::string cross_origin_ = "unset", response_;
};

TEST_F(Policy, WithoutTheProfileEveryPageMay) {
  const AccessPolicy open;
  EXPECT_TRUE(open.Admit(Request({.origin = "http://evil.example", .site = "cross-site",
                                  .host = "evil.example"}),
                         cross_origin_, response_));
  EXPECT_EQ(cross_origin_, kOpenCrossOrigin);
  EXPECT_TRUE(open.Admit(Request({.origin = "http://evil.example", .method = "OPTIONS",
                                  .preflight_method = "GET"}),
                         cross_origin_, response_));
}

// The web application's origin is known only once provisioning has answered, and a later
// start-up may name another: it is read for each request.
TEST_F(Policy, WebApplicationOriginFollowsProvisioning) {
  const AccessPolicy policy = Hardened();
  const HttpRequest from_webapp = Request({.origin = "http://127.0.0.1:8080"});
  EXPECT_FALSE(policy.Admit(from_webapp, cross_origin_, response_));
  Provision("127.0.0.1:8080");
  EXPECT_TRUE(policy.Admit(from_webapp, cross_origin_, response_));
  EXPECT_EQ(cross_origin_,
            "Access-Control-Allow-Origin: http://127.0.0.1:8080\r\nVary: Origin\r\n");
  Provision("WebApp.example.internal:80");
  EXPECT_FALSE(policy.Admit(from_webapp, cross_origin_, response_));
  EXPECT_TRUE(policy.Admit(Request({.origin = "http://webapp.example.internal"}), cross_origin_,
                           response_));
  // The configured ones stay allowed throughout; a program is served without the echo.
  EXPECT_TRUE(policy.Admit(Request({.origin = "https://crm.example.internal"}), cross_origin_,
                           response_));
  EXPECT_TRUE(policy.Admit(Request({}), cross_origin_, response_));
  EXPECT_EQ(cross_origin_, "Vary: Origin\r\n");
}

TEST_F(Policy, RefusalIsA403WithAOneLineJsonReason) {
  const AccessPolicy policy = Hardened();
  EXPECT_FALSE(policy.Admit(Request({.origin = "http://evil.example"}), cross_origin_, response_));
  EXPECT_THAT(response_,
              StartsWith("HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\n"));
  EXPECT_THAT(response_, HasSubstr("X-Content-Type-Options: nosniff\r\n"));
  EXPECT_THAT(response_, Not(HasSubstr("Access-Control-Allow-Origin")));
  const std::string body = response_.substr(response_.find("\r\n\r\n") + 4);
  EXPECT_EQ(body.find('\n'), std::string::npos);
  EXPECT_THAT(response_, HasSubstr("Content-Length: " + std::to_string(body.size()) + "\r\n"));
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(body.c_str()).HasParseError()) << body;
  EXPECT_STREQ(d["error"].GetString(), "origin not allowed");
}

TEST_F(Policy, PreflightOfAnAllowedPageIsAnsweredInFull) {
  const AccessPolicy policy = Hardened();
  HttpRequest r = Request({.origin = "https://crm.example.internal", .method = "OPTIONS",
                           .preflight_method = "POST"});
  r.access_control_request_headers = "content-type, x-requested-with";
  r.access_control_request_private_network = true;
  EXPECT_FALSE(policy.Admit(r, cross_origin_, response_));
  EXPECT_EQ(response_,
            "HTTP/1.1 204 No Content\r\nConnection: close\r\n"
            "Access-Control-Allow-Origin: https://crm.example.internal\r\n"
            "Vary: Origin, Access-Control-Request-Headers, "
            "Access-Control-Request-Private-Network\r\n"
            "Access-Control-Allow-Methods: GET, HEAD, POST\r\n"
            "Access-Control-Max-Age: 600\r\n"
            "Access-Control-Allow-Headers: content-type, x-requested-with\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "X-Content-Type-Options: nosniff\r\nServer: velnaro-ds\r\n\r\n");
  // Not asked, not granted; a header list that is not one is not echoed.
  r.access_control_request_private_network = false;
  r.access_control_request_headers = "x-a; x-b";
  policy.Admit(r, cross_origin_, response_);
  EXPECT_THAT(response_, Not(HasSubstr("Allow-Private-Network")));
  EXPECT_THAT(response_, Not(HasSubstr("Allow-Headers")));
}

}  // namespace
}  // namespace velnaro
