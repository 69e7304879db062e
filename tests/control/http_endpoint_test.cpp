#include "control/http_endpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "control/reply.h"
#include "control/web_server.h"
#include "raw_http_client.h"
#include "support/control_service.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
using testing_http::Exchange;
using testing_http::Parse;
using testing_http::RawClient;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kCrossOrigin =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: *\r\n"
    "Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept, "
    "Authorization\r\n";

// Every answer ends its head with these.
const std::string kTail = "X-Content-Type-Options: nosniff\r\nServer: velnaro-ds\r\n\r\n";

std::string Get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

class Endpoint : public ::testing::Test {
 protected:
  void StartWith(EndpointOptions options) {
    endpoint_ = std::make_unique<HttpEndpoint>(server_.interpreter, options);
    endpoint_->Start(0);
    port_ = endpoint_->port();
  }
  void SetUp() override {
    StartWith({});
    server_.interpreter.Commands().Add("/phone/", "COUNT",
                                       [this](const CommandRequest& r, std::string& reply) {
                                         ++count_;
                                         last_ = r;
                                         reply = reply::Simple("COUNT");
                                       });
  }
  void TearDown() override { endpoint_->Stop(); }

  testing::ControlService server_;
  std::unique_ptr<HttpEndpoint> endpoint_;
  uint16_t port_ = 0;
  std::atomic<int> count_{0};
  CommandRequest last_;
};

TEST_F(Endpoint, ReplyHeadersExactlyInOrder) {
  const std::string status = reply::Status({});
  EXPECT_EQ(Exchange(port_, Get("/phone/?Action=GETSTATUS")),
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 261\r\n"
            "Connection: close\r\n" + kCrossOrigin + kTail + status);
  // Not recognised is still a 200 with the error reply.
  const auto r = Parse(Exchange(port_, Get("/PHONE/?Action=GETSTATUS")));
  EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(r.body, reply::NotRecognised());
}

TEST_F(Endpoint, DefaultPageForEmptyReply) {
  for (const char* target : {"/", "/phone/", "/phone/?"}) {
    EXPECT_EQ(Exchange(port_, Get(target)),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n" +
                  kCrossOrigin + kTail +
                  "<HTML><BODY><B>200 OK</B></BODY></HTML>\r\n")
        << target;
  }
  EXPECT_THAT(server_.status.memoLogs(),
              ElementsAre("-----------------", "Nessun parametro. IP: 127.0.0.1", "/",
                          "-----------------", "Nessun parametro. IP: 127.0.0.1", "/phone/",
                          "-----------------", "Nessun parametro. IP: 127.0.0.1", "/phone/"));
}

