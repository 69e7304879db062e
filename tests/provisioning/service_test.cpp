// The provisioning client against the lab's stand-in service on loopback.
#include "provisioning/obj_oService.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lab_server.h"
#include "platform/support_log.h"
#include "provisioning/json.h"
#include "support/platform_fakes.h"

namespace velnaro {
namespace {

namespace fs = std::filesystem;
using test::LabServer;
using ::testing::HasSubstr;

const char kDerivedID[] = "DSM303031413242334334443545";

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lab_ = new LabServer();
    if (!lab_->Start()) {
      delete lab_;
      lab_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }

  void SetUp() override {
    if (!lab_) GTEST_SKIP() << "php -S could not be started (is php-cli installed?)";
    lab_->WriteReply(test::ReadWholeFile(fs::path(VELNARO_SOURCE_DIR) /
                                         "tools/lab/provisioning/replies/default.json"));
    service_.URL = lab_->Url("/oService");
  }

  static ConfigPlatform Platform() {
    static FakeUserStore store;
    static FakeAdapterSource adapters = [] {
      FakeAdapterSource a;
      a.adapters.push_back({"eth0", 2, true, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}});
      return a;
    }();
    static FakeHardwareInfoSource hardware;
    return {&store, &adapters, &hardware};
  }

  static LabServer* lab_;
  TConfig config_{Platform()};
  TobjVelnaroDS velnaro_;
  ToService service_{config_, velnaro_};
};
LabServer* ServiceTest::lab_ = nullptr;

const char kStartPairs[] =
    "oID=0&ClientID=DSM303031413242334334443545&ClientVersion=Windows%20333&SoftwareID=3&"
    "SoftwareVersion=4.00.002&ActionCode=SOFTWARE.START&Out=json";

TEST(FormEncoding, EncodesTheReservedBytesAndEverythingFrom128) {
  EXPECT_EQ(EncodeFormValue("Windows 333"), "Windows%20333");
  EXPECT_EQ(EncodeFormValue("4.00.002"), "4.00.002");
  EXPECT_EQ(EncodeFormValue("a?b/c:d;e!~'\"(),$@^`{}|\\_-."), "a?b/c:d;e!~'\"(),$@^`{}|\\_-.");
  EXPECT_EQ(EncodeFormValue("*#%<>[]"), "%2A%23%25%3C%3E%5B%5D");
  EXPECT_EQ(EncodeFormValue("a&b=c+d"), "a%26b%3Dc%2Bd");
  // DEL is the last byte that travels as it is; from 128 up everything is encoded.
  EXPECT_EQ(EncodeFormValue(std::string("\x00\x01\x1F\x7F\x80\xE8\xFF", 7)),
            "%00%01%1F\x7F%80%E8%FF");
  EXPECT_EQ(EncodeFormValue(""), "");
}

TEST_F(ServiceTest, StartRequestCarriesTheEnvelopeTwiceInOrder) {
  ASSERT_EQ(config_.ClientID, kDerivedID);
  ASSERT_TRUE(service_.SoftwareStart()) << service_.ErrorDS;
  EXPECT_EQ(lab_->LastBody(), std::string(kStartPairs) + "&" + kStartPairs);
  // PHP keeps the last of each doubled name; the values decode as they were.
  EXPECT_EQ(lab_->LastPost(),
            R"({"oID":"0","ClientID":"DSM303031413242334334443545","ClientVersion":"Windows 333",)"
            R"("SoftwareID":"3","SoftwareVersion":"4.00.002","ActionCode":"SOFTWARE.START","Out":"json"})");
  EXPECT_EQ(lab_->LastHeaders(),
            R"js({"User-Agent":"Mozilla/5.0 (Windows; U; Windows NT 6.0; it; rv:1.8.1.12)",)js"
            R"("Content-Type":"application/x-www-form-urlencoded"})");
}

