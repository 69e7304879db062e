// The commands end to end: HTTP, the phone controller, the real SIP component, and sipp
// as registrar and answering far end (with an RTP peer that plays a tone and reads DTMF).

#include <gtest/gtest.h>

#include <functional>

#include "../telephony/sip_test_support.h"
#include "commands_http_get.h"
#include "control/commands.h"
#include "control/event_streams.h"
#include "control/http_endpoint.h"
#include "control/reply.h"
#include "control/web_server.h"
#include "platform/message_box.h"
#include "platform/screen_capture.h"
#include "support/control_service.h"
#include "support/event_stream_client.h"
#include "support/platform_fakes.h"
#include "support/wire_fields.h"
#include "telephony/frm_Telefono.h"
#include "telephony/linphone_sip_user_agent.h"
#include "upload_servers.h"

namespace velnaro {
namespace {

using velnaro::testing::WaitUntil;

std::vector<std::string> Invites(const std::string& messages) {
  std::vector<std::string> out;
  size_t p = 0;
  while ((p = messages.find("\nINVITE sip:", p)) != std::string::npos) {
    const size_t end = messages.find("\n----", p);
    out.push_back(messages.substr(p, end == std::string::npos ? std::string::npos : end - p));
    ++p;
  }
  return out;
}

class CommandsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!php_.ok()) GTEST_SKIP() << "php -S not available";
    dir_ = (std::filesystem::temp_directory_path() /
            ("velnaro-cmd-e2e-" + std::to_string(::getpid())))
               .string();
    std::filesystem::create_directories(dir_);
    setenv("TEMP", dir_.c_str(), 1);
    sipp_port_ = test::FreePortPair();
    peer_port_ = test::FreePortPair();
    sipp_ = std::make_unique<test::Sipp>(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
    peer_ = std::make_unique<test::RtpPeer>(peer_port_, 1000);  // the far end says 1000 Hz
    LinphoneAgentOptions o;
    o.state_dir = dir_ + "/state";
    o.force_virtual_sound = true;
    agent_ = MakeLinphoneSipUserAgent(o);
    phone_ = std::make_unique<TfrmTelefono>(*agent_, web_.status, box_);
    phone_->UpdateSettings([&](TfrmTelefono::Settings& s) {
      s.EditLoginId = "1001";
      s.EditLoginPwd = "secret1001";
      s.EditSIPProxy = "127.0.0.1:" + std::to_string(sipp_port_);
      s.EditDisplayName = "1001";
      s.txtIPVPN = "127.0.0.1";
    });
    RegisterCommands(web_.interpreter.Commands(), {web_.status, web_.window, *phone_},
                     {[this] { return php_.host(); }, &capture_, nullptr});
    events_ = std::make_unique<EventStreams>(web_.status);
    EndpointOptions options;
    options.events = events_.get();
    endpoint_ = std::make_unique<HttpEndpoint>(web_.interpreter, options);
    endpoint_->Start(0);
    port_ = endpoint_->port();
    phone_->AttivaTelefono();
    ASSERT_TRUE(WaitUntil([&] { return web_.status.Record().Stato == LineState::kOnline; }))
        << web_.status.Record().Stato;
    peer_->SendTo(phone_->MediaPort(0));
  }
  void TearDown() override {
    if (endpoint_) endpoint_->Stop();
    if (phone_) phone_->DisattivaTelefono();
    phone_.reset();
    agent_.reset();
    sipp_.reset();
    peer_.reset();
    unsetenv("TEMP");
    std::error_code ec;
    if (!dir_.empty() && !HasFailure()) std::filesystem::remove_all(dir_, ec);
  }

  std::string Send(const std::string& target) { return testing::HttpGet(port_, target).body; }
  void Call() {
    ASSERT_EQ(Send("/phone/?Action=CALL&Prefix=&Number=2000"), reply::Call("", "2000"));
    ASSERT_TRUE(WaitUntil([&] {
      return web_.status.Record().ChiamataStato == CallState::kAnswered;
    })) << web_.status.Record().ChiamataStato;
  }
  // Share of the operator's tone in what the far end hears over the next second.
  double OperatorHeard() {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peer_->ClearReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    return test::ToneShare(peer_->Received(), 8000, 2200);
  }

