#include "control/commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands_http_get.h"
#include "control/http_endpoint.h"
#include "control/reply.h"
#include "control/web_server.h"
#include "platform/screen_capture.h"
#include "support/control_service.h"
#include "support/phone_fakes.h"
#include "support/platform_fakes.h"
#include "support/wire_fields.h"
#include "upload_servers.h"

namespace velnaro {
namespace {

using testing::FakePhone;
using V = std::vector<std::string>;

const std::string kUploadLine = "              - Upload file: ";
const std::string kUrlLine = "              - URL: ";

// The service with the commands registered over a fake phone that records the order of
// every effect, reached over HTTP; TEMP in a folder of its own.
class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-cmd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    temp_ = tmpl;
    setenv("TEMP", temp_.c_str(), 1);
    RgbImage picture{16, 8, std::vector<uint8_t>(16 * 8 * 3, 128)};
    capture_.SetImage(picture);
    // Every effect in one list, each phone operation with the flags as they stood then.
    phone_.note = [this] {
      const auto r = testing::Wire(server_.status.Record());
      return "hold" + r.Hold + " mute" + r.Mute + " rec" + r.Rec;
    };
    phone_.status = &server_.status;
    // The phone's own idle action comes first; the commands chain after it.
    server_.status.SetIdleAction([this] { phone_.Add("phone idle action"); });
    RegisterCommands(
        server_.interpreter.Commands(), {server_.status, server_.window, phone_},
        {.sip_server = [this] { return sip_server_; },
         .capture = &capture_,
         .clock = &clock_,
         .upload_failed = [this](const std::string& path,
                                 const std::string& url) { failed_.push_back(path + " " + url); }});
    server_.status.SetLogObserver([this](const std::string& line) { phone_.Add("log:" + line); });
    endpoint_.Start(0);
  }
  void TearDown() override {
    endpoint_.Stop();
    (void)std::system(("rm -rf '" + temp_ + "'").c_str());
    unsetenv("TEMP");
  }

  // GET path + "?" + query (already percent-encoded); the reply body.
  std::string Send(const std::string& path, const std::string& query) {
    const testing::HttpReply r = testing::HttpGet(endpoint_.port(), path + "?" + query);
    status_ = r.status;
    return r.body;
  }

  std::string temp_;
  std::string sip_server_ = "127.0.0.1:1";
  testing::ControlService server_;
  FakePhone phone_;
  FakeScreenCapture capture_;
  FakeClock clock_{{2026, 12, 8, 14, 30, 5, 123}};
  HttpEndpoint endpoint_{server_.interpreter};
  long status_ = 0;
  std::vector<std::string> failed_;  // uploads handed on to be sent again: "path url"
};