TEST_F(ServiceTest, ValuesWithReservedCharactersArriveUnchanged) {
  config_.ClientID = "a&b=c+d %41 caff\xC3\xA8 #1*<x>[y]\x7F";
  std::vector<std::string> fields{"Extra=1+1=2&more", "Flag"};
  service_.ActionUser = "op&1";
  service_.ActionPass = "";
  ASSERT_TRUE(service_.PostAction("TEST.ACTION", fields));
  std::string post = lab_->LastPost();
  EXPECT_THAT(post, HasSubstr("\"ClientID\":\"a&b=c+d %41 caff\xC3\xA8 #1*<x>[y]\x7F\""));
  EXPECT_THAT(post, HasSubstr(R"("Extra":"1+1=2&more")"));
  EXPECT_THAT(post, HasSubstr(R"("ActionUser":"op&1","ActionPass":"")"));
  // Caller's lines first, then the envelope; the list holds what was sent, twice.
  ASSERT_EQ(fields.size(), 22u);
  EXPECT_EQ(fields[0], "Extra=1%2B1%3D2%26more");
  EXPECT_EQ(fields[1], "Flag");
  EXPECT_EQ(fields[2], "oID=0");
  EXPECT_EQ(fields[8], "ActionUser=op%261");
  EXPECT_EQ(fields[9], "ActionPass=");
  EXPECT_EQ(fields[10], "Out=json");
  for (size_t i = 0; i < 11; ++i) EXPECT_EQ(fields[i], fields[i + 11]);
  std::string joined;
  for (auto& f : fields) joined += (joined.empty() ? "" : "&") + f;
  EXPECT_EQ(lab_->LastBody(), joined);
}

// An action's password, once sent, is masked wherever a line of the support log would
// carry it (the SIP password is checked over a whole run in the end-to-end tests).
TEST_F(ServiceTest, ActionPasswordNeverReachesTheSupportLog) {
  const std::string path = (lab_->dir() / "support.log").string();
  {
    SupportLogFile log({.path = path});
    ASSERT_EQ(log.error(), "");
    std::vector<std::string> fields;
    service_.ActionUser = "op";
    service_.ActionPass = "act-pw-9";
    ASSERT_TRUE(service_.PostAction("TEST.ACTION", fields));
    SupportLog(LogLevel::kInfo, "service", "sent ActionPass=act-pw-9");
  }
  EXPECT_THAT(test::ReadWholeFile(path), HasSubstr("service: sent ActionPass=********\n"));
}

TEST_F(ServiceTest, SuccessfulStartStoresEveryValueAndTheNextRequestCarriesOID) {
  ASSERT_TRUE(service_.SoftwareStart());
  EXPECT_EQ(service_.ErrorID, 0);
  EXPECT_EQ(service_.ErrorDS, "");
  EXPECT_EQ(config_.oID, "1");
  EXPECT_EQ(config_.SipServer, "127.0.0.1");
  EXPECT_EQ(config_.SipInterno, "1001");
  EXPECT_EQ(config_.SipUtente, "1001");
  EXPECT_EQ(config_.SipPassword, "secret1001");
  EXPECT_EQ(config_.Rete, "");
  EXPECT_EQ(config_.ConferenceNumber, "800100200");
  EXPECT_EQ(config_.UpdateFILE, "");
  EXPECT_EQ(config_.UpdateFORCE, "0");
  EXPECT_EQ(velnaro_.ServerAddress, "127.0.0.1:8080");
  EXPECT_EQ(velnaro_.ServicePath, "/velnaro/oService");
  EXPECT_THAT(service_.ResponseText, HasSubstr("secret1001"));

  std::vector<std::string> fields;
  ASSERT_TRUE(service_.PostAction("SOFTWARE.START", fields));
  EXPECT_THAT(lab_->LastBody(), ::testing::StartsWith("oID=1&"));
}

// The retry's halves: the request prepared here is sent from another thread; its outcome
// is then read here exactly as SoftwareStart reads it.
TEST_F(ServiceTest, StartInTwoHalvesSendsFromAnyThreadAndStoresHere) {
  auto send = service_.PrepareStartRequest();
  config_.ClientID = "changed after preparing";  // the request is what it was
  std::string reply;
  bool arrived = false;
  std::thread([&] { arrived = send(reply); }).join();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(config_.SipServer, "");  // nothing stored by the sending thread
  EXPECT_EQ(lab_->LastBody(), std::string(kStartPairs) + "&" + kStartPairs);
  ASSERT_TRUE(service_.AcceptStartReply(arrived, reply));
  EXPECT_EQ(config_.SipServer, "127.0.0.1");
  EXPECT_EQ(service_.ResponseText, reply);

  service_.URL = lab_->Url("/status/503");
  EXPECT_FALSE(service_.PrepareStartRequest()(reply));
  EXPECT_FALSE(service_.AcceptStartReply(false, ""));
  EXPECT_EQ(service_.ErrorDS, kConnectionProblem);
  EXPECT_EQ(config_.SipServer, "127.0.0.1");
}

