#include "control/upload.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <random>

#include "control/web_server.h"
#include "support/control_service.h"
#include "support/loopback_server.h"
#include "support/platform_fakes.h"
#include "upload_servers.h"

namespace velnaro {
namespace {

using testing::PhpUploadServer;
using testing::RawHttpServer;
using testing::ReadWholeFile;

const std::string kPath = "/velnaro/service/ds_phone/upload.php?";

// A recording of random bytes in a folder of its own.
class Recording {
 public:
  explicit Recording(size_t size, const std::string& name = "rec101010101.wav") {
    char tmpl[] = "/tmp/velnaro-rec-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/" + name;
    std::mt19937 rng(static_cast<unsigned>(size));
    content_.resize(size);
    for (auto& c : content_) c = static_cast<char>(rng());
    std::ofstream(path_, std::ios::binary).write(content_.data(), static_cast<long>(size));
  }
  ~Recording() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  const std::string& content() const { return content_; }

 private:
  std::string dir_, path_, content_;
};

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : log)
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
  return out;
}

// The query comes as the page sent it: its escapes stay escapes, and only what may not
// stand in a URL is encoded.
TEST(UploadAddress, EncodesOnlyWhatMayNotStandInAUrl) {
  EXPECT_EQ(UploadAddress("10.1.2.3", "Action=RECSTOP&recording_id=226"),
            "http://10.1.2.3/velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=226");
  EXPECT_EQ(EncodeUploadQuery("note=a%2Bb%26c%3Dd&e=%e8"), "note=a%2Bb%26c%3Dd&e=%e8");
  EXPECT_EQ(EncodeUploadQuery("a=%zz&b=%4&c=%"), "a=%25zz&b=%254&c=%25");
  EXPECT_EQ(EncodeUploadQuery("q=\"<>\\^`{|}[]"), "q=%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D");
  EXPECT_EQ(EncodeUploadQuery("a=b c&d=e#f&g=100%"), "a=b%20c&d=e%23f&g=100%25");
  EXPECT_EQ(EncodeUploadQuery("x=1\r\nHost: evil\t\x7f"), "x=1%0D%0AHost:%20evil%09%7F");
  EXPECT_EQ(EncodeUploadQuery("n=caff\xc3\xa8"), "n=caff%C3%A8");
  EXPECT_EQ(EncodeUploadQuery("k=/a+b?c;d@e!'()*,~-._"), "k=/a+b?c;d@e!'()*,~-._");
  EXPECT_EQ(EncodeUploadQuery(std::string("z=\0", 3)), "z=%00");
}

// The exact bytes on the wire: request line, the headers and nothing of libcurl's own
// that changes the exchange, the five parts in order.
TEST(UploadRequest, IsExactlyTheFormWithTheFixedHeaders) {
  Recording rec(3000);
  RawHttpServer server;
  testing::ControlService web;
  FakeClock clock({2026, 12, 8, 14, 30, 5, 123});
  web.window.SetUploadFields("http://" + server.host() + kPath + "Action=RECSTOP&recording_id=226",
                             rec.path());
  Button2Click(web.window, web.status, clock);

  const std::string boundary = "--------120826143005123";
  const std::string expected_body =
      "--" + boundary + "\r\n"
      "Content-Disposition: form-data; name=\"Allegato\"; filename=\"" + rec.path() + "\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" + rec.content() + "\r\n"
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"PackageFileCount\"\r\n\r\n1\r\n"
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"SourceFileCreatedDateTime_0\""
      "\r\n\r\n10:10:10 10:10\r\n"
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"NomeFile\"\r\n\r\nasdasd\r\n"
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"MAX_FILE_SIZE\"\r\n\r\n10000\r\n"
      "--" + boundary + "--\r\n";
  EXPECT_EQ(server.head(),
            "POST /velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=226 HTTP/1.1\r\n"
            "Host: " + server.host() + "\r\n"
            "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n"
            "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 6.0; it; rv:1.8.1.12)\r\n"
            "Accept: text/html, */*\r\n"
            "Content-Length: " + std::to_string(expected_body.size()) + "\r\n\r\n");
  EXPECT_TRUE(server.body() == expected_body);
  EXPECT_EQ(web.status.memoLogs().back(), "ok");
}