TEST_F(Commands, SimpleCommandsReplyActAndLogInOrder) {
  struct Case {
    std::string action;
    size_t length;
    V events;
    std::string hold, mute, rec;
  };
  const std::vector<Case> cases = {
      {"HOLD", 94, {"Hold 0 [hold0 mute0 rec0]", "log:phone/HOLD"}, "1", "0", "0"},
      {"UNHOLD", 96, {"Unhold 0 [hold1 mute0 rec0]", "log:phone/UNHOLD"}, "0", "0", "0"},
      {"MUTE", 94, {"Mute 0 on [hold0 mute1 rec0]", "log:phone/MUTE"}, "0", "1", "0"},
      {"UNMUTE", 96, {"Mute 0 off [hold0 mute0 rec0]", "log:phone/UNMUTE"}, "0", "0", "0"},
      {"RECSTART",
       98,
       {"StartRecording 0 [hold0 mute0 rec0]", "log:phone/RECSTART"},
       "0",
       "0",
       "1"},
      {"HANGUP",
       96,
       {"HangUp 0 [hold0 mute0 rec1]", "phone idle action", "log:phone/HANGUP"},  // mic open
       "0",
       "0",
       "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    const std::string reply = Send("/phone/", "Action=" + c.action);
    EXPECT_EQ(reply, reply::Simple(c.action));
    EXPECT_EQ(reply.size(), c.length);
    EXPECT_EQ(phone_.Take(), c.events);
    const auto r = testing::Wire(server_.status.Record());
    EXPECT_EQ(r.Hold, c.hold);
    EXPECT_EQ(r.Mute, c.mute);
    EXPECT_EQ(r.Rec, c.rec);
  }
}

TEST_F(Commands, HangUpReplyIsExactly96Characters) {
  EXPECT_EQ(Send("/phone/", "Action=HANGUP"),
            "{   \"ErroreID\": 0,  \"ErroreDS\": \"\",   \"Dati\": {             \"Status\":    "
            "\"HANGUP\"           } } ");
  EXPECT_EQ(server_.status.memoLogs(), V{"phone/HANGUP"});
}

TEST_F(Commands, CallSetsTheStateDialsAndLogs) {
  phone_.note = [this] {  // the record the dial sees
    const auto r = testing::Wire(server_.status.Record());
    return r.Stato + "/" + r.ChiamataStato + "/" + r.ChiamataPrefix + "/" + r.ChiamataNumero;
  };
  const std::string reply = Send("/phone/", "Action=CALL&Prefix=0&Number=55");
  EXPECT_EQ(reply, reply::Call("0", "55"));
  EXPECT_EQ(reply.size(), 153u);
  EXPECT_EQ(phone_.Take(), (V{"Dial 0 055 [INCALL/CALLOUT/0/55]", "log:phone/CALL: 0 55"}));

  // Without Number the last call's values stay.
  Send("/phone/", "Action=CALL&Prefix=9");
  auto r = server_.status.Record();
  EXPECT_EQ(r.Stato, LineState::kInCall);
  EXPECT_EQ(r.ChiamataStato, CallState::kCallOut);
  EXPECT_EQ(r.ChiamataPrefix, "0");
  EXPECT_EQ(r.ChiamataNumero, "55");
  phone_.Take();

  // Neither: still INCALL/CALLOUT, two empty values in the reply, the dial is asked to
  // place the empty number (and refuses it itself).
  server_.status.AggiornaStato(LineState::kIdle, CallState::kHangUp);
  phone_.Take();
  const std::string empty = Send("/phone/", "Action=CALL");
  EXPECT_EQ(empty.size(), 150u);
  EXPECT_EQ(phone_.Take(), (V{"Dial 0  [INCALL/CALLOUT/0/55]", "log:phone/CALL:  "}));
}

TEST_F(Commands, DtmfSendsTheDigitsOnLine1) {
  const std::string reply = Send("/phone/", "Action=DTMF&Number=12");
  EXPECT_EQ(reply, reply::Dtmf("12"));
  EXPECT_EQ(reply.size(), 123u);
  EXPECT_EQ(phone_.Take(), (V{"SendDtmf 0 12 [hold0 mute0 rec0]", "log:phone/DTMF/12"}));
}

// The Mute flag follows the commands and IDLE; the microphone follows the flag.
TEST_F(Commands, MuteLastsUntilTheLineIsIdleAgain) {
  Send("/phone/", "Action=MUTE");
  EXPECT_TRUE(server_.status.Record().Mute);
  Send("/phone/", "Action=HOLD");
  phone_.Take();
  server_.status.AggiornaStato(LineState::kOnline);
  EXPECT_TRUE(server_.status.Record().Mute);
  EXPECT_TRUE(phone_.Take().empty());
  server_.status.AggiornaStato(LineState::kIdle, CallState::kHangUp);
  EXPECT_FALSE(server_.status.Record().Mute);
  EXPECT_FALSE(server_.status.Record().Hold);
  EXPECT_EQ(phone_.Take(), (V{"phone idle action", "Mute 0 off [hold1 mute1 rec0]"}));
}

TEST_F(Commands, ScreenshotSavesTheFileAndLogsItsPath) {
  const std::string reply = Send("/system/", "Action=SCREENSHOT");
  EXPECT_EQ(reply, reply::Simple("SCREENSHOT"));
  EXPECT_EQ(reply.size(), 100u);
  const std::string path = temp_ + "/img143005123.jpg";
  EXPECT_EQ(server_.status.memoLogs(), V{"system/SCREENSHOT: " + path});
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);

  // Only under /system/.
  EXPECT_EQ(Send("/phone/", "Action=SCREENSHOT"), reply::NotRecognised());

  // A display that cannot be read fails the request (500) and logs nothing.
  capture_.SetError("Cannot open the X display \":99\"");
  server_.status.SetLogObserver(nullptr);
  const auto before = server_.status.memoLogs();
  EXPECT_NE(Send("/system/", "Action=SCREENSHOT").find("Cannot open the X display"),
            std::string::npos);
  EXPECT_EQ(status_, 500);
  EXPECT_EQ(server_.status.memoLogs(), before);
}