  testing::PhpUploadServer php_;
  std::string dir_;
  int sipp_port_ = 0, peer_port_ = 0;
  std::unique_ptr<test::Sipp> sipp_;
  std::unique_ptr<test::RtpPeer> peer_;
  test::TestSound sound_{2200};  // the operator says 2200 Hz
  std::unique_ptr<LinphoneSipUserAgent> agent_;
  testing::ControlService web_;
  FakeMessageBox box_;
  FakeScreenCapture capture_;
  std::unique_ptr<TfrmTelefono> phone_;
  std::unique_ptr<EventStreams> events_;
  std::unique_ptr<HttpEndpoint> endpoint_;
  uint16_t port_ = 0;
};

TEST_F(CommandsEndToEnd, CallDtmfHoldMuteAndARecordingThatIsUploaded) {
  Call();
  EXPECT_NE(Invites(sipp_->Messages()).at(0).find("INVITE sip:2000@127.0.0.1"),
            std::string::npos);
  EXPECT_EQ(Send("/phone/?Action=RECSTART"), reply::Simple("RECSTART"));

  // DTMF: RFC 2833 events at the far end.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Send("/phone/?Action=DTMF&Number=123%23"), reply::Dtmf("123#"));
  EXPECT_TRUE(WaitUntil([&] { return peer_->Digits().size() >= 4; }, 5000));
  EXPECT_EQ(peer_->Digits(), "123#");

  // MUTE: the far end stops hearing the operator; UNMUTE: it hears them again.
  EXPECT_GT(OperatorHeard(), 0.15);
  EXPECT_EQ(Send("/phone/?Action=MUTE"), reply::Simple("MUTE"));
  EXPECT_LT(OperatorHeard(), 0.05);
  EXPECT_TRUE(web_.status.Record().Mute);
  EXPECT_EQ(Send("/phone/?Action=UNMUTE"), reply::Simple("UNMUTE"));
  EXPECT_GT(OperatorHeard(), 0.15);

  // HOLD / UNHOLD: two re-INVITEs, the first sendonly.
  EXPECT_EQ(Send("/phone/?Action=HOLD"), reply::Simple("HOLD"));
  EXPECT_TRUE(web_.status.Record().Hold);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(Send("/phone/?Action=UNHOLD"), reply::Simple("UNHOLD"));
  EXPECT_FALSE(web_.status.Record().Hold);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const auto invites = Invites(sipp_->Messages());
  ASSERT_GE(invites.size(), 3u);
  EXPECT_NE(invites[1].find("a=sendonly"), std::string::npos);
  EXPECT_EQ(invites[2].find("a=sendonly"), std::string::npos);

  // RECSTOP: a WAV with the call's audio, uploaded before the reply.
  EXPECT_EQ(Send("/phone/?Action=RECSTOP&recording_id=226"), reply::Simple("RECSTOP"));
  EXPECT_FALSE(web_.status.Record().Rec);
  const auto uploads = php_.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const std::string sent = testing::ReadWholeFile(uploads[0] + "/Allegato");
  const std::string path = web_.window.txtFileName();
  EXPECT_EQ(testing::ReadWholeFile(path), sent);
  test::Wav wav;
  ASSERT_TRUE(test::ReadWav(path, &wav));
  EXPECT_GE(wav.samples.size(), static_cast<size_t>(wav.rate) * 3);
  EXPECT_GT(test::ToneShare(wav.samples, wav.rate, 1000), 0.15) << "far end in the recording";
  EXPECT_EQ(web_.status.memoLogs().back(), "Upload OK: " + std::to_string(sent.size()) + " bytes");

  // HANGUP: idle again, the flags cleared.
  EXPECT_EQ(Send("/phone/?Action=HANGUP"), reply::Simple("HANGUP"));
  EXPECT_TRUE(WaitUntil([&] { return web_.status.Record().Stato == LineState::kIdle; }));
  EXPECT_TRUE(box_.Shown().empty()) << box_.Shown().front();
}