// A quote or a line break in the path (TEMP may hold anything) cannot end the file
// part's header early or add headers of its own.
TEST(UploadRequest, FileNameCannotBreakThePartHeader) {
  Recording rec(10, "rec\"x\r\nContent-Type: text-evil.wav");
  RawHttpServer server;
  testing::ControlService web;
  UploadFile(web.window, web.status, "http://" + server.host() + kPath + "a=1", rec.path());
  const std::string body = server.body();
  const std::string dir = rec.path().substr(0, rec.path().rfind('/') + 1);
  const std::string first_lines = body.substr(0, body.find("\r\n\r\n"));
  EXPECT_NE(first_lines.find("; filename=\"" + dir + "rec%22x%0D%0AContent-Type: text-evil.wav\"\r\n"
                             "Content-Type: application/octet-stream"),
            std::string::npos)
      << first_lines;
  EXPECT_EQ(first_lines.find("\r\nContent-Type: text-evil"), std::string::npos);
}

// The telephone system's server is reached directly, whatever proxy the environment names.
TEST(UploadRequest, IgnoresProxiesFromTheEnvironment) {
  Recording rec(10);
  RawHttpServer server;
  const std::string dead = "http://127.0.0.1:" + std::to_string(testing::FreeLoopbackPort());
  setenv("http_proxy", dead.c_str(), 1);
  setenv("HTTP_PROXY", dead.c_str(), 1);
  testing::ControlService web;
  UploadFile(web.window, web.status, "http://" + server.host() + kPath + "a=1", rec.path());
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  EXPECT_EQ(web.status.memoLogs().back(), "ok");
}

// What the receiver of the lab stores: the file byte for byte, the four fields in
// order, the query as sent. MAX_FILE_SIZE comes after the file, so PHP does not apply
// it to a 3 MB recording.
TEST(UploadToPhp, StoresTheFileTheFieldsAndTheQuery) {
  PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  Recording rec(3 * 1024 * 1024 + 17);
  testing::ControlService web;
  web.window.SetUploadFields("http://" + php.host() + kPath + "Action=RECSTOP&recording_id=226",
                             rec.path());
  Button2Click(web.window, web.status);

  const auto uploads = php.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(ReadWholeFile(uploads[0] + "/Allegato") == rec.content());
  rapidjson::Document meta;
  meta.Parse(ReadWholeFile(uploads[0] + "/meta.json").c_str());
  ASSERT_TRUE(meta.IsObject());
  EXPECT_STREQ(meta["query"].GetString(), "Action=RECSTOP&recording_id=226");
  EXPECT_STREQ(meta["get"]["recording_id"].GetString(), "226");
  EXPECT_STREQ(meta["file"]["type"].GetString(), "application/octet-stream");
  EXPECT_EQ(meta["file"]["error"].GetInt(), 0);
  const auto& fields = meta["fields"];
  ASSERT_EQ(fields.Size(), 4u);
  const char* want[4][2] = {{"PackageFileCount", "1"},
                            {"SourceFileCreatedDateTime_0", "10:10:10 10:10"},
                            {"NomeFile", "asdasd"},
                            {"MAX_FILE_SIZE", "10000"}};
  for (unsigned i = 0; i < 4; ++i) {
    EXPECT_STREQ(fields[i][0].GetString(), want[i][0]);
    EXPECT_STREQ(fields[i][1].GetString(), want[i][1]);
  }
  EXPECT_FALSE(meta["headers"].HasMember("Expect"));

  // Progress in order: one start with the form's size, blocks counting up, the end
  // of the form, the reply's own transfer, and last the reply text.
  const auto log = web.status.memoLogs();
  ASSERT_GE(log.size(), 4u);
  const long long form = std::stoll(log[0].substr(std::string(" - Upload start: ").size()));
  EXPECT_EQ(log[0].rfind(" - Upload start: ", 0), 0u);
  EXPECT_GT(form, static_cast<long long>(rec.content().size()));
  long long last = 0;
  size_t i = 1;
  for (; i < log.size() && log[i].rfind(" - Upload: ", 0) == 0; ++i) {
    const long long n = std::stoll(log[i].substr(11));
    EXPECT_GT(n, last);
    last = n;
  }
  EXPECT_EQ(last, form);
  ASSERT_LT(i, log.size());
  EXPECT_EQ(log[i], "- Upload end ");
  EXPECT_EQ(log.back(), "Upload OK: " + std::to_string(rec.content().size()) + " bytes");
  EXPECT_EQ(log[log.size() - 2], "- Upload end ");
  EXPECT_EQ(web.window.MessaggioUpload(), "- Upload end ");
  EXPECT_EQ(ReadWholeFile(rec.path()), rec.content());  // the recording stays
}