TEST_F(ServiceTest, ServiceErrorKeepsEveryValue) {
  config_.SipServer = "kept";
  velnaro_.ServerAddress = "kept";
  lab_->WriteReply(R"({"Response":{"Error":{"ErrorID":"7","ErrorDS":"Postazione non abilitata"}},)"
                   R"("Data":{"SipServer":"other"}})");
  EXPECT_FALSE(service_.SoftwareStart());
  EXPECT_EQ(service_.ErrorID, 7);
  EXPECT_EQ(service_.ErrorDS, "Postazione non abilitata");
  EXPECT_EQ(config_.SipServer, "kept");
  EXPECT_EQ(velnaro_.ServerAddress, "kept");
  EXPECT_EQ(config_.oID, "0");
}

TEST_F(ServiceTest, StandInRepliesChosenByQuery) {
  service_.URL = lab_->Url("/oService?reply=update");
  ASSERT_TRUE(service_.SoftwareStart());
  EXPECT_EQ(config_.UpdateFILE, "VelnaroDS-setup.sh");
  EXPECT_EQ(config_.UpdateMSG, "\xC3\x88 disponibile una nuova versione.");
  service_.URL = lab_->Url("/oService?reply=error");
  EXPECT_FALSE(service_.SoftwareStart());
  EXPECT_EQ(service_.ErrorID, 7);
  EXPECT_EQ(service_.ErrorDS, "Postazione non abilitata");
  EXPECT_EQ(config_.UpdateFILE, "VelnaroDS-setup.sh");
}

TEST_F(ServiceTest, ErrorIDThatIsNoWholeNumberIsMinusOne) {
  for (const char* error : {R"({"ErrorDS":"x"})", R"({"ErrorID":"","ErrorDS":"x"})",
                            R"({"ErrorID":"abc","ErrorDS":"x"})", R"({"ErrorID":"1.0","ErrorDS":"x"})",
                            R"({"ErrorID":"99999999999","ErrorDS":"x"})"}) {
    service_.ErrorID = 0;
    EXPECT_FALSE(service_.ReadStartReply(std::string(R"({"Response":{"Error":)") + error +
                                         R"(},"Data":{}})"))
        << error;
    EXPECT_EQ(service_.ErrorID, -1) << error;
    EXPECT_EQ(service_.ErrorDS, "x");
  }
  EXPECT_FALSE(service_.ReadStartReply(R"({"Response":{"Error":{"ErrorID":"-3"}}})"));
  EXPECT_EQ(service_.ErrorID, -3);
}

TEST_F(ServiceTest, NumericErrorIDIsATypeError) {
  lab_->WriteReply(R"({"Response":{"Error":{"ErrorID":0,"ErrorDS":""}},"Data":{"SipServer":"x"}})");
  EXPECT_THROW(service_.SoftwareStart(), JsonTypeError);
  EXPECT_EQ(config_.SipServer, "");
}

TEST_F(ServiceTest, TypeErrorInDataKeepsWhatWasStoredBeforeIt) {
  EXPECT_THROW(service_.ReadStartReply(R"({"Response":{"Error":{"ErrorID":"0"}},)"
                                       R"("Data":{"oID":"4","SipServer":"s","Rete":10,"Note":"n"}})"),
               JsonTypeError);
  EXPECT_EQ(config_.oID, "4");
  EXPECT_EQ(config_.SipServer, "s");
  EXPECT_EQ(config_.Note, "");
}

TEST_F(ServiceTest, EmptyDataClearsEveryStoredValue) {
  ASSERT_TRUE(service_.SoftwareStart());
  ASSERT_EQ(config_.SipServer, "127.0.0.1");
  lab_->WriteReply(R"({"Response":{"Error":{"ErrorID":"0","ErrorDS":""}},"Data":{}})");
  ASSERT_TRUE(service_.SoftwareStart());
  for (const std::string* v :
       {&config_.oID, &config_.SipServer, &config_.SipInterno, &config_.SipUtente,
        &config_.SipPassword, &config_.ClientDS, &config_.Rete, &config_.ConferenceNumber,
        &config_.Note, &config_.UpdateURL, &config_.UpdateFILE, &config_.UpdateFORCE,
        &config_.UpdateMSG, &config_.UpdateInfoURL, &velnaro_.ServerAddress, &velnaro_.ServerPath}) {
    EXPECT_EQ(*v, "");
  }
  EXPECT_EQ(velnaro_.ServicePath, "/oService");
}