// What a page holding the event stream learns of a call: each step as it happens, in
// order, each event the text GETSTATUS gives at that moment.
TEST_F(CommandsEndToEnd, TheEventStreamTellsEachStepOfACall) {
  testing::EventStreamClient stream(port_);
  ASSERT_EQ(stream.Head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  Call();
  EXPECT_EQ(Send("/phone/?Action=HOLD"), reply::Simple("HOLD"));
  EXPECT_EQ(Send("/phone/?Action=HANGUP"), reply::Simple("HANGUP"));
  ASSERT_TRUE(WaitUntil([&] { return web_.status.Record().Stato == LineState::kIdle; }));

  std::vector<StatusFields> seen;
  std::string trace;
  uint64_t last_id = 0;
  while (auto event = stream.Next(std::chrono::seconds(5))) {
    using W = testing::WireFields;
    W w;
    for (auto [key, field] : {std::pair{"Stato", &W::Stato},
                              {"ChiamataStato", &W::ChiamataStato},
                              {"ChiamataPrefix", &W::ChiamataPrefix},
                              {"ChiamataNumero", &W::ChiamataNumero},
                              {"Rec", &W::Rec},
                              {"Hold", &W::Hold},
                              {"Mute", &W::Mute}}) {
      w.*field = testing::Field(event->data, key);
    }
    const StatusFields f = testing::FromWire(w);
    EXPECT_EQ(event->data, reply::Status(f));
    const uint64_t id = std::stoull(event->id);
    EXPECT_TRUE(last_id == 0 || id == last_id + 1) << last_id << " then " << id;
    last_id = id;
    seen.push_back(f);
    trace += w.Stato + "/" + w.ChiamataStato + "/" + w.ChiamataNumero + "/hold=" + w.Hold + "\n";
    if (f.Stato == LineState::kIdle) break;
  }
  // The steps, in this order; the component may add steps of its own between them.
  const std::vector<std::function<bool(const StatusFields&)>> steps{
      [](const StatusFields& f) { return f.Stato == LineState::kOnline; },
      [](const StatusFields& f) {
        return f.Stato == LineState::kInCall && f.ChiamataStato == CallState::kCallOut &&
               f.ChiamataNumero == "2000";
      },
      [](const StatusFields& f) { return f.ChiamataStato == CallState::kAnswered && !f.Hold; },
      [](const StatusFields& f) { return f.Stato == LineState::kInCall && f.Hold; },
      [](const StatusFields& f) {
        return f.Stato == LineState::kIdle && f.ChiamataStato == CallState::kHangUp && !f.Hold;
      }};
  size_t step = 0;
  for (const StatusFields& f : seen) {
    if (step < steps.size() && steps[step](f)) ++step;
  }
  EXPECT_EQ(step, steps.size()) << trace;
  EXPECT_TRUE(steps.front()(seen.front())) << trace;  // the record as it stood, at once
}

// A call that ends muted leaves the microphone open for the next one (the unmute on IDLE
// reaches a call that has just ended).
TEST_F(CommandsEndToEnd, ACallThatEndsMutedLeavesTheMicrophoneOpen) {
  Call();
  EXPECT_EQ(Send("/phone/?Action=MUTE"), reply::Simple("MUTE"));
  EXPECT_LT(OperatorHeard(), 0.05);
  EXPECT_EQ(Send("/phone/?Action=HANGUP"), reply::Simple("HANGUP"));
  ASSERT_TRUE(WaitUntil([&] { return web_.status.Record().Stato == LineState::kIdle; }));
  EXPECT_FALSE(web_.status.Record().Mute);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Call();
  EXPECT_GT(OperatorHeard(), 0.15);
  Send("/phone/?Action=HANGUP");
}

}  // namespace
}  // namespace velnaro