// A receiver that moved (307) gets the whole form again.
TEST(UploadToPhp, FollowsARedirectWithTheWholeForm) {
  PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  Recording rec(200000);
  testing::ControlService web;
  UploadFile(web.window, web.status,
             "http://" + php.host() + "/velnaro/service/ds_phone/moved.php?recording_id=9",
             rec.path());
  const auto uploads = php.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(ReadWholeFile(uploads[0] + "/Allegato") == rec.content());
  // The form twice, then the final reply (the 307 has no body to receive).
  EXPECT_EQ(LinesStartingWith(web.status.memoLogs(), " - Upload start: ").size(), 3u);
  EXPECT_EQ(web.status.memoLogs().back(), "Upload OK: 200000 bytes");
}

// Every transfer that starts also ends, before the next one starts.
void ExpectTransfersPaired(const std::vector<std::string>& log) {
  bool open = false;
  for (const auto& line : log) {
    if (line.rfind(" - Upload start: ", 0) == 0) {
      EXPECT_FALSE(open) << "a transfer started before the last one ended";
      open = true;
    } else if (line == "- Upload end ") {
      EXPECT_TRUE(open) << "an end without a start";
      open = false;
    }
  }
  EXPECT_FALSE(open);
}

// A redirect that comes while the form is still going out cuts that transfer short; it
// still ends before the form is sent again.
TEST(UploadRedirect, ATransferCutShortByAnEarlyRedirectStillEnds) {
  char tmpl[] = "/tmp/velnaro-early-XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 16 * 1024 * 1024), 0);  // sparse
  close(fd);
  RawHttpServer target(RawHttpServer::kOk, 0);
  testing::EarlyAnswerServer early("HTTP/1.1 307 Temporary Redirect\r\nLocation: http://" +
                                   target.host() + kPath + "a=1\r\nContent-Length: 0\r\n\r\n");
  testing::ControlService web;
  std::vector<std::string> log;  // all of it: the window's log keeps only 101 lines
  web.status.SetLogObserver([&log](const std::string& line) { log.push_back(line); });
  UploadFile(web.window, web.status, "http://" + early.host() + kPath + "a=1", tmpl);
  unlink(tmpl);
  EXPECT_EQ(log.back(), "ok");
  EXPECT_EQ(LinesStartingWith(log, " - Upload start: ").size(), 3u);  // form twice, reply
  ExpectTransfersPaired(log);
}

// Fifteen redirects are followed, not a sixteenth.
TEST(UploadToPhp, GivesUpAfterFifteenRedirects) {
  PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  Recording rec(1000);
  testing::ControlService web;
  UploadFile(web.window, web.status,
             "http://" + php.host() + "/velnaro/service/ds_phone/loop.php?a=1", rec.path());
  EXPECT_EQ(web.status.memoLogs().back(), "Errore nel post del file");
  EXPECT_EQ(LinesStartingWith(web.status.memoLogs(), "- Upload end ").size(), 16u);  // 1 + 15 sends
  EXPECT_TRUE(php.Uploads().empty());
}

TEST(UploadFailures, ErrorStatusAndNoServerAreLoggedAsAFailedPost) {
  Recording rec(5000);
  {
    PhpUploadServer php(500);
    if (!php.ok()) GTEST_SKIP() << "php -S not available";
    testing::ControlService web;
    UploadFile(web.window, web.status, "http://" + php.host() + kPath + "Action=RECSTOP",
               rec.path());
    EXPECT_EQ(web.status.memoLogs().back(), "Errore nel post del file");
  }
  {
    testing::ControlService web;
    const int port = testing::FreeLoopbackPort();  // nobody listens there
    UploadFile(web.window, web.status,
               "http://127.0.0.1:" + std::to_string(port) + kPath + "Action=RECSTOP", rec.path());
    EXPECT_EQ(web.status.memoLogs(), std::vector<std::string>{"Errore nel post del file"});
  }
  {
    testing::ControlService web;  // never provisioned: no host at all
    UploadFile(web.window, web.status, UploadAddress("", "Action=RECSTOP"), rec.path());
    EXPECT_EQ(web.status.memoLogs(), std::vector<std::string>{"Errore nel post del file"});
  }
  {
    // The connection breaks in the middle of the reply.
    RawHttpServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
    testing::ControlService web;
    UploadFile(web.window, web.status, "http://" + server.host() + kPath + "Action=RECSTOP",
               rec.path());
    EXPECT_EQ(web.status.memoLogs().back(), "Errore nel post del file");
  }
  EXPECT_EQ(ReadWholeFile(rec.path()), rec.content());
}

