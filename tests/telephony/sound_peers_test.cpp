// The real SIP component on a sound server of the test's own (virtual headsets and
// microphones carrying distinct tones) against a real proxy and softphone: which device a
// call uses, told by the tone each side hears.

#include <gtest/gtest.h>

#include "real_peers.h"
#include "sip_test_support.h"
#include "sound_server.h"
#include "telephony/linphone_sip_user_agent.h"

namespace velnaro {
namespace {

using velnaro::testing::WaitUntil;

const test::SipAccount kOperator{"1001", "secret1001"};
const test::SipAccount kCustomer{"1002", "secret1002"};
constexpr int kCustomerTone = 1000;
constexpr int kDeskMicTone = 500, kHeadsetMicTone = 1600;

class SoundWithRealPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velnaro-sound-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    sound_ = std::make_unique<test::SoundServer>(dir_);
    ASSERT_TRUE(sound_->ok()) << sound_->Pactl("info");
    proxy_ = std::make_unique<test::SipProxy>(dir_, std::vector{kOperator, kCustomer});
    customer_ = std::make_unique<test::Softphone>(dir_, *proxy_, kCustomer, kCustomerTone);
    ASSERT_TRUE(customer_->WaitRegistered()) << customer_->Log();
  }
  void TearDown() override {
    agent_.reset(), customer_.reset(), proxy_.reset(), sound_.reset();
    std::error_code ec;
    if (!HasFailure()) std::filesystem::remove_all(dir_, ec);
  }

  // The agent (made on the first call) initialised on free ports: its last-error code.
  int Start(const std::string& sound_device = "default") {
    if (!agent_) {
      agent_ = MakeLinphoneSipUserAgent({.state_dir = dir_ + "/state", .sound_device = sound_device});
      log_.SetAgent(agent_.get());
      agent_->SetEventSink(&log_);
    }
    const std::string host = proxy_->host();
    if (!agent_->Initialize(false, "127.0.0.1", test::FreePortPair(),
                            "1001 <sip:1001@" + host + ">", "", host, kOperator.user,
                            kOperator.password, true, 7))
      return agent_->LastError();
    EXPECT_TRUE(agent_->OpenLine(0, false, "127.0.0.1", test::FreePortPair()));
    EXPECT_TRUE(agent_->Register(3600));
    EXPECT_TRUE(log_.WaitFor("SuccessToRegister"));
    return 0;
  }
  void CallCustomer() {
    const int before = customer_->Count("CALL_ESTABLISHED");
    ASSERT_TRUE(agent_->PlaceCall(0, customer_->uri(), 0, 0)) << agent_->LastError();
    ASSERT_TRUE(WaitUntil([&] { return customer_->Count("CALL_ESTABLISHED") > before; }))
        << customer_->Dump();
  }
  // Whether the call has the microphone saying `mic_tone` and plays on `speaker`.
  bool Uses(const std::string& speaker, int mic_tone) {
    return customer_->Hears(mic_tone) > 0.5 && sound_->Heard(speaker, kCustomerTone) > 0.5;
  }
  void AddDesk() {
    sound_->AddSpeaker("Desk-Speaker");
    sound_->AddMicrophone("Desk-Mic", kDeskMicTone);
  }

  std::string dir_;
  std::unique_ptr<test::SoundServer> sound_;
  std::unique_ptr<test::SipProxy> proxy_;
  std::unique_ptr<test::Softphone> customer_;
  std::unique_ptr<LinphoneSipUserAgent> agent_;
  test::EventLog log_;
};

// The desktop's default, at the call's start and when it changes during the call.
TEST_F(SoundWithRealPeers, CallsFollowTheDesktopsDefault) {
  AddDesk();
  sound_->AddMicrophone("Headset-Mic", kHeadsetMicTone);
  sound_->AddSpeaker("Headset");
  sound_->SetDefaultMicrophone("Headset-Mic");
  sound_->SetDefaultSpeaker("Headset");
  ASSERT_EQ(Start(), 0);
  CallCustomer();
  EXPECT_TRUE(Uses("Headset", kHeadsetMicTone));
  sound_->SetDefaultMicrophone("Desk-Mic");
  sound_->SetDefaultSpeaker("Desk-Speaker");
  EXPECT_TRUE(Uses("Desk-Speaker", kDeskMicTone));
}