// The hardened profile's ration: a second screenshot within the second is refused before
// anything is captured or written, and says so in a way the page can read.
TEST_F(Commands, ScreenshotsBeyondTheirRateAre429WithoutAFile) {
  CommandOptions rationed{[this] { return sip_server_; }, &capture_, &clock_};
  rationed.screenshot_interval = std::chrono::hours(1);
  // Replaces the table's entries.
  RegisterCommands(server_.interpreter.Commands(), {server_.status, server_.window, phone_},
                   rationed);
  EXPECT_EQ(Send("/system/", "Action=SCREENSHOT"), reply::Simple("SCREENSHOT"));
  const std::string path = temp_ + "/img143005123.jpg";
  ASSERT_EQ(::unlink(path.c_str()), 0);
  const std::string refused = Send("/system/", "Action=SCREENSHOT");
  EXPECT_EQ(status_, 429);
  EXPECT_EQ(refused, "{\"error\": \"at most one screenshot a second\"}");
  EXPECT_EQ(capture_.captures(), 1);
  struct stat st {};
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_EQ(server_.status.memoLogs(), V{"system/SCREENSHOT: " + path});
}

TEST_F(Commands, RecstopThatCannotSaveAnswersTheSaveErrorAndKeepsRec) {
  Send("/phone/", "Action=RECSTART");
  phone_.Take();
  phone_.save_ok = false;
  const std::string reply = Send("/phone/", "Action=RECSTOP&recording_id=226");
  EXPECT_EQ(reply, reply::SaveError());
  EXPECT_EQ(reply.size(), 108u);
  const std::string path = temp_ + "/rec143005123.wav";
  EXPECT_EQ(phone_.Take(), (V{"SaveRecording 0 " + path + " [hold0 mute0 rec1]",
                               "log:phone/RECSTOP - Errore di salvataggio: " + path}));
  EXPECT_TRUE(server_.status.Record().Rec);
}

// Saved: the reply, Rec "0", the log line, then the upload of the new WAV with the
// request's own query.
TEST_F(Commands, RecstopSavesThenUploadsWithTheRequestsQuery) {
  testing::PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  sip_server_ = php.host();
  Send("/phone/", "Action=RECSTART");
  phone_.Take();
  // What the service holds when its own log line is written and when the upload starts.
  std::string url_at_upload, file_at_upload;
  bool rec_at_log = true;
  server_.status.SetLogObserver([&](const std::string& line) {
    if (line == "phone/RECSTOP") rec_at_log = server_.status.Record().Rec;
    if (line.rfind(" - Upload start: ", 0) == 0 && url_at_upload.empty()) {
      url_at_upload = server_.window.txtURL2();
      file_at_upload = server_.window.txtFileName();
    }
  });

  const std::string reply = Send("/phone/", "Action=RECSTOP&recording_id=226");
  EXPECT_EQ(reply, reply::Simple("RECSTOP"));
  EXPECT_FALSE(server_.status.Record().Rec);
  EXPECT_FALSE(rec_at_log);
  const std::string path = temp_ + "/rec143005123.wav";
  const std::string url =
      "http://" + php.host() + "/velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=226";
  auto log = server_.status.memoLogs();
  ASSERT_EQ(log[0], "phone/RECSTART");
  log.erase(log.begin());
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[0], "phone/RECSTOP");
  EXPECT_EQ(log[1], kUploadLine + path);
  EXPECT_EQ(log[2], kUrlLine + url);
  EXPECT_EQ(log[3].rfind(" - Upload start: ", 0), 0u);
  EXPECT_EQ(log.back(), "Upload OK: " + std::to_string(phone_.wav.size()) + " bytes");
  EXPECT_EQ(url_at_upload, url);
  EXPECT_EQ(file_at_upload, path);

  const auto uploads = php.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(testing::ReadWholeFile(uploads[0] + "/Allegato"), phone_.wav);
  EXPECT_EQ(testing::ReadWholeFile(path), phone_.wav);  // the recording stays in TEMP
  EXPECT_TRUE(failed_.empty());
}

