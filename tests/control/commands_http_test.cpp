// The commands over real HTTP against the phone controller on a fake SIP component.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "commands_http_get.h"
#include "control/commands.h"
#include "control/http_endpoint.h"
#include "control/reply.h"
#include "control/web_server.h"
#include "platform/message_box.h"
#include "platform/screen_capture.h"
#include "support/control_service.h"
#include "support/fake_sip_user_agent.h"
#include "support/platform_fakes.h"
#include "telephony/frm_Telefono.h"
#include "upload_servers.h"

namespace velnaro {
namespace {

using Args = std::vector<std::string>;

using testing::HttpGet;
using testing::HttpReply;

bool Logged(const testing::ControlService& web, const std::string& line) {
  const auto log = web.status.memoLogs();
  return std::find(log.begin(), log.end(), line) != log.end();
}

class CommandsOverHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-http-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    temp_ = tmpl;
    setenv("TEMP", temp_.c_str(), 1);
    phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditSIPProxy = "127.0.0.1"; });
    capture_.SetImage(RgbImage{32, 16, std::vector<uint8_t>(32 * 16 * 3, 200)});
    RegisterCommands(web_.interpreter.Commands(), {web_.status, web_.window, phone_},
                     {[this] { return sip_server_; }, &capture_, &clock_});
    endpoint_.Start(0);
    port_ = endpoint_.port();
  }
  void TearDown() override {
    endpoint_.Stop();
    (void)std::system(("rm -rf '" + temp_ + "'").c_str());
    unsetenv("TEMP");
  }

  std::string Body(const std::string& target) {
    const HttpReply r = HttpGet(port_, target);
    EXPECT_EQ(r.status, 200) << target;
    return r.body;
  }
  reply::StatusFields Status() { return web_.status.Record(); }

  std::string temp_;
  std::string sip_server_;
  testing::ControlService web_;
  FakeSipUserAgent agent_;
  FakeMessageBox messages_;
  TfrmTelefono phone_{agent_, web_.status, messages_};
  FakeScreenCapture capture_;
  FakeClock clock_{{2026, 12, 8, 9, 15, 0, 42}};
  HttpEndpoint endpoint_{web_.interpreter};
  uint16_t port_ = 0;
};

TEST_F(CommandsOverHttp, HangUpAndHoldRepliesAndLineOperations) {
  const std::string hangup = Body("/phone/?Action=HANGUP");
  EXPECT_EQ(hangup, reply::Simple("HANGUP"));
  EXPECT_EQ(hangup.size(), 96u);
  EXPECT_EQ(agent_.Ops(sip_op::kEndCall).size(), 1u);
  EXPECT_TRUE(Logged(web_, "phone/HANGUP"));

  // Idle: nothing is put on hold, the flag says "1" all the same.
  EXPECT_EQ(Body("/phone/?Action=HOLD"), reply::Simple("HOLD"));
  EXPECT_TRUE(agent_.Ops(sip_op::kHold).empty());
  EXPECT_TRUE(Status().Hold);
  agent_.SetInCall(0, true);
  Body("/phone/?Action=HOLD");
  EXPECT_EQ(agent_.Ops(sip_op::kHold).size(), 1u);
  agent_.SetOnHold(0, true);
  EXPECT_EQ(Body("/phone/?Action=UNHOLD"), reply::Simple("UNHOLD"));
  EXPECT_EQ(agent_.Ops(sip_op::kUnhold).size(), 1u);
  EXPECT_FALSE(Status().Hold);
}

TEST_F(CommandsOverHttp, CallDialsPrefixAndNumberAtTheSipServer) {
  EXPECT_EQ(Body("/phone/?Action=CALL&Prefix=0&Number=55"), reply::Call("0", "55"));
  EXPECT_EQ(phone_.GetSettings().txtNumero, "055");
  const auto dials = agent_.Ops(sip_op::kPlaceCall);
  ASSERT_EQ(dials.size(), 1u);
  EXPECT_EQ(dials[0].args[0], "0");
  EXPECT_EQ(dials[0].args[1], "sip:055@127.0.0.1");
  const auto s = Status();
  EXPECT_EQ(s.Stato, LineState::kInCall);
  EXPECT_EQ(s.ChiamataStato, CallState::kCallOut);
  EXPECT_EQ(s.ChiamataPrefix, "0");
  EXPECT_EQ(s.ChiamataNumero, "55");
  EXPECT_TRUE(Logged(web_, "phone/CALL: 0 55"));

  // Neither value: the reply still says CALLING (150 characters); the controller refuses
  // the empty number itself.
  const std::string empty = Body("/phone/?Action=CALL");
  EXPECT_EQ(empty.size(), 150u);
  EXPECT_EQ(Status().Stato, LineState::kInCall);
  EXPECT_EQ(Status().ChiamataNumero, "55");
}

TEST_F(CommandsOverHttp, DtmfGoesToLine1) {
  EXPECT_EQ(Body("/phone/?Action=DTMF&Number=12"), reply::Dtmf("12"));
  const auto dtmf = agent_.Ops(sip_op::kSendDtmf);
  ASSERT_EQ(dtmf.size(), 1u);
  EXPECT_EQ(dtmf[0].args, (Args{"0", "12"}));
  EXPECT_TRUE(Logged(web_, "phone/DTMF/12"));
}