// A receiver that takes the form and then says nothing: once nothing has moved for the
// stall limit (60 s; one here) the post has failed, and the recording stays.
TEST(UploadFailures, AReceiverThatStallsIsAFailedPost) {
  Recording rec(5000);
  testing::LoopbackServer stalled(testing::LoopbackServer::Stall);
  testing::ControlService web;
  EXPECT_FALSE(UploadFile(web.window, web.status, stalled.url(kPath + "a=1"), rec.path(),
                          DefaultClock(), {.stall_timeout = std::chrono::seconds(1)}));
  EXPECT_EQ(stalled.requests(), 1);
  EXPECT_EQ(web.status.memoLogs().back(), "Errore nel post del file");
  EXPECT_EQ(ReadWholeFile(rec.path()), rec.content());
}

TEST(UploadFailures, AFileThatCannotBeOpenedStopsBeforeAnyRequest) {
  RawHttpServer server;
  testing::ControlService web;
  const std::string url = "http://" + server.host() + kPath + "Action=RECSTOP";
  web.window.SetUploadFields(url, "/nonexistent/rec.wav");
  try {
    Button2Click(web.window, web.status);
    ADD_FAILURE() << "no error";
  } catch (const UploadFileError& e) {
    EXPECT_STREQ(e.what(), "Cannot open file \"/nonexistent/rec.wav\". No such file or directory");
  }
  web.window.SetUploadFields(url, "/tmp");
  EXPECT_THROW(Button2Click(web.window, web.status), UploadFileError);

  // A writer holding the file keeps the upload out.
  Recording rec(100);
  const int writer = open(rec.path().c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(writer, F_OFD_SETLK, &lock), 0);
  web.window.SetUploadFields(url, rec.path());
  EXPECT_THROW(Button2Click(web.window, web.status), UploadFileError);
  close(writer);

  EXPECT_TRUE(web.status.memoLogs().empty());
  EXPECT_FALSE(server.connected());
}

// While the file is being sent (the server has the form but has not answered yet), a
// cooperating writer cannot take it.
TEST(UploadFailures, WritersAreKeptOutWhileTheFileIsSent) {
  Recording rec(64 * 1024);
  const std::string path = rec.path();
  bool writer_refused = false;
  RawHttpServer server(RawHttpServer::kOk, 1 << 20, [&] {
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    writer_refused = fcntl(fd, F_OFD_SETLK, &lock) != 0;
    close(fd);
  });
  testing::ControlService web;
  UploadFile(web.window, web.status, "http://" + server.host() + kPath + "a=1", path);
  EXPECT_TRUE(server.connected());
  EXPECT_TRUE(writer_refused);
}

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// 200 MB are read from disk as they are sent: the peak memory does not grow by anything
// like the file's size. (The bench measures the figure; this only guards the streaming.)
TEST(UploadLargeFile, IsStreamedFromDisk) {
  char tmpl[] = "/tmp/velnaro-big-XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  const off_t size = 200 * 1024 * 1024;
  ASSERT_EQ(ftruncate(fd, size), 0);  // sparse: no disk traffic
  close(fd);
  RawHttpServer server(RawHttpServer::kOk, 0);
  testing::ControlService web;
  const long before = PeakRssKb();
  UploadFile(web.window, web.status, "http://" + server.host() + kPath + "a=1", tmpl);
  const long after = PeakRssKb();
  unlink(tmpl);
  EXPECT_EQ(web.status.memoLogs().back(), "ok");
  EXPECT_GT(server.body_bytes(), static_cast<size_t>(size));
  EXPECT_LT(after - before, 32 * 1024) << "peak RSS grew by " << (after - before) << " kB";
}

}  // namespace
}  // namespace velnaro