// The receiver decodes exactly the values the page sent, and nothing in them can break
// the request: a form post's text arrives encoded where a URL needs it.
TEST_F(Commands, RecstopForwardsTheQueryAsThePageSentIt) {
  testing::PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  sip_server_ = php.host();
  // The receiver's view of the one upload since the last look.
  auto receiver_saw = [&php] {
    const auto uploads = php.Uploads();
    EXPECT_EQ(uploads.size(), 1u);
    rapidjson::Document meta;
    if (uploads.empty()) return meta;
    meta.Parse(testing::ReadWholeFile(uploads[0] + "/meta.json").c_str());
    std::filesystem::remove_all(uploads[0]);
    return meta;
  };
  auto last_url_line = [this] {
    const auto log = server_.status.memoLogs();
    for (auto it = log.rbegin(); it != log.rend(); ++it)
      if (it->rfind(kUrlLine, 0) == 0) return *it;
    return std::string();
  };

  const std::string sent = "Action=RECSTOP&note=a%2Bb%26c%3Dd&x=1+2%23%0D%0AX-Evil:%201";
  Send("/phone/", sent);
  const std::string address =
      "http://" + php.host() + "/velnaro/service/ds_phone/upload.php?";
  EXPECT_EQ(last_url_line(), kUrlLine + address + sent);
  rapidjson::Document meta = receiver_saw();
  ASSERT_TRUE(meta.IsObject());
  EXPECT_STREQ(meta["query"].GetString(), sent.c_str());
  EXPECT_STREQ(meta["get"]["note"].GetString(), "a+b&c=d");
  EXPECT_FALSE(meta["get"].HasMember("c"));
  EXPECT_STREQ(meta["get"]["x"].GetString(), "1 2#\r\nX-Evil: 1");
  EXPECT_FALSE(meta["headers"].HasMember("X-Evil"));

  // A form body may hold what a URL may not.
  const std::string form = "Action=RECSTOP&note=caff\xc3\xa8 \"1\"";
  EXPECT_EQ(testing::HttpGet(endpoint_.port(), "/phone/?y=%41", &form).body,
            reply::Simple("RECSTOP"));
  const std::string encoded = "Action=RECSTOP&note=caff%C3%A8%20%221%22&y=%41";
  EXPECT_EQ(last_url_line(), kUrlLine + address + encoded);
  meta = receiver_saw();
  ASSERT_TRUE(meta.IsObject());
  EXPECT_STREQ(meta["query"].GetString(), encoded.c_str());
  EXPECT_STREQ(meta["get"]["note"].GetString(), "caff\xc3\xa8 \"1\"");
  EXPECT_STREQ(meta["get"]["y"].GetString(), "A");
}

// A failed upload is logged; the reply stays the successful one and the WAV stays.
TEST_F(Commands, RecstopUploadFailureKeepsTheReply) {
  sip_server_ = "127.0.0.1:" + std::to_string(testing::FreeLoopbackPort());
  Send("/phone/", "Action=RECSTART");
  EXPECT_EQ(Send("/phone/", "Action=RECSTOP&recording_id=7"), reply::Simple("RECSTOP"));
  EXPECT_FALSE(server_.status.Record().Rec);
  EXPECT_EQ(server_.status.memoLogs().back(), "Errore nel post del file");
  EXPECT_EQ(testing::ReadWholeFile(temp_ + "/rec143005123.wav"), phone_.wav);
  const std::string query = "/velnaro/service/ds_phone/upload.php?Action=RECSTOP&recording_id=7";
  EXPECT_EQ(failed_, V{temp_ + "/rec143005123.wav http://" + sip_server_ + query});

  testing::PhpUploadServer php(500);
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  sip_server_ = php.host();
  EXPECT_EQ(Send("/phone/", "Action=RECSTOP&recording_id=7"), reply::Simple("RECSTOP"));
  EXPECT_EQ(server_.status.memoLogs().back(), "Errore nel post del file");
  EXPECT_EQ(failed_.size(), 2u);  // an error status is a failed upload too
}

// A saved recording that another program holds (a write lock) cannot be sent now: that
// is a failed post like any other, never a 500, and the file stays.
TEST_F(Commands, RecstopWhoseFileIsHeldIsAFailedPost) {
  const std::string path = temp_ + "/rec143005123.wav";
  std::ofstream(path) << "";
  const int holder = open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &lock), 0);
  Send("/phone/", "Action=RECSTART");
  EXPECT_EQ(Send("/phone/", "Action=RECSTOP&recording_id=7"), reply::Simple("RECSTOP"));
  EXPECT_EQ(status_, 200);
  EXPECT_FALSE(server_.status.Record().Rec);
  const auto log = server_.status.memoLogs();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(V(log.end() - 4, log.end()),
            (V{"phone/RECSTOP", kUploadLine + path,
               kUrlLine + "http://127.0.0.1:1/velnaro/service/ds_phone/upload.php?"
                          "Action=RECSTOP&recording_id=7",
               "Errore nel post del file"}));
  EXPECT_EQ(failed_.size(), 1u);  // sent again later, once no one holds it
  close(holder);
  EXPECT_EQ(testing::ReadWholeFile(path), phone_.wav);
}

}  // namespace
}  // namespace velnaro