TEST_F(Endpoint, HeadAndPostActLikeGet) {
  const auto get = Parse(Exchange(port_, Get("/phone/?Action=COUNT")));
  const auto head = Parse(Exchange(
      port_, "HEAD /phone/?Action=COUNT HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto post = Parse(Exchange(
      port_, "POST /phone/?Action=COUNT HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
  EXPECT_EQ(count_, 3);
  EXPECT_EQ(get.body, reply::Simple("COUNT"));
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.headers, get.headers);  // Content-Length of the reply, without the body
  EXPECT_EQ(post.headers, get.headers);
  EXPECT_EQ(post.body, get.body);
}

TEST_F(Endpoint, FormBodyPiecesComeBeforeTheQuery) {
  auto post = [&](const std::string& type, const std::string& body) {
    return Exchange(port_, "POST /phone/?Number=9 HTTP/1.1\r\nHost: x\r\nContent-Type: " + type +
                               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                               body);
  };
  post("application/x-www-form-urlencoded", "Action=COUNT&Number=1+2");
  EXPECT_EQ(count_, 1);
  EXPECT_EQ(last_.raw_query, "Action=COUNT&Number=1 2&Number=9");
  EXPECT_EQ(last_.number, "9");
  post("Application/X-WWW-Form-Urlencoded", "Action=COUNT");
  EXPECT_EQ(count_, 2);
  // With parameters after the type, or another type, the body is not read as a form.
  post("application/x-www-form-urlencoded; charset=UTF-8", "Action=COUNT");
  post("text/plain", "Action=COUNT");
  EXPECT_EQ(count_, 2);
  // A chunked form body is read whole.
  Exchange(port_,
           "POST /phone/ HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded"
           "\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nAction=\r\n5\r\nCOUNT\r\n0\r\n\r\n");
  EXPECT_EQ(count_, 3);
  // A client that waits for leave to send its body gets it.
  RawClient waiting(port_);
  waiting.Send("POST /phone/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Content-Length: 12\r\nExpect: 100-continue\r\n\r\n");
  char interim[64] = {};
  ASSERT_GT(::recv(waiting.fd(), interim, 25, MSG_WAITALL), 0);
  EXPECT_STREQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  waiting.Send("Action=COUNT");
  EXPECT_EQ(Parse(waiting.ReadAll()).body, reply::Simple("COUNT"));
  EXPECT_EQ(count_, 4);
}

TEST_F(Endpoint, OtherMethodsGetBare200AndChangeNothing) {
  for (const char* method : {"OPTIONS", "PUT", "DELETE", "TRACE", "BREW"}) {
    EXPECT_EQ(Exchange(port_, std::string(method) + " /phone/?Action=COUNT HTTP/1.1\r\n"
                                                    "Host: x\r\nOrigin: http://a\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n" + kTail)
        << method;
  }
  EXPECT_EQ(count_, 0);
  EXPECT_TRUE(server_.status.memoLogs().empty());
}

TEST_F(Endpoint, FailureInCommandAnswers500WithoutCrossOrigin) {
  server_.interpreter.Commands().Add("/phone/", "BOOM",
                                     [](const CommandRequest&, std::string& reply) {
                                       reply = "partial";
                                       throw std::runtime_error("component refused");
                                     });
  EXPECT_EQ(Exchange(port_, Get("/phone/?Action=BOOM")),
            "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html\r\n"
            "Content-Length: 17\r\nConnection: close\r\n" + kTail +
                "component refused");
  // The server goes on.
  EXPECT_THAT(Exchange(port_, Get("/phone/?Action=GETSTATUS")), StartsWith("HTTP/1.1 200 OK"));
}

TEST_F(Endpoint, QueryAndPathDecoding) {
  Exchange(port_, Get("/ph%6Fne/?Action=COUNT&Number=a+b%2Bc%26d%zz&&Prefix=%41&"));
  ASSERT_EQ(count_, 1);
  EXPECT_EQ(last_.path, "/phone/");
  EXPECT_EQ(last_.number, "a b+c&d%zz");
  EXPECT_EQ(last_.prefix, "A");
  EXPECT_EQ(last_.raw_query, "Action=COUNT&Number=a b+c&d%zz&&Prefix=A");
  // A '+' in the path is not a space; an absolute target keeps only path and query.
  Exchange(port_, Get("http://127.0.0.1:9090/phone/?Action=COUNT&Number=+"));
  EXPECT_EQ(count_, 2);
  EXPECT_EQ(last_.number, " ");
  Exchange(port_, Get("/phone+/?Action=COUNT"));
  EXPECT_EQ(count_, 2);
}

TEST_F(Endpoint, PeerAddressOverIPv4AndIPv6) {
  server_.window.ckLogHTTPRequest = true;
  Exchange(port_, Get("/phone/?Action=COUNT"));
  EXPECT_EQ(last_.peer_ip, "127.0.0.1");  // dotted, also over a dual-stack socket
  if (!endpoint_->dual_stack()) GTEST_SKIP() << "no IPv6 on this system";
  RawClient probe(port_, true);
  if (probe.fd() < 0) GTEST_SKIP() << "::1 not reachable";
  probe.Send(Get("/phone/?Action=COUNT"));
  EXPECT_THAT(probe.ReadAll(), StartsWith("HTTP/1.1 200 OK"));
  EXPECT_EQ(last_.peer_ip, "::1");
  EXPECT_THAT(server_.status.memoLogs(), ::testing::Contains("Client: ::1"));
}

TEST_F(Endpoint, RequestsRunInParallel) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  server_.interpreter.Commands().Add("/phone/", "WAIT",
                                     [&](const CommandRequest&, std::string& reply) {
                                       entered.set_value();
                                       released.wait();
                                       reply = reply::Simple("WAIT");
                                     });
  auto held = std::async(std::launch::async,
                         [&] { return Exchange(port_, Get("/phone/?Action=WAIT")); });
  entered.get_future().wait();
  // While one request is held inside its command, others are answered.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Parse(Exchange(port_, Get("/phone/?Action=COUNT"))).body, reply::Simple("COUNT"));
  }
  EXPECT_EQ(held.wait_for(0s), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(Parse(held.get()).body, reply::Simple("WAIT"));
}

TEST_F(Endpoint, ClientThatLeavesEarlyEndsOnlyItsConnection) {
  {
    RawClient gone(port_);
    gone.Send("GET /phone/?Action=COU");
  }
  {
    RawClient silent(port_);
  }
  EXPECT_EQ(Parse(Exchange(port_, Get("/phone/?Action=COUNT"))).body, reply::Simple("COUNT"));
}

// The access check runs before any command, and its headers reach the reply.
TEST_F(Endpoint, HardenedPolicyIsAskedBeforeAnyCommand) {
  endpoint_->Stop();
  const AccessPolicy policy(true, {"http://127.0.0.1:8080"});
  EndpointOptions options;
  options.access = &policy;
  StartWith(options);
  auto get_from = [&](const std::string& origin, const std::string& method = "GET") {
    return Parse(Exchange(port_, method + " /phone/?Action=COUNT HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                          "Origin: " + origin +
                                          "\r\nAccess-Control-Request-Method: GET\r\n\r\n"));
  };
  EXPECT_EQ(get_from("http://evil.example").status_line, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(get_from("http://evil.example", "OPTIONS").status_line, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(get_from("http://127.0.0.1:8080", "OPTIONS").status_line, "HTTP/1.1 204 No Content");
  EXPECT_EQ(count_, 0);
  EXPECT_TRUE(server_.status.memoLogs().empty());
  const auto allowed = get_from("http://127.0.0.1:8080");
  EXPECT_EQ(allowed.body, reply::Simple("COUNT"));
  EXPECT_EQ(count_, 1);
  EXPECT_THAT(allowed.headers,
              ::testing::Contains(std::pair<std::string, std::string>(
                  "Access-Control-Allow-Origin", "http://127.0.0.1:8080")));
  EXPECT_FALSE(allowed.Has("Access-Control-Allow-Methods"));
  // A failure names the origin too, so that the page may read why.
  server_.interpreter.Commands().Add("/phone/", "BOOM",
                                     [](auto&, auto&) { throw std::runtime_error("no"); });
  EXPECT_THAT(
      Exchange(port_, "GET /phone/?Action=BOOM HTTP/1.1\r\nOrigin: http://127.0.0.1:8080\r\n\r\n"),
      HasSubstr("Access-Control-Allow-Origin: http://127.0.0.1:8080\r\nVary: Origin\r\n"));
}

// The endpoint's threads in this process, known by the names it gives them.
size_t EndpointThreads() {
  size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string name;
    if (std::getline(std::ifstream(task.path() / "comm"), name) && name.starts_with("http-"))
      ++count;
  }
  return count;
}

// Past the ceiling a connection waits for a thread to come free; one that waits too long,
// or finds as many waiting as there are threads, is answered 503 and closed.
TEST_F(Endpoint, PastTheCeilingConnectionsWaitThenAreRefused) {
  endpoint_->Stop();
  EndpointOptions options;
  options.max_request_threads = 4;
  StartWith(options);
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 5; ++i) {
    held.push_back(std::make_unique<RawClient>(port_));
    held.back()->Send("GET /phone/?Action=COUNT HTTP/1.1\r\n");
  }
  ASSERT_TRUE(testing::WaitUntil([&] { return endpoint_->connection_count() == 4; }));
  held[0]->Send("\r\n");  // its thread comes free and takes the fifth
  EXPECT_EQ(Parse(held[0]->ReadAll()).body, reply::Simple("COUNT"));
  ASSERT_TRUE(testing::WaitUntil([&] { return endpoint_->connection_count() == 4; }));
  const std::string busy =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
      "Content-Length: 38\r\nConnection: close\r\n" + kCrossOrigin + "Retry-After: 1\r\n" +
      kTail + "{\"error\": \"too many requests at once\"}";
  std::vector<std::unique_ptr<RawClient>> refused;
  for (int i = 0; i < 5; ++i) {
    refused.push_back(std::make_unique<RawClient>(port_));
    refused.back()->Send(Get("/phone/?Action=COUNT"));
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& c : refused) EXPECT_EQ(c->ReadAll(), busy);  // then closed, not left open
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(EndpointThreads(), 4u + 2);  // the workers, the acceptor and the keeper alone
  EXPECT_EQ(count_, 1);
  endpoint_->Stop();
  for (size_t i = 1; i < held.size(); ++i) EXPECT_EQ(held[i]->ReadAll(), "");
  EXPECT_EQ(EndpointThreads(), 0u);
}

class EndpointLimits : public Endpoint {
 protected:
  void SetUp() override {
    EndpointOptions options;
    options.request_deadline = 400ms;
    StartWith(options);
    server_.interpreter.Commands().Add("/phone/", "COUNT",
                                       [this](const CommandRequest&, std::string& reply) {
                                         ++count_;
                                         reply = reply::Simple("COUNT");
                                       });
  }
};

TEST_F(EndpointLimits, SlowClientIsCutAtTheDeadlineWhileOthersAreServed) {
  RawClient slow(port_);
  ASSERT_TRUE(slow.Send("GET /phone/?Action=COUNT HTTP/1.1\r\n"));
  const auto start = std::chrono::steady_clock::now();
  // Trickling bytes does not extend the deadline, which counts from accept.
  std::atomic<bool> cut{false};
  std::thread trickle([&] {
    for (int i = 0; i < 40 && !cut; ++i) {
      if (!slow.Send("X-Slow: 1\r\n")) break;
      std::this_thread::sleep_for(50ms);
    }
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Parse(Exchange(port_, Get("/phone/?Action=COUNT"))).body, reply::Simple("COUNT"));
  }
  const auto answer = Parse(slow.ReadAll());
  const auto waited = std::chrono::steady_clock::now() - start;
  cut = true;
  trickle.join();
  EXPECT_EQ(answer.status_line, "HTTP/1.1 408 Request Timeout");
  EXPECT_LT(waited, 1800ms);  // well before the trickle would have ended
  EXPECT_EQ(count_, 3);
}

TEST_F(EndpointLimits, ReplyOfALongCommandIsSentWhole) {
  // A command that outlasts the request deadline (an upload) still gets its reply out.
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "instrumented, 32 MB over loopback takes longer than the test client waits";
#endif
  const std::string big(32 << 20, 'r');
  server_.interpreter.Commands().Add("/phone/", "LONG",
                                     [&](const CommandRequest&, std::string& reply) {
                                       std::this_thread::sleep_for(600ms);
                                       reply = big;
                                     });
  const auto answer = Parse(Exchange(port_, Get("/phone/?Action=LONG")));
  EXPECT_EQ(answer.status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(answer.body.size(), big.size());
}

TEST_F(EndpointLimits, OverLongLineHeadAndBody) {
  const std::string ok_target = "/phone/?Action=COUNT&x=" + std::string(8192 - 36, 'a');
  const std::string ok_line = "GET " + ok_target + " HTTP/1.1";
  ASSERT_EQ(ok_line.size(), 8192u);
  EXPECT_EQ(Parse(Exchange(port_, ok_line + "\r\nHost: x\r\n\r\n")).status_line, "HTTP/1.1 200 OK");
  EXPECT_EQ(Parse(Exchange(port_, "GET " + ok_target + "a HTTP/1.1\r\nHost: x\r\n\r\n")).status_line,
            "HTTP/1.1 414 URI Too Long");
  // Many fields: 32 KiB for the whole head.
  std::string fields;
  while (fields.size() < 33000) fields += "X-Filler: " + std::string(90, 'f') + "\r\n";
  EXPECT_EQ(Parse(Exchange(port_, "GET /phone/?Action=COUNT HTTP/1.1\r\n" + fields + "\r\n"))
                .status_line,
            "HTTP/1.1 431 Request Header Fields Too Large");
  EXPECT_EQ(Parse(Exchange(port_,
                           "POST /phone/ HTTP/1.1\r\nContent-Type: application/x-www-form-"
                           "urlencoded\r\nContent-Length: 1048577\r\n\r\nAction=COUNT"))
                .status_line,
            "HTTP/1.1 413 Payload Too Large");
  for (const char* bad : {"GARBAGE\r\n\r\n", "GET / HTTP/1.1\n\n", "GET / HTTP/9.9\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", "\r\n\r\n",
                          "GET / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort"}) {
    RawClient c(port_);
    c.Send(bad);
    ::shutdown(c.fd(), SHUT_WR);
    EXPECT_EQ(Parse(c.ReadAll()).status_line, "HTTP/1.1 400 Bad Request") << bad;
  }
  EXPECT_EQ(count_, 1);
}

class EndpointManyClients : public Endpoint {
 protected:
  void SetUp() override {
    EndpointOptions options;
    options.request_deadline = 20s;  // long enough for slow sanitizer builds
    StartWith(options);
  }
};

TEST_F(EndpointManyClients, SlowClientsEachHaveAThreadAndDoNotHoldUpOthers) {
  // Connected at a pace the 15-deep backlog absorbs; each then holds a thread of its own.
  std::vector<std::unique_ptr<RawClient>> slow;
  for (size_t i = 0; i < 200; ++i) {
    slow.push_back(std::make_unique<RawClient>(port_));
    slow.back()->Send("GET /phone/?Action=GETSTATUS HTTP/1.1\r\n");
    const auto paced = std::chrono::steady_clock::now() + 1s;
    while (endpoint_->connection_count() < i + 1 && std::chrono::steady_clock::now() < paced) {
      std::this_thread::sleep_for(100us);
    }
  }
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (endpoint_->connection_count() < 200 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(endpoint_->connection_count(), 200u);
  EXPECT_GE(endpoint_->thread_count(), 200u);
  EXPECT_EQ(Parse(Exchange(port_, Get("/phone/?Action=GETSTATUS"))).status_line,
            "HTTP/1.1 200 OK");
  endpoint_->Stop();  // cuts them without waiting out the deadline
  for (auto& c : slow) EXPECT_EQ(c->ReadAll(), "");
}

TEST(EndpointPort, OnlyPlainDecimalPortsAreTaken) {
  EXPECT_EQ(HttpEndpoint::ParsePort("9091"), 9091);
  EXPECT_EQ(HttpEndpoint::ParsePort("65535"), 65535);
  for (const char* bad : {"", "0", "65536", "99999999999", "-1", "+80", " 80", "80 ", "80x", "0x50"})
    EXPECT_EQ(HttpEndpoint::ParsePort(bad), std::nullopt) << bad;
}

TEST(EndpointBind, PortTakenByAnotherProgram) {
  // Another program listening on the loopback address of our port.
  const int other = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(other, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(other, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t port = ntohs(a.sin_port);

  testing::ControlService server;
  for (bool ipv6 : {true, false}) {
    EndpointOptions options;
    options.ipv6 = ipv6;
    HttpEndpoint endpoint(server.interpreter, options);
    try {
      endpoint.Start(port);
      ADD_FAILURE() << "bound a taken port";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
  }
  // The other program keeps its port.
  RawClient c(port);
  EXPECT_GE(c.fd(), 0);
  const int accepted = ::accept(other, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  ::close(accepted);
  ::close(other);
}

TEST(EndpointBind, StopReleasesThePortAndCutsPendingReads) {
  testing::ControlService server;
  HttpEndpoint first(server.interpreter);
  first.Start(0);
  const uint16_t port = first.port();
  HttpEndpoint second(server.interpreter);
  EXPECT_THROW(second.Start(port), std::runtime_error);
  RawClient pending(port);
  pending.Send("GET /phone/?Action=GETST");
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  first.Stop();  // does not wait out the 10 s deadline
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  second.Start(port);
  EXPECT_THAT(Exchange(port, Get("/phone/?Action=GETSTATUS")), StartsWith("HTTP/1.1 200 OK"));
  second.Stop();
}

// Connects to 127.0.0.2, which only a socket on every address serves.
bool Reaches127002(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7f000002);
  a.sin_port = htons(port);
  const bool reached = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return reached;
}

TEST(EndpointBind, LoopbackOnlyServes127001AndIPv6LoopbackAlone) {
  testing::ControlService server;
  HttpEndpoint everywhere(server.interpreter);
  everywhere.Start(0);
  ASSERT_TRUE(Reaches127002(everywhere.port()));  // the check below can fail
  everywhere.Stop();

  EndpointOptions options;
  options.loopback_only = true;
  HttpEndpoint endpoint(server.interpreter, options);
  endpoint.Start(0);
  EXPECT_THAT(Exchange(endpoint.port(), Get("/phone/?Action=GETSTATUS")),
              StartsWith("HTTP/1.1 200 OK"));
  EXPECT_FALSE(Reaches127002(endpoint.port()));
  if (!endpoint.loopback_ipv6()) GTEST_SKIP() << "no ::1 on this system";
  EXPECT_THAT(Exchange(endpoint.port(), Get("/phone/?Action=GETSTATUS"), true),
              StartsWith("HTTP/1.1 200 OK"));
  const uint16_t port = endpoint.port();
  endpoint.Stop();

  // Another program on ::1 alone holds the port as much as one on 127.0.0.1 would.
  const int other = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(other, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // past our TIME_WAITs
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(port);
  ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(other, 4), 0);
  HttpEndpoint second(server.interpreter, options);
  try {
    second.Start(port);
    ADD_FAILURE() << "bound a port taken on ::1";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), HttpEndpoint::kBindFailure);
  }
  ::close(other);
}

TEST(EndpointBind, IPv4Only) {
  testing::ControlService server;
  EndpointOptions options;
  options.ipv6 = false;
  HttpEndpoint endpoint(server.interpreter, options);
  endpoint.Start(0);
  EXPECT_FALSE(endpoint.dual_stack());
  EXPECT_THAT(Exchange(endpoint.port(), Get("/phone/?Action=GETSTATUS")),
              StartsWith("HTTP/1.1 200 OK"));
}

}  // namespace
}  // namespace velnaro
