// The HTTP client's limits: a server that stalls, one that never finishes, a stop that
// ends transfers in flight, and https that never goes on in the clear.
#include "net/http_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/loopback_server.h"
#include "support/test_support.h"

namespace velnaro {
namespace {

using testing::LoopbackServer;

// Answers at once, then sends one byte of its body every 100 ms: never stalled, never
// done (it gives up after 30 s).
void Trickle(int fd, const LoopbackServer& server) {
  if (!server.ReadRequest(fd)) return;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n";
  if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0) return;
  for (int i = 0; i < 300 && !server.released(); ++i) {
    if (::send(fd, "x", 1, MSG_NOSIGNAL) < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool Post(const std::string& url, const RequestOptions& options) {
  std::string reply;
  return PostForm(url, "a=1", options, reply);
}

bool Get(const std::string& url, const RequestOptions& options) {
  return Download(url, options, [](std::string_view) { return true; }, {});
}

TEST(HttpClientLimits, AServerThatStallsEndsTheTransferAsFailed) {
  LoopbackServer stalled(LoopbackServer::Stall);
  RequestOptions options;
  options.stall_timeout = std::chrono::seconds(1);
  EXPECT_FALSE(Post(stalled.url(), options));
  EXPECT_FALSE(Get(stalled.url(), options));
  EXPECT_EQ(stalled.requests(), 2);
}

// Bytes keep coming, so only the overall limit ends it.
TEST(HttpClientLimits, TheOverallLimitEndsATransferThatKeepsMoving) {
  LoopbackServer slow(Trickle);
  RequestOptions options;
  options.stall_timeout = std::chrono::seconds(1);
  options.total_timeout = std::chrono::milliseconds(1500);
  std::string seen;
  EXPECT_FALSE(Download(slow.url(), options, [&seen](std::string_view data) {
    seen.append(data);
    return true;
  }, {}));
  EXPECT_FALSE(seen.empty());  // it did move
}

// A request's own flag ends it, and only it.
TEST(HttpClientLimits, ARequestsOwnCancelEndsOnlyThatRequest) {
  LoopbackServer stalled(LoopbackServer::Stall);
  LoopbackServer answering(LoopbackServer::AnswerOk);
  std::atomic<bool> cancel{false};
  RequestOptions options;
  options.cancel = &cancel;
  std::thread stopper([&] {
    // Set whatever happens: without it the post below would wait for ever.
    EXPECT_TRUE(testing::WaitUntil([&] { return stalled.requests() == 1; }));
    cancel = true;
  });
  EXPECT_FALSE(Post(stalled.url(), options));
  stopper.join();
  EXPECT_FALSE(Post(answering.url(), options));  // still set: fails before connecting
  EXPECT_EQ(answering.connections(), 0);
  EXPECT_TRUE(Post(answering.url(), {}));
}

// Two transfers waiting on a server that never answers, then the stop: both end, and a
// later one fails before it connects. Exits 0 when all of that held.
[[noreturn]] void CancelEverything() {
  LoopbackServer stalled(LoopbackServer::Stall);
  LoopbackServer answering(LoopbackServer::AnswerOk);
  bool post = true;
  bool download = true;
  std::thread poster([&] { post = Post(stalled.url(), {}); });
  std::thread getter([&] { download = Get(stalled.url(), {}); });
  testing::WaitUntil([&] { return stalled.requests() == 2; });
  CancelAllTransfers();
  poster.join();
  getter.join();
  const bool later = Post(answering.url(), {});
  std::exit(!post && !download && !later && answering.connections() == 0 ? 0 : 1);
}

// CancelAllTransfers is for the whole process, so it runs in a child of its own.
TEST(HttpClientDeathTest, CancelAllEndsTransfersInFlightAndEveryLaterOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CancelEverything(), ::testing::ExitedWithCode(0), "");
}

// nginx on loopback with a certificate made for the test, and a plain http server that
// must never be reached from it.
class HttpsRedirects : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/sbin/nginx", X_OK) != 0 || access("/usr/bin/openssl", X_OK) != 0)
      GTEST_SKIP() << "nginx or openssl is not installed";
    char tmpl[] = "/tmp/velnaro-tls-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    testing::Child openssl(
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", dir_ + "/key.pem",
         "-out", dir_ + "/cert.pem"},
        {}, dir_ + "/openssl.log");
    ASSERT_EQ(openssl.Wait(60000), 0) << openssl.Output();
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) StartNginx();
    ASSERT_TRUE(started_) << testing::ReadWholeFile(dir_ + "/error.log");
  }
  void TearDown() override {
    nginx_.Stop();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  void StartNginx() {
    port_ = testing::FreeLoopbackPort();
    const std::string plain = plain_.url("/landed");
    const std::string secure = "https://127.0.0.1:" + std::to_string(port_);
    std::ofstream(dir_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\npid " << dir_ << "/nginx.pid;\n"
        << "error_log " << dir_ << "/error.log;\nevents {}\nhttp {\n  access_log off;\n"
        << "  client_body_temp_path " << dir_ << ";\n  proxy_temp_path " << dir_ << ";\n"
        << "  fastcgi_temp_path " << dir_ << ";\n  uwsgi_temp_path " << dir_ << ";\n"
        << "  scgi_temp_path " << dir_ << ";\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << " ssl;\n"
        << "    ssl_certificate " << dir_ << "/cert.pem;\n"
        << "    ssl_certificate_key " << dir_ << "/key.pem;\n"
        << "    location = /to-http { return 302 " << plain << "; }\n"
        << "    location = /to-https { return 302 " << secure << "/landed; }\n"
        << "    location = /landed { return 200 \"landed\"; }\n  }\n}\n";
    nginx_.Start({"/usr/sbin/nginx", "-p", dir_, "-c", dir_ + "/nginx.conf", "-e",
                  dir_ + "/error.log"},
                 {}, dir_ + "/nginx.log");
    started_ = testing::WaitUntil([&] { return testing::CanConnect(port_) || !nginx_.Running(); },
                                  10000) &&
               nginx_.Running();
  }
  std::string Url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }
  RequestOptions Trusting() const {
    RequestOptions options;
    options.ca_file = dir_ + "/cert.pem";
    return options;
  }

  std::string dir_;
  int port_ = 0;
  bool started_ = false;
  LoopbackServer plain_{LoopbackServer::AnswerOk};
  testing::Child nginx_;
};

TEST_F(HttpsRedirects, StayOnHttpsAndNeverGoOnInTheClear) {
  std::string reply;
  ASSERT_TRUE(PostForm(Url("/to-https"), "a=1", Trusting(), reply));
  EXPECT_EQ(reply, "landed");
  EXPECT_FALSE(PostForm(Url("/to-http"), "a=1", Trusting(), reply));
  std::vector<FormPart> parts{{.name = "n", .value = "v"}};
  EXPECT_FALSE(PostMultipart(Url("/to-http"), "b", parts, Trusting(), {}, reply));
  EXPECT_EQ(plain_.connections(), 0);
  // The plain server itself answers: only the redirect kept the client away.
  EXPECT_TRUE(PostForm(plain_.url("/landed"), "a=1", {}, reply));
}

}  // namespace
}  // namespace velnaro