// The flag as specified, and the microphone with it, until line 1 is idle again.
TEST_F(CommandsOverHttp, MuteSilencesTheMicrophoneUntilHangUp) {
  EXPECT_EQ(Body("/phone/?Action=MUTE"), reply::Simple("MUTE"));
  EXPECT_NE(Body("/phone/?Action=GETSTATUS").find("\"Mute\": \"1\""), std::string::npos);
  auto mutes = agent_.Ops(FakeSipUserAgent::kMuteOp);
  ASSERT_EQ(mutes.size(), 1u);
  EXPECT_EQ(mutes[0].args, (Args{"0", "1"}));

  agent_.ClearOps();
  Body("/phone/?Action=HANGUP");
  EXPECT_FALSE(Status().Mute);
  const auto ids = agent_.OpIds();
  // The hang-up, then the idle action: off hold only when on hold, then the microphone.
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.back(), FakeSipUserAgent::kMuteOp);
  EXPECT_EQ(agent_.Ops(FakeSipUserAgent::kMuteOp)[0].args, (Args{"0", "0"}));
  EXPECT_FALSE(agent_.Ops(sip_op::kIsLineOnHold).empty());
}

// Each request below is held up on its way to the phone while another one (or the end of
// the call) goes through whole: what each wrote must still go together.
TEST_F(CommandsOverHttp, TwoCallsAtOnceEachDialTheirOwnNumber) {
  agent_.BeforeNextInvoke([&] { Body("/phone/?Action=CALL&Number=22"); });
  Body("/phone/?Action=CALL&Number=11");
  const auto dials = agent_.Ops(sip_op::kPlaceCall);
  ASSERT_EQ(dials.size(), 2u);
  EXPECT_EQ(dials[0].args[1], "sip:22@127.0.0.1");
  EXPECT_EQ(dials[1].args[1], "sip:11@127.0.0.1");
  EXPECT_EQ(Status().ChiamataNumero, "11");  // the call dialled last
}

TEST_F(CommandsOverHttp, TheMuteFlagAndTheMicrophoneNeverDisagree) {
  // Line 1's microphone as last set: "1" muted.
  auto microphone = [&] {
    const auto mutes = agent_.Ops(FakeSipUserAgent::kMuteOp);
    return mutes.empty() ? std::string("0") : mutes.back().args[1];
  };
  agent_.BeforeNextInvoke([&] { Body("/phone/?Action=MUTE"); });
  Body("/phone/?Action=UNMUTE");
  EXPECT_FALSE(Status().Mute);
  EXPECT_EQ(microphone(), "0");

  // The far end hangs up just before a MUTE reaches the phone: the MUTE still holds.
  agent_.BeforeNextInvoke(
      [&] { agent_.Raise([](SipUserAgentEvents& e) { e.OnDisconnectCall(0); }); });
  Body("/phone/?Action=MUTE");
  EXPECT_EQ(Status().Stato, LineState::kIdle);
  EXPECT_TRUE(Status().Mute);
  EXPECT_EQ(microphone(), "1");
}

TEST_F(CommandsOverHttp, RecordingStartAndAFailedSave) {
  EXPECT_EQ(Body("/phone/?Action=RECSTART"), reply::Simple("RECSTART"));
  EXPECT_EQ(agent_.Ops(sip_op::kRecordStart)[0].args, Args{"0"});
  EXPECT_EQ(agent_.Ops(sip_op::kRecordMode)[0].args, (Args{"0", "2", "1"}));
  EXPECT_TRUE(Status().Rec);

  agent_.SetResult(sip_op::kRecordSave, false, sip_error::kWriteWave);
  const std::string failed = Body("/phone/?Action=RECSTOP&recording_id=226");
  EXPECT_EQ(failed, reply::SaveError());
  EXPECT_EQ(failed.size(), 108u);
  EXPECT_TRUE(Status().Rec);
  EXPECT_TRUE(
      Logged(web_, "phone/RECSTOP - Errore di salvataggio: " + temp_ + "/rec091500042.wav"));
}

TEST_F(CommandsOverHttp, RecstopReplyComesAfterTheUpload) {
  testing::PhpUploadServer php;
  if (!php.ok()) GTEST_SKIP() << "php -S not available";
  sip_server_ = php.host();
  const std::string wav = "RIFF....WAVEfmt recorded call";
  agent_.SetScript(sip_op::kRecordSave, [&](const FakeSipUserAgent::Op& op) {
    std::ofstream(op.args[1], std::ios::binary) << wav;
    return FakeSipUserAgent::Result{};
  });
  Body("/phone/?Action=RECSTART");
  EXPECT_EQ(Body("/phone/?Action=RECSTOP&recording_id=226"), reply::Simple("RECSTOP"));
  // By the time the reply is here, the receiver has the file.
  const auto uploads = php.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(testing::ReadWholeFile(uploads[0] + "/Allegato"), wav);
  EXPECT_NE(testing::ReadWholeFile(uploads[0] + "/meta.json")
                .find("\"query\": \"Action=RECSTOP&recording_id=226\""),
            std::string::npos);
  EXPECT_FALSE(Status().Rec);
  EXPECT_EQ(web_.status.memoLogs().back(), "Upload OK: " + std::to_string(wav.size()) + " bytes");
}

TEST_F(CommandsOverHttp, ScreenshotOnlyUnderSystemAndFailuresAre500) {
  const std::string shot = Body("/system/?Action=SCREENSHOT");
  EXPECT_EQ(shot, reply::Simple("SCREENSHOT"));
  EXPECT_EQ(shot.size(), 100u);
  EXPECT_TRUE(Logged(web_, "system/SCREENSHOT: " + temp_ + "/img091500042.jpg"));
  EXPECT_EQ(Body("/phone/?Action=SCREENSHOT"), reply::NotRecognised());

  capture_.SetError("Cannot open the X display \":99\"");
  const HttpReply failed = HttpGet(port_, "/system/?Action=SCREENSHOT");
  EXPECT_EQ(failed.status, 500);
  EXPECT_NE(failed.body.find("Cannot open the X display \":99\""), std::string::npos);
}

}  // namespace
}  // namespace velnaro