TEST_F(ServiceTest, InvalidRepliesStoreNothing) {
  config_.SipServer = "kept";
  for (const char* reply :
       {"", "<html>Service Unavailable</html>", "[1,2]", R"("text")", R"({"Data":{"SipServer":"x"}})",
        R"({"Response":{},"Data":{"SipServer":"x"}})",
        R"({"Response":{"Error":{"ErrorID":"0","ErrorDS":""}}})"}) {
    service_.ErrorID = 0;
    EXPECT_FALSE(service_.ReadStartReply(reply)) << reply;
    EXPECT_EQ(service_.ErrorDS, kInvalidReply) << reply;
    EXPECT_EQ(service_.ErrorID, -1) << reply;
    EXPECT_EQ(config_.SipServer, "kept");
  }
  // Through HTTP as well.
  lab_->WriteReply("<html>Service Unavailable</html>");
  EXPECT_FALSE(service_.SoftwareStart());
  EXPECT_EQ(service_.ErrorDS, kInvalidReply);
}

TEST_F(ServiceTest, WrongKindOfResponseIsATypeError) {
  EXPECT_THROW(service_.ReadStartReply(R"({"Response":"x"})"), JsonTypeError);
  EXPECT_THROW(service_.ReadStartReply(R"({"Response":{"Error":[]}})"), JsonTypeError);
  EXPECT_THROW(service_.ReadStartReply(R"({"Response":{"Error":{"ErrorID":"0"}},"Data":"x"})"),
               JsonTypeError);
}

TEST_F(ServiceTest, PostActionFollowsRedirectsWithTheForm) {
  service_.URL = lab_->Url("/redirect/redirect/oService");
  ASSERT_TRUE(service_.SoftwareStart()) << service_.ErrorDS;
  EXPECT_EQ(config_.SipServer, "127.0.0.1");
  EXPECT_THAT(lab_->LastPost(), HasSubstr(R"("ActionCode":"SOFTWARE.START")"));
}

TEST_F(ServiceTest, StatusOutsideTwoHundredsIsAConnectionProblem) {
  service_.ResponseText = "earlier";
  service_.ErrorID = 3;
  for (const char* path : {"/status/500", "/status/404", "/status/301"}) {
    std::vector<std::string> fields;
    service_.URL = lab_->Url(path);
    EXPECT_FALSE(service_.PostAction("X", fields)) << path;
    EXPECT_EQ(service_.ErrorDS, kConnectionProblem);
    EXPECT_EQ(service_.ResponseText, "earlier");
    EXPECT_EQ(service_.ErrorID, 3);
  }
  service_.URL = "not a url";
  EXPECT_FALSE(service_.SoftwareStart());
  EXPECT_EQ(service_.ErrorDS, kConnectionProblem);
}

// ---- downloads ----

std::vector<fs::path> FilesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
  return out;
}

class DownloadTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (IsSkipped()) return;
    out_ = lab_->dir() / ("out-" + std::to_string(counter_++));
    fs::create_directories(out_);
    service_.progress.begin = [this](std::int64_t n) {
      events_.push_back("begin " + std::to_string(n));
      last_ = 0;
    };
    service_.progress.work = [this](std::int64_t n) {
      EXPECT_GE(n, last_);
      last_ = n;
      ++works_;
    };
    service_.progress.end = [this] { events_.push_back("end"); };
  }
  fs::path out_;
  std::vector<std::string> events_;
  std::int64_t last_ = 0;
  int works_ = 0;
  static inline int counter_ = 0;
};

// The installer is the user's alone, whatever the umask says.
TEST_F(DownloadTest, WholeBodyArrivesUnderItsNameWithProgress) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>('a' + i % 26);
  lab_->PutFile("setup.bin", body);
  test::WriteWholeFile(out_ / "setup.bin", "old contents");
  mode_t old_umask = umask(0);
  bool ok = service_.DownloadFile(lab_->Url("/files/setup.bin"), (out_ / "setup.bin").string());
  umask(old_umask);
  ASSERT_TRUE(ok);
  EXPECT_EQ(fs::status(out_ / "setup.bin").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(test::ReadWholeFile(out_ / "setup.bin"), body);
  EXPECT_EQ(FilesIn(out_), std::vector<fs::path>{"setup.bin"});
  EXPECT_EQ(events_, (std::vector<std::string>{"begin 300000", "end"}));
  EXPECT_EQ(last_, 300000);
  EXPECT_GE(works_, 1);
  EXPECT_EQ(lab_->LastHeaders(),
            R"js({"User-Agent":"Mozilla/5.0 (Windows; U; Windows NT 6.0; it; rv:1.8.1.12)",)js"
            R"("Content-Type":null})");
}

TEST_F(DownloadTest, EmptyBodyGivesAnEmptyFile) {
  lab_->PutFile("empty.bin", "");
  ASSERT_TRUE(service_.DownloadFile(lab_->Url("/files/empty.bin"), (out_ / "empty.bin").string()));
  EXPECT_TRUE(fs::exists(out_ / "empty.bin"));
  EXPECT_EQ(fs::file_size(out_ / "empty.bin"), 0u);
}