// The pinned headset is plugged in mid-call and wins, then pulled out: the call falls back.
// Plugged in again between calls, the next call has it.
TEST_F(SoundWithRealPeers, ThePinnedHeadsetWinsWhilePresent) {
  AddDesk();
  ASSERT_EQ(Start("jabra"), 0);
  CallCustomer();
  EXPECT_TRUE(Uses("Desk-Speaker", kDeskMicTone));
  sound_->AddSpeaker("Jabra-Headset");
  sound_->AddMicrophone("Jabra-Mic", kHeadsetMicTone);
  EXPECT_TRUE(Uses("Jabra-Headset", kHeadsetMicTone));
  sound_->Remove("Jabra-Mic");
  sound_->Remove("Jabra-Headset");
  EXPECT_TRUE(Uses("Desk-Speaker", kDeskMicTone));
  ASSERT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0"));
  sound_->AddSpeaker("Jabra-Headset");
  sound_->AddMicrophone("Jabra-Mic", kHeadsetMicTone);
  CallCustomer();
  EXPECT_TRUE(Uses("Jabra-Headset", kHeadsetMicTone));
}

// While the far end rings without early media the operator hears a ringback tone.
TEST_F(SoundWithRealPeers, TheOperatorHearsRingbackWhileTheCustomerRings) {
  customer_ = std::make_unique<test::Softphone>(dir_, *proxy_, kCustomer, kCustomerTone, false);
  ASSERT_TRUE(customer_->WaitRegistered()) << customer_->Log();
  AddDesk();
  ASSERT_EQ(Start(), 0);
  ASSERT_TRUE(agent_->PlaceCall(0, customer_->uri(), 0, 0)) << agent_->LastError();
  ASSERT_TRUE(customer_->WaitFor("CALL_INCOMING")) << customer_->Dump();
  EXPECT_GT(sound_->Heard("Desk-Speaker", 425, 2500), 0.5);
}

// No sound server yet, then no microphone: not online (14) until one appears. With every
// device gone mid-call the call ends after the grace; the next caller is turned away. A
// restarted server is found again; restarted during a call, the call ends after the grace
// and the next has sound both ways.
TEST_F(SoundWithRealPeers, WithoutDevicesThereIsNoSilentCall) {
  sound_.reset();
  sound_ = std::make_unique<test::SoundServer>(dir_ + "/late", false);  // after the agent
  EXPECT_EQ(Start(), sip_error::kInputDevice);
  sound_->Start();
  sound_->AddSpeaker("Desk-Speaker");
  EXPECT_FALSE(agent_->SoundReady());
  sound_->AddMicrophone("Desk-Mic", kDeskMicTone);
  EXPECT_TRUE(WaitUntil([&] { return agent_->SoundReady(); }, 5000));
  ASSERT_EQ(Start(), 0);
  CallCustomer();
  EXPECT_GT(customer_->Hears(kDeskMicTone), 0.5);

  sound_->Remove("Desk-Mic");
  sound_->Remove("Desk-Speaker");
  EXPECT_FALSE(log_.WaitFor("Disconnect 0", 8000));
  EXPECT_TRUE(log_.WaitFor("Disconnect 0", 6000));
  customer_->Command("dial", "sip:" + kOperator.user + "@" + proxy_->host());
  EXPECT_TRUE(WaitUntil([&] { return proxy_->TraceText().find("SIP/2.0 480") != std::string::npos; }));
  EXPECT_TRUE(log_.Find("IncomingCall").empty());
  sound_->Restart();
  AddDesk();
  EXPECT_TRUE(WaitUntil([&] { return agent_->SoundReady(); }, 10000));
  CallCustomer();
  EXPECT_GT(customer_->Hears(kDeskMicTone), 0.5);
  log_.Clear();
  sound_->Restart();  // during the call, whose streams cannot follow: it ends cleanly
  AddDesk();
  EXPECT_TRUE(log_.WaitFor("Disconnect 0", 15000));
  CallCustomer();
  EXPECT_TRUE(Uses("Desk-Speaker", kDeskMicTone));
}

}  // namespace
}  // namespace velnaro
