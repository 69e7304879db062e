// The commands over real HTTP against the phone controller on a fake SIP component: what
// one request writes goes together however requests and events interleave.

#include <gtest/gtest.h>

#include "commands_http_get.h"
#include "control/commands.h"
#include "control/http_endpoint.h"
#include "platform/message_box.h"
#include "support/control_service.h"
#include "support/fake_sip_user_agent.h"
#include "support/platform_fakes.h"
#include "telephony/frm_Telefono.h"

namespace velnaro {
namespace {

class CommandsOverHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditSIPProxy = "127.0.0.1"; });
    RegisterCommands(web_.interpreter.Commands(), {web_.status, web_.window, phone_});
    endpoint_.Start(0);
  }
  void TearDown() override { endpoint_.Stop(); }

  std::string Body(const std::string& target) {
    const testing::HttpReply r = testing::HttpGet(endpoint_.port(), target);
    EXPECT_EQ(r.status, 200) << target;
    return r.body;
  }
  StatusFields Status() { return web_.status.Record(); }

  testing::ControlService web_;
  FakeSipUserAgent agent_;
  FakeMessageBox messages_;
  TfrmTelefono phone_{agent_, web_.status, messages_};
  HttpEndpoint endpoint_{web_.interpreter};
};

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

}  // namespace
}  // namespace velnaro