TEST_F(DownloadTest, FailuresLeaveNoFileAndKeepAnOldOne) {
  lab_->PutFile("setup.bin", "new");
  test::WriteWholeFile(out_ / "kept.bin", "old contents");
  for (const char* path : {"/redirect/files/setup.bin", "/files/missing.bin", "/cut/200000",
                           "/status/500"}) {
    EXPECT_FALSE(service_.DownloadFile(lab_->Url(path), (out_ / "setup.bin").string())) << path;
    EXPECT_FALSE(service_.DownloadFile(lab_->Url(path), (out_ / "kept.bin").string())) << path;
    EXPECT_EQ(FilesIn(out_), std::vector<fs::path>{"kept.bin"}) << path;
    EXPECT_EQ(test::ReadWholeFile(out_ / "kept.bin"), "old contents");
  }
  EXPECT_FALSE(service_.DownloadFile(lab_->Url("/files/setup.bin"), (out_ / "no/such/dir/x").string()));
}

TEST_F(DownloadTest, CutShortReportsProgressButNoFile) {
  EXPECT_FALSE(service_.DownloadFile(lab_->Url("/cut/100000"), (out_ / "x.bin").string()));
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[0], "begin 200000");
  EXPECT_EQ(events_[1], "end");
  EXPECT_TRUE(FilesIn(out_).empty());
}

// ---- unreachable service ----

// A listening socket on a free loopback port; the port is written to `port`.
int ListenOnLoopback(int backlog, int& port, sockaddr_in& a) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, backlog);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A loopback listener whose accept queue is full: further connection attempts get no answer.
class FullListener {
 public:
  FullListener() {
    sockaddr_in a;
    fd_ = ListenOnLoopback(0, port_, a);
    for (int i = 0; i < 16; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fillers_.push_back(c);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      pollfd p{c, POLLOUT, 0};
      if (poll(&p, 1, 300) == 0) {
        full_ = true;
        break;
      }
    }
  }
  ~FullListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  int port() const { return port_; }
  bool full() const { return full_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

TEST_F(ServiceTest, UnreachableServiceFailsAfterTheConnectTimeOut) {
  FullListener listener;
  if (!listener.full()) GTEST_SKIP() << "could not fill a loopback listener's queue";
  service_.URL = "http://127.0.0.1:" + std::to_string(listener.port()) + "/oService";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(service_.SoftwareStart());
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(service_.ErrorDS, kConnectionProblem);
  // About five seconds; wide bounds, this only tells a time-out from an instant refusal.
  EXPECT_GT(s, 4.0);
  EXPECT_LT(s, 30.0);
}

// A server that accepts, reads the request, sends `answer` (nothing, or the start of a
// reply) and then holds the connection silently until the client leaves or a minute passes.
class SilentServer {
 public:
  explicit SilentServer(std::string answer) {
    sockaddr_in a;
    fd_ = ListenOnLoopback(4, port_, a);
    thread_ = std::thread([this, answer] {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[4096];
      (void)!::read(c, buf, sizeof buf);
      (void)!::write(c, answer.data(), answer.size());
      pollfd p{c, POLLIN, 0};
      for (int i = 0; i < 600 && !stop_; ++i) {
        if (poll(&p, 1, 100) > 0 && ::read(c, buf, sizeof buf) <= 0) break;
      }
      ::close(c);
    });
  }
  ~SilentServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A service that accepts and then says nothing no longer holds the start-up for ever, and
// a download that stops moving fails. The bounds only tell the limit from the server's
// minute of silence.
TEST_F(ServiceTest, SilentServiceAndStalledDownloadFailAtTheirLimits) {
  service_.limits.action = std::chrono::milliseconds(1500);
  service_.limits.download_stall = std::chrono::seconds(1);
  {
    SilentServer silent("");
    service_.URL = silent.Url("/oService");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(service_.SoftwareStart());
    EXPECT_EQ(service_.ErrorDS, kConnectionProblem);
    EXPECT_LT(SecondsSince(t0), 30.0);
  }
  {
    SilentServer stalled("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nx");
    std::string target = (lab_->dir() / "stalled.bin").string();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(service_.DownloadFile(stalled.Url("/files/setup.bin"), target));
    EXPECT_LT(SecondsSince(t0), 30.0);
    EXPECT_FALSE(fs::exists(target));
  }
}

}  // namespace
}  // namespace velnaro
