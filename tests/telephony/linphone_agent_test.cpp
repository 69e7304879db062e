// The real SIP component against sipp on 127.0.0.1, with the agent's virtual sound card.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/message_box.h"
#include "sip_test_support.h"
#include "support/platform_fakes.h"
#include "telephony/frm_Telefono.h"
#include "telephony/linphone_session.h"
#include "telephony/linphone_sip_user_agent.h"

namespace velnaro {
namespace {

using test::EventLog;
using test::FreePortPair;
using test::RtpPeer;
using test::Sipp;

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (std::filesystem::temp_directory_path() /
            ("velnaro-agent-test-" + std::to_string(::getpid())))
               .string();
    std::filesystem::create_directories(dir_);
    sipp_port_ = FreePortPair();
    agent_port_ = FreePortPair();
    line0_ = FreePortPair();
    line1_ = FreePortPair();
    peer_port_ = FreePortPair();
    LinphoneAgentOptions o;
    o.state_dir = dir_ + "/state";
    o.force_virtual_sound = true;
    agent_ = MakeLinphoneSipUserAgent(o);
    log_.SetAgent(agent_.get());
    agent_->SetEventSink(&log_);
  }
  void TearDown() override {
    agent_.reset();
    std::error_code ec;
    if (!HasFailure()) std::filesystem::remove_all(dir_, ec);
  }

  std::string Proxy() const { return "127.0.0.1:" + std::to_string(sipp_port_); }
  std::string Target(const std::string& user, int port = 0) const {
    return "sip:" + user + "@127.0.0.1:" + std::to_string(port ? port : sipp_port_);
  }

  void Online(bool do_register, const std::string& password = "secret1001") {
    ASSERT_TRUE(agent_->Initialize(false, "127.0.0.1", agent_port_,
                                   "1001 <sip:1001@" + Proxy() + ">", "", Proxy(), "1001",
                                   password, true, 7))
        << agent_->LastError();
    ASSERT_TRUE(agent_->OpenLine(0, false, "127.0.0.1", line0_));
    ASSERT_TRUE(agent_->OpenLine(1, false, "127.0.0.1", line1_));
    if (do_register) {
      ASSERT_TRUE(agent_->Register(3600));
    }
  }

  void Registered() {
    Online(true);
    ASSERT_TRUE(log_.WaitFor("SuccessToRegister")) << Dump();
  }

  // The far ends of both lines: sipp answers calls to 2000 (line 1; media from `a`, saying
  // 600 Hz) and to 800 (line 2; media from `b`, saying 1400 Hz).
  struct FarEnds {
    explicit FarEnds(AgentTest& t, int peer_b = FreePortPair())
        : sipp(t.dir_, "registrar_uas.xml", t.sipp_port_, t.peer_port_, {}, peer_b),
          a(t.peer_port_, 600),
          b(peer_b, 1400) {
      a.SendTo(t.line0_);
      b.SendTo(t.line1_);
    }
    Sipp sipp;
    RtpPeer a, b;
  };

  // Places a call on the line; true once the far end has answered.
  bool Answered(int line, const std::string& user) {
    return agent_->PlaceCall(line, Target(user), 0, 0) &&
           log_.WaitFor("SuccessToConnect " + std::to_string(line));
  }

  std::string Dump() const {
    std::string s;
    for (auto& e : log_.Events()) s += e + "\n";
    return s;
  }

  // Bodies of the INVITE requests sipp received, in order.
  static std::vector<std::string> Invites(const std::string& messages) {
    std::vector<std::string> out;
    size_t p = 0;
    while ((p = messages.find("\nINVITE sip:", p)) != std::string::npos) {
      size_t end = messages.find("\n----", p);
      out.push_back(messages.substr(p, end == std::string::npos ? std::string::npos : end - p));
      ++p;
    }
    return out;
  }

  std::string dir_;
  int sipp_port_ = 0, agent_port_ = 0, line0_ = 0, line1_ = 0, peer_port_ = 0;
  test::TestSound sound_;  // outlives the agent
  std::unique_ptr<LinphoneSipUserAgent> agent_;
  EventLog log_;
};

TEST_F(AgentTest, RegistersAfterDigestChallengeAndUnregistersOnShutdown) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Registered();
  auto ev = log_.Events();
  ASSERT_GE(ev.size(), 2u);
  EXPECT_EQ(ev.front(), "TryingToRegister");
  EXPECT_EQ(agent_->LocalIp(), "127.0.0.1");
  agent_->Shutdown();
  EXPECT_TRUE(log_.WaitFor("SuccessToUnRegister", 5000)) << Dump();
  ev = log_.Events();
  ASSERT_GE(ev.size(), 2u);
  EXPECT_EQ(ev[ev.size() - 2], "TryingToUnRegister");
  const std::string m = sipp.Messages();
  EXPECT_NE(m.find("401 Unauthorized"), std::string::npos);
  const size_t auth = m.find("\nAuthorization:");
  ASSERT_NE(auth, std::string::npos);
  EXPECT_NE(m.substr(auth, m.find('\n', auth + 1) - auth).find("response=\""), std::string::npos);
  EXPECT_NE(m.find("Expires: 0"), std::string::npos);
  EXPECT_NE(m.find("username=\"1001\""), std::string::npos);
  EXPECT_EQ(log_.off_thread(), 0);
  // Only loopback was used.
  EXPECT_EQ(m.find("Via: SIP/2.0/UDP 1"), m.find("Via: SIP/2.0/UDP 127."));
  // Operations after shutdown report "not online".
  EXPECT_FALSE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  EXPECT_EQ(agent_->LastError(), sip_error::kNotOnline);
}

TEST_F(AgentTest, IdentificationTextGoesOutAsGiven) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Online(false);
  ASSERT_TRUE(agent_->SetUserAgentText("Velnaro.DS 4.00.002"));
  ASSERT_TRUE(agent_->Register(3600));
  ASSERT_TRUE(log_.WaitFor("SuccessToRegister")) << Dump();
  const std::string m = sipp.Messages();
  const size_t at = m.find("\nUser-Agent:");
  ASSERT_NE(at, std::string::npos) << m;
  EXPECT_EQ(m.substr(at + 1, m.find_first_of("\r\n", at + 1) - at - 1),
            "User-Agent: Velnaro.DS 4.00.002");
}

TEST_F(AgentTest, BusyPortsAndBadArgumentsReportTheirCodes) {
  agent_->SetProxyHint("127.0.0.9:5060");
  EXPECT_EQ(agent_->LocalIp(), "127.0.0.1");  // the route to the proxy, nothing sent
  EXPECT_FALSE(agent_->OpenLine(0, false, "127.0.0.1", line0_));
  EXPECT_EQ(agent_->LastError(), sip_error::kNotOnline);
  {
    test::BoundUdp busy(agent_port_);
    EXPECT_FALSE(agent_->Initialize(false, "127.0.0.1", agent_port_, "a <sip:a@127.0.0.1>", "",
                                    "127.0.0.1", "a", "b", true, 7));
    EXPECT_EQ(agent_->LastError(), sip_error::kPortInUse);
  }
  ASSERT_TRUE(agent_->Initialize(false, "127.0.0.1", agent_port_, "a <sip:a@127.0.0.1>", "",
                                 "127.0.0.1", "a", "b", true, 7));
  {
    test::BoundUdp rtcp(line0_ + 1);  // the library would quietly move RTP elsewhere
    EXPECT_FALSE(agent_->OpenLine(0, false, "127.0.0.1", line0_));
    EXPECT_EQ(agent_->LastError(), sip_error::kPortInUse);
  }
  EXPECT_TRUE(agent_->OpenLine(0, false, "127.0.0.1", line0_));
  EXPECT_FALSE(agent_->OpenLine(1, false, "127.0.0.1", line0_));
  EXPECT_EQ(agent_->LastError(), sip_error::kPortInUse);
  EXPECT_FALSE(agent_->OpenLine(2, false, "127.0.0.1", line1_));
  EXPECT_EQ(agent_->LastError(), sip_error::kInvalidLine);
  EXPECT_FALSE(agent_->PlaceCall(1, Target("2000"), 0, 0));
  EXPECT_EQ(agent_->LastError(), sip_error::kLineNotOpen);
  EXPECT_FALSE(agent_->PlaceCall(0, "not a uri", 0, 0));
  EXPECT_EQ(agent_->LastError(), sip_error::kInvalidUri);
  EXPECT_FALSE(agent_->RecordStart(0));
  EXPECT_EQ(agent_->LastError(), sip_error::kNotInVoiceSession);
}

TEST_F(AgentTest, RegistrationRefreshesRaiseNothing) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Online(false);
  ASSERT_TRUE(agent_->Register(3));  // refreshed about every 2.7 s
  ASSERT_TRUE(log_.WaitFor("SuccessToRegister")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(6500));
  size_t registers = 0;
  const std::string m = sipp.Messages();
  for (size_t p = 0; (p = m.find("\nREGISTER sip:", p)) != std::string::npos; ++p) ++registers;
  EXPECT_GE(registers, 4u) << "the registration was refreshed";
  EXPECT_EQ(log_.Count("SuccessToRegister"), 1) << Dump();
  EXPECT_EQ(log_.Count("TryingToRegister"), 1) << Dump();
}

TEST_F(AgentTest, RefusedRegistrationIsReported) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Online(true, "wrong");
  EXPECT_TRUE(log_.WaitFor("FailToRegister")) << Dump();
  EXPECT_FALSE(log_.Has("SuccessToRegister"));
  EXPECT_NE(sipp.Messages().find("403 Forbidden"), std::string::npos);
}

TEST_F(AgentTest, OutgoingCallAnsweredAndEndedByUs) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Registered();
  EXPECT_FALSE(agent_->IsLineInCall(0));
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  EXPECT_TRUE(log_.Has("Connecting 0"));
  EXPECT_TRUE(agent_->IsLineInCall(0));
  EXPECT_FALSE(agent_->IsLineInCall(1));
  EXPECT_FALSE(agent_->IsLineOnHold(0));
  EXPECT_FALSE(agent_->PlaceCall(0, Target("2001"), 0, 0));
  EXPECT_EQ(agent_->LastError(), sip_error::kLineBusy);
  ASSERT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0")) << Dump();
  EXPECT_FALSE(agent_->IsLineInCall(0));
  EXPECT_FALSE(agent_->EndCall(0));
  EXPECT_EQ(agent_->LastError(), sip_error::kNotInVoiceSession);
  const auto invites = Invites(sipp.Messages());
  ASSERT_FALSE(invites.empty());
  EXPECT_NE(invites[0].find("m=audio " + std::to_string(line0_)), std::string::npos);
  EXPECT_NE(invites[0].find("INVITE sip:2000@127.0.0.1"), std::string::npos);
  EXPECT_EQ(invites[0].find("m=video"), std::string::npos) << "an audio phone";
}

TEST_F(AgentTest, OutgoingCallEndedByFarEnd) {
  Sipp sipp(dir_, "hangup_uas.xml", sipp_port_, peer_port_, {"-d", "500"});
  Registered();
  ASSERT_TRUE(agent_->PlaceCall(1, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
  ASSERT_TRUE(log_.WaitFor("Disconnect 1")) << Dump();
  EXPECT_FALSE(agent_->IsLineInCall(1));
  EXPECT_TRUE(log_.Find("GeneralFailure").empty());
}

TEST_F(AgentTest, BusyHereIsAGeneralFailureWithCodeAndPhrase) {
  Sipp sipp(dir_, "busy_uas.xml", sipp_port_, peer_port_);
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("GeneralFailure 0 486 Busy Here")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(log_.Has("Disconnect 0"));
  EXPECT_FALSE(log_.Has("FailToConnect 0"));
  EXPECT_FALSE(agent_->IsLineInCall(0));
}

TEST_F(AgentTest, CallToNobodyIsAFailureToConnect) {
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000", FreePortPair()), 0, 0));
  ASSERT_TRUE(log_.WaitFor("FailToConnect 0", 60000)) << Dump();
  EXPECT_TRUE(log_.Find("GeneralFailure").empty()) << Dump();
  EXPECT_FALSE(log_.Has("Disconnect 0"));
  EXPECT_FALSE(agent_->IsLineInCall(0));
}

TEST_F(AgentTest, HoldAndOffHoldAreReInvites) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Registered();
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  ASSERT_TRUE(agent_->Hold(0));
  EXPECT_TRUE(agent_->IsLineOnHold(0));
  EXPECT_TRUE(agent_->IsLineInCall(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  ASSERT_TRUE(agent_->Unhold(0));
  EXPECT_FALSE(agent_->IsLineOnHold(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  ASSERT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0"));
  const auto invites = Invites(sipp.Messages());
  ASSERT_GE(invites.size(), 3u) << sipp.Messages();
  EXPECT_EQ(invites[0].find("a=sendonly"), std::string::npos);
  EXPECT_NE(invites[1].find("a=sendonly"), std::string::npos);
  EXPECT_EQ(invites[2].find("a=sendonly"), std::string::npos);
  EXPECT_EQ(invites[2].find("a=inactive"), std::string::npos);
}

TEST_F(AgentTest, LineHeldWhileRingingIsHeldOnceAnswered) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_, {"-d", "1500"});
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(log_.Has("SuccessToConnect 0"));
  ASSERT_TRUE(agent_->Hold(0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(agent_->IsLineOnHold(0));
  const auto invites = Invites(sipp.Messages());
  ASSERT_GE(invites.size(), 2u) << sipp.Messages();
  EXPECT_NE(invites[1].find("a=sendonly"), std::string::npos);
  agent_->EndCall(0);
}

TEST_F(AgentTest, VirtualSoundCardPlaysTheFarEndAndSendsItsTone) {
  sound_.SetTone(1700);
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  RtpPeer peer(peer_port_, 1000);
  peer.SendTo(line0_);
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_TRUE(sound_.InUse());
  int rate = 0;
  sound_.TakePlayed(&rate);
  peer.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto played = sound_.TakePlayed(&rate);
  ASSERT_GT(rate, 0);
  EXPECT_GE(played.size(), static_cast<size_t>(rate));  // about 1.5 s were played
  EXPECT_GT(test::ToneShare(played, rate, 1000), 0.5) << "the local user hears the far end";
  EXPECT_GT(test::ToneShare(peer.Received(), 8000, 1700), 0.5) << "the far end hears the local user";
  agent_->EndCall(0);
}

TEST_F(AgentTest, MuteLastsUntilTheCallEnds) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  RtpPeer peer(peer_port_);
  peer.SendTo(line0_);
  sound_.SetTone(1700);
  Online(false);
  auto heard = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    peer.ClearReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    return test::ToneShare(peer.Received(), 8000, 1700);
  };
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  ASSERT_TRUE(agent_->SetMicrophoneMuted(0, true));
  EXPECT_LT(heard(), 0.05);
  ASSERT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0"));
  // Unmuting after the end touches no ended call.
  EXPECT_TRUE(agent_->SetMicrophoneMuted(0, true));
  EXPECT_TRUE(agent_->SetMicrophoneMuted(0, false));
  EXPECT_TRUE(agent_->SetMicrophoneMuted(0, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  log_.Clear();
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  EXPECT_LT(heard(), 0.05) << "muted between calls: the next call starts muted";
  ASSERT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  log_.Clear();
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  EXPECT_GT(heard(), 0.3) << "a call that ended muted leaves the next one open";
  agent_->EndCall(0);
}

TEST_F(AgentTest, DtmfDigitsAreRfc2833Events) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  RtpPeer peer(peer_port_);
  peer.SendTo(line0_);
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(agent_->SendDtmf(0, "123#"));
  for (int i = 0; i < 100 && peer.Digits().size() < 4; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(peer.Digits(), "123#");
  EXPECT_FALSE(agent_->SendDtmf(1, "5"));
  EXPECT_EQ(agent_->LastError(), sip_error::kNotInVoiceSession);
  agent_->EndCall(0);
}

TEST_F(AgentTest, IncomingCallAnsweredByItsCallId) {
  Online(false);
  // Answer from the event handler itself, on the owner thread, as the controller does.
  log_.SetOnEvent([this](const std::string& e) {
    if (e.rfind("IncomingCall ", 0) == 0) {
      const std::string id = e.substr(13, e.find('|') - 13);
      EXPECT_TRUE(agent_->AcceptCall(0, id, 0, 0)) << agent_->LastError();
    }
  });
  EXPECT_FALSE(agent_->AcceptCall(0, "nope", 0, 0));
  EXPECT_EQ(agent_->LastError(), sip_error::kInvalidCallId);
  Sipp caller(dir_, "uac_invite.xml", sipp_port_, peer_port_,
              {"127.0.0.1:" + std::to_string(agent_port_), "-s", "1001", "-m", "1", "-d", "700", "-cid_str", "velnaro-test-%u@sipp"});
  ASSERT_TRUE(log_.WaitFor("Disconnect 0", 15000)) << Dump();
  const std::string id = "velnaro-test-1@sipp";
  const std::string sp = std::to_string(sipp_port_), ap = std::to_string(agent_port_);
  EXPECT_TRUE(log_.Has("RingingStart " + id));
  EXPECT_TRUE(log_.Has("IncomingCall " + id + "|Mario Rossi|1002|sip:1002@127.0.0.1:" + sp +
                       "|sip:1001@127.0.0.1:" + ap))
      << Dump();
  EXPECT_TRUE(log_.Has("SuccessToConnect 0"));
  EXPECT_TRUE(log_.Has("RingingStop " + id));
  // Ringing stops as the call is answered, so the phone shows the call connected after.
  const auto ev = log_.Events();
  auto at = [&](const std::string& e) { return std::find(ev.begin(), ev.end(), e) - ev.begin(); };
  EXPECT_LT(at("RingingStop " + id), at("Connecting 0")) << Dump();
  EXPECT_LT(at("Connecting 0"), at("SuccessToConnect 0")) << Dump();
  EXPECT_EQ(caller.Wait(5000), 0);
  EXPECT_EQ(log_.off_thread(), 0);
}

TEST_F(AgentTest, ACallWhileLine1IsBusyHearsBusyAtOnce) {
  Online(false);
  log_.SetOnEvent([this](const std::string& e) {
    if (e.rfind("IncomingCall ", 0) == 0) {
      const std::string id = e.substr(13, e.find('|') - 13);
      agent_->AcceptCall(0, id, 0, 0);
    }
  });
  Sipp first(dir_, "uac_invite.xml", sipp_port_, peer_port_,
             {"127.0.0.1:" + std::to_string(agent_port_), "-s", "1001", "-m", "1", "-d", "4000",
              "-cid_str", "velnaro-first-%u@sipp"});
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0", 10000)) << Dump();
  const int second_port = FreePortPair();
  Sipp second(dir_, "uac_invite_busy.xml", second_port, FreePortPair(),
              {"127.0.0.1:" + std::to_string(agent_port_), "-s", "1001", "-m", "1",
               "-cid_str", "velnaro-second-%u@sipp"});
  EXPECT_EQ(second.Wait(8000), 0) << Dump();
  EXPECT_TRUE(log_.WaitFor("RingingStop velnaro-second-1@sipp", 3000)) << Dump();
  EXPECT_EQ(agent_->LastError(), sip_error::kLineBusy);
  // The first call goes on undisturbed.
  EXPECT_TRUE(agent_->IsLineInCall(0));
  EXPECT_FALSE(log_.Has("Disconnect 0"));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0", 10000)) << Dump();
  EXPECT_EQ(first.Wait(5000), 0);
}

// Limited to the SIP server (here 127.0.0.1), a call from 127.0.0.2 hears 403 at once and
// raises nothing but its refusal; the server's own is answered. Unlimited, both are.
TEST_F(AgentTest, CallsLimitedToTheServerRefuseEveryOtherCaller) {
  for (const bool limited : {true, false}) {
    SCOPED_TRACE(limited ? "limited" : "open");
    agent_.reset();
    log_.Clear();
    LinphoneAgentOptions o;
    o.state_dir = dir_ + "/state";
    o.force_virtual_sound = true;
    o.calls_only_from_server = limited;
    agent_ = MakeLinphoneSipUserAgent(o);
    log_.SetAgent(agent_.get());
    agent_->SetEventSink(&log_);
    Online(false);
    log_.SetOnEvent([this](const std::string& e) {
      if (e.rfind("IncomingCall ", 0) == 0)
        agent_->AcceptCall(0, e.substr(13, e.find('|') - 13), 0, 0);
    });
    const std::string agent = "127.0.0.1:" + std::to_string(agent_port_);
    const int stranger_port = FreePortPair();
    Sipp stranger(dir_, limited ? "uac_invite_refused.xml" : "uac_invite.xml", stranger_port,
                  FreePortPair(), {agent, "-s", "1001", "-m", "1", "-d", "300", "-i", "127.0.0.2",
                                   "-mi", "127.0.0.2", "-cid_str", "stranger-%u@sipp"});
    EXPECT_EQ(stranger.Wait(10000), 0) << stranger.Messages() << Dump();
    if (limited) {
      EXPECT_TRUE(log_.WaitFor("CallRefused 127.0.0.2|sip:666@127.0.0.2:" +
                               std::to_string(stranger_port), 3000)) << Dump();
      EXPECT_EQ(log_.Find("RingingStart"), "") << Dump();
      EXPECT_EQ(log_.Find("IncomingCall"), "") << Dump();
    } else {
      EXPECT_TRUE(log_.WaitFor("Disconnect 0", 3000)) << Dump();
    }
    log_.Clear();
    Sipp server(dir_, "uac_invite.xml", sipp_port_, peer_port_,
                {agent, "-s", "1001", "-m", "1", "-d", "300", "-cid_str", "server-%u@sipp"});
    EXPECT_EQ(server.Wait(10000), 0) << server.Messages() << Dump();
    EXPECT_TRUE(log_.WaitFor("Disconnect 0", 3000)) << Dump();
    EXPECT_EQ(log_.Find("CallRefused"), "") << Dump();
    log_.SetOnEvent(nullptr);
  }
}

TEST_F(AgentTest, AnUnsolicitedNotifyIsRaisedWithItsBody) {
  Online(false);
  Sipp server(dir_, "uac_notify.xml", sipp_port_, peer_port_,
              {"127.0.0.1:" + std::to_string(agent_port_), "-s", "1001", "-m", "1"});
  ASSERT_TRUE(log_.WaitFor("MsgNOTIFY ", 10000, true)) << Dump();
  EXPECT_NE(log_.Find("MsgNOTIFY ").find("Voice-Message: 2/8 (0/2)"), std::string::npos) << Dump();
  EXPECT_EQ(server.Wait(5000), 0) << server.Messages();
  EXPECT_EQ(log_.off_thread(), 0);
}

// The conversation, both sides alike: the operator's voice is not held down while the far
// end speaks (an echo canceller does that once it has settled, within a second or so).
TEST_F(AgentTest, RecordingOfACallEndedByTheFarEndHoldsBothSides) {
  Sipp sipp(dir_, "hangup_uas.xml", sipp_port_, peer_port_, {"-d", "3000"});
  RtpPeer peer(peer_port_, 1000);
  peer.SendTo(line0_);
  sound_.SetTone(1700);
  Online(false);
  const std::string out = dir_ + "/rec.wav";
  EXPECT_FALSE(agent_->RecordSave(0, out));
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  ASSERT_TRUE(agent_->RecordStart(0));
  ASSERT_TRUE(agent_->RecordMode(0, 2, true));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0", 10000)) << Dump();
  ASSERT_TRUE(agent_->RecordSave(0, out)) << agent_->LastError();
  test::Wav wav;
  ASSERT_TRUE(test::ReadWav(out, &wav));
  EXPECT_EQ(wav.bits, 16);
  ASSERT_GE(wav.samples.size(), static_cast<size_t>(wav.rate) * 2);
  const std::vector<int16_t> last(wav.samples.end() - wav.rate, wav.samples.end());
  EXPECT_GT(test::ToneShare(last, wav.rate, 1000), 0.3) << "the far end";
  EXPECT_GT(test::ToneShare(last, wav.rate, 1700), 0.3) << "the operator, as loud";
}

// Seconds of sound in a saved recording.
double Seconds(const std::string& path) {
  test::Wav wav;
  return test::ReadWav(path, &wav) && wav.rate ? double(wav.samples.size()) / wav.rate : -1;
}

TEST_F(AgentTest, EachRecordingHoldsOnlyWhatWasRecordedSinceItsStart) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  RtpPeer peer(peer_port_, 1000);
  peer.SendTo(line0_);
  Online(false);
  ASSERT_TRUE(Answered(0, "2000")) << Dump();
  auto record = [&](int ms, const std::string& out) {
    EXPECT_TRUE(agent_->RecordStart(0));
    EXPECT_TRUE(agent_->RecordMode(0, 2, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    EXPECT_TRUE(agent_->RecordSave(0, out)) << agent_->LastError();
    return Seconds(out);
  };
  EXPECT_GT(record(3000, dir_ + "/first.wav"), 2.5);
  const double second = record(1000, dir_ + "/second.wav");
  EXPECT_GT(second, 0.5);
  EXPECT_LT(second, 2.0) << "the second recording starts empty";
  // Saved again without a new start: the same recording once more.
  ASSERT_TRUE(agent_->RecordSave(0, dir_ + "/again.wav"));
  EXPECT_EQ(Seconds(dir_ + "/again.wav"), second);
  EXPECT_EQ(std::filesystem::status(dir_ + "/state").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all)
      << "the segments' folder is the operator's alone";
  agent_->EndCall(0);
}

TEST_F(AgentTest, ARecordingNotYetSavedOutlivesTheNextCall) {
  Sipp sipp(dir_, "hangup_uas.xml", sipp_port_, peer_port_, {"-d", "2000"});
  auto peer = std::make_unique<RtpPeer>(peer_port_, 1000);
  peer->SendTo(line0_);
  Online(false);
  ASSERT_TRUE(Answered(0, "2000")) << Dump();
  ASSERT_TRUE(agent_->RecordStart(0));
  ASSERT_TRUE(agent_->RecordMode(0, 2, true));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0", 10000)) << Dump();
  // The next caller says something else; the recording ended with its call.
  peer.reset();
  peer = std::make_unique<RtpPeer>(peer_port_, 1400);
  peer->SendTo(line0_);
  log_.Clear();
  ASSERT_TRUE(Answered(0, "2000")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const std::string out = dir_ + "/earlier.wav";
  ASSERT_TRUE(agent_->RecordSave(0, out)) << agent_->LastError();
  test::Wav wav;
  ASSERT_TRUE(test::ReadWav(out, &wav));
  EXPECT_GT(test::ToneShare(wav.samples, wav.rate, 1000), 0.5) << "the earlier call's audio";
  EXPECT_LT(test::ToneShare(wav.samples, wav.rate, 1400), 0.05) << "nothing of the next call";
}

TEST_F(AgentTest, ConferenceLetsEachFarEndHearTheOther) {
  // Both calls go through the registrar; the toll-free one (800) gets its own media port.
  const int peer_b = FreePortPair();
  Sipp a(dir_, "registrar_uas.xml", sipp_port_, peer_port_, {}, peer_b);
  RtpPeer pa(peer_port_, 600), pb(peer_b, 1400);
  pa.SendTo(line0_);
  pb.SendTo(line1_);
  sound_.SetTone(2200);  // the local user speaks too
  Registered();
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  // As the line-2 panel does: call line 2, put line 1 on hold, then join.
  ASSERT_TRUE(agent_->PlaceCall(1, Target("800"), 0, 0));
  agent_->Hold(0);
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ASSERT_TRUE(agent_->Unhold(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  pa.ClearReceived();
  pb.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  auto ra = pa.Received(), rb = pb.Received();
  EXPECT_GT(test::ToneShare(ra, 8000, 1400), 0.15) << "A hears B";
  EXPECT_GT(test::ToneShare(rb, 8000, 600), 0.15) << "B hears A";
  EXPECT_GT(test::ToneShare(ra, 8000, 2200), 0.3) << "A hears the local user as loud as B";
  EXPECT_GT(test::ToneShare(rb, 8000, 2200), 0.3) << "B hears the local user as loud as A";
  EXPECT_TRUE(agent_->IsLineInCall(0));
  EXPECT_TRUE(agent_->IsLineInCall(1));
  EXPECT_FALSE(agent_->IsLineOnHold(0));
  EXPECT_FALSE(agent_->IsLineOnHold(1));

  // A held line leaves the mix.
  ASSERT_TRUE(agent_->Hold(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  pb.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  rb = pb.Received();
  EXPECT_LT(test::ToneShare(rb, 8000, 600), 0.05) << "B no longer hears A";
  EXPECT_TRUE(agent_->IsLineOnHold(0));
  EXPECT_TRUE(agent_->IsLineInCall(1));

  EXPECT_TRUE(agent_->EndCall(1));
  ASSERT_TRUE(log_.WaitFor("Disconnect 1")) << Dump();
  EXPECT_TRUE(agent_->IsLineInCall(0));
  EXPECT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0")) << Dump();
}

TEST_F(AgentTest, RecordingFollowsLine1IntoTheConference) {
  const int peer_b = FreePortPair();
  Sipp a(dir_, "registrar_uas.xml", sipp_port_, peer_port_, {}, peer_b);
  RtpPeer pa(peer_port_, 600), pb(peer_b, 1400);
  pa.SendTo(line0_);
  pb.SendTo(line1_);
  sound_.SetTone(2200);
  Registered();
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  ASSERT_TRUE(agent_->RecordStart(0));
  ASSERT_TRUE(agent_->RecordMode(0, 2, true));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(agent_->PlaceCall(1, Target("800"), 0, 0));
  agent_->Hold(0);
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(agent_->Unhold(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const std::string out = dir_ + "/conf.wav";
  ASSERT_TRUE(agent_->RecordSave(0, out)) << agent_->LastError();
  test::Wav wav;
  ASSERT_TRUE(test::ReadWav(out, &wav));
  ASSERT_EQ(wav.rate, 8000);
  ASSERT_GT(wav.samples.size(), 8000u * 3);
  const std::vector<int16_t> first(wav.samples.begin(), wav.samples.begin() + 8000);
  const std::vector<int16_t> last(wav.samples.end() - 8000, wav.samples.end());
  EXPECT_GT(test::ToneShare(first, 8000, 600), 0.3) << "line 1's far end before the mix";
  // In the mix the three voices come alike (a third each).
  EXPECT_GT(test::ToneShare(last, 8000, 600), 0.2) << "line 1's far end in the mix";
  EXPECT_GT(test::ToneShare(last, 8000, 1400), 0.2) << "line 2's far end in the mix";
  EXPECT_GT(test::ToneShare(last, 8000, 2200), 0.2) << "the local user in the mix";
  agent_->EndCall(1);
  agent_->EndCall(0);
}

// Lets the media settle, then keeps a second of what each far end receives.
void Listen(RtpPeer& a, RtpPeer& b) {
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  a.ClearReceived();
  b.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}
double Heard(RtpPeer& p, int hz) { return test::ToneShare(p.Received(), 8000, hz); }

TEST_F(AgentTest, AMutedOperatorIsHeardByNoFarEndInOrOutOfTheMix) {
  FarEnds far(*this);
  RtpPeer &pa = far.a, &pb = far.b;
  sound_.SetTone(2200);  // the operator
  Registered();
  ASSERT_TRUE(Answered(0, "2000")) << Dump();
  ASSERT_TRUE(agent_->SetMicrophoneMuted(0, true));
  ASSERT_TRUE(agent_->PlaceCall(1, Target("800"), 0, 0));
  ASSERT_TRUE(agent_->Hold(0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
  Listen(pa, pb);
  EXPECT_LT(Heard(pb, 2200), 0.005) << "line 2 before the join";
  ASSERT_TRUE(agent_->Unhold(0));  // the join
  Listen(pa, pb);
  EXPECT_GT(Heard(pb, 600), 0.15) << "joined";
  EXPECT_LT(Heard(pa, 2200), 0.005) << "muted before the join: line 1 in the mix";
  EXPECT_LT(Heard(pb, 2200), 0.005) << "muted before the join: line 2 in the mix";
  ASSERT_TRUE(agent_->SetMicrophoneMuted(0, false));
  Listen(pa, pb);
  EXPECT_GT(Heard(pa, 2200), 0.01) << "unmuted: line 1 hears the operator";
  EXPECT_GT(Heard(pb, 2200), 0.01) << "unmuted: line 2 hears the operator";
  ASSERT_TRUE(agent_->SetMicrophoneMuted(0, true));
  Listen(pa, pb);
  EXPECT_LT(Heard(pa, 2200), 0.005) << "muted after the join: line 1";
  EXPECT_LT(Heard(pb, 2200), 0.005) << "muted after the join: line 2";
  ASSERT_TRUE(agent_->Hold(0));  // line 1 leaves the mix: the operator talks to line 2 alone
  Listen(pa, pb);
  EXPECT_LT(Heard(pb, 2200), 0.005) << "line 1 held out of the mix";
  ASSERT_TRUE(agent_->Unhold(0));  // and joins again
  Listen(pa, pb);
  EXPECT_GT(Heard(pb, 600), 0.15) << "joined again";
  EXPECT_LT(Heard(pa, 2200), 0.005) << "joined again: line 1";
  EXPECT_LT(Heard(pb, 2200), 0.005) << "joined again: line 2";
  ASSERT_TRUE(agent_->EndCall(1));  // line 2 leaves the mix
  ASSERT_TRUE(log_.WaitFor("Disconnect 1")) << Dump();
  Listen(pa, pb);
  EXPECT_LT(Heard(pa, 2200), 0.005) << "still muted after the mix";
  ASSERT_TRUE(agent_->SetMicrophoneMuted(0, false));
  Listen(pa, pb);
  EXPECT_GT(Heard(pa, 2200), 0.3);
  agent_->EndCall(0);
}

TEST_F(AgentTest, AConferenceGoesOnWhenTheRegistrationLapses) {
  FarEnds far(*this);
  RtpPeer &pa = far.a, &pb = far.b;
  Online(false);
  ASSERT_TRUE(agent_->Register(6));  // the registrar refuses its refreshes
  ASSERT_TRUE(log_.WaitFor("SuccessToRegister")) << Dump();
  auto join = [&] {  // as the line-2 panel does
    ASSERT_TRUE(agent_->PlaceCall(1, Target("800"), 0, 0)) << agent_->LastError();
    ASSERT_TRUE(agent_->Hold(0));
    ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
    ASSERT_TRUE(agent_->Unhold(0));
  };
  auto mixed = [&] {
    Listen(pa, pb);
    return Heard(pa, 1400) > 0.15 && Heard(pb, 600) > 0.15;
  };
  ASSERT_TRUE(Answered(0, "2000")) << Dump();
  join();
  ASSERT_TRUE(log_.WaitFor("FailToRegister", 20000)) << Dump();

  EXPECT_TRUE(mixed()) << "still one mix";
  EXPECT_FALSE(agent_->IsLineOnHold(0));
  ASSERT_TRUE(agent_->Hold(0)) << agent_->LastError();
  EXPECT_TRUE(agent_->IsLineOnHold(0));
  Listen(pa, pb);
  EXPECT_LT(Heard(pb, 600), 0.05) << "a held line leaves the mix";
  ASSERT_TRUE(agent_->Unhold(0)) << agent_->LastError();
  EXPECT_TRUE(mixed()) << "joined again";
  ASSERT_TRUE(agent_->EndCall(1)) << agent_->LastError();
  ASSERT_TRUE(log_.WaitFor("Disconnect 1")) << Dump();
  EXPECT_TRUE(agent_->IsLineInCall(0));

  // A new mix without a registration, and the shutdown in the middle of it.
  log_.Clear();
  join();
  EXPECT_TRUE(mixed()) << "a new mix";
  agent_->Shutdown();
  EXPECT_TRUE(log_.WaitFor("SuccessToUnRegister")) << Dump();
  EXPECT_TRUE(log_.Has("Disconnect 0")) << Dump();
  EXPECT_TRUE(log_.Has("Disconnect 1")) << Dump();
}

TEST_F(AgentTest, WithoutRegistrationTwoCallsStayApart) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_, {}, FreePortPair());
  Online(false);
  ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
  ASSERT_TRUE(agent_->PlaceCall(1, Target("800"), 0, 0));
  ASSERT_TRUE(agent_->Hold(0));
  ASSERT_TRUE(log_.WaitFor("SuccessToConnect 1")) << Dump();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(agent_->Unhold(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  // No endless pause/resume between the two calls.
  EXPECT_LE(Invites(sipp.Messages()).size(), 6u);
  EXPECT_TRUE(agent_->EndCall(1));
  EXPECT_TRUE(agent_->EndCall(0));
  ASSERT_TRUE(log_.WaitFor("Disconnect 0")) << Dump();
}

TEST_F(AgentTest, EventsStayOnTheOwnerThreadWhileRequestThreadsCall) {
  Sipp sipp(dir_, "registrar_uas.xml", sipp_port_, peer_port_);
  Registered();
  std::atomic<bool> stop{false};
  std::vector<std::thread> requests;
  for (int t = 0; t < 3; ++t)
    requests.emplace_back([&, t] {
      while (!stop) {
        agent_->IsLineInCall(t % 2);
        agent_->IsLineOnHold(0);
        agent_->SendDtmf(1, "1");
        agent_->LastError();
      }
    });
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(agent_->PlaceCall(0, Target("2000"), 0, 0)) << agent_->LastError();
    ASSERT_TRUE(log_.WaitFor("SuccessToConnect 0")) << Dump();
    ASSERT_TRUE(agent_->EndCall(0));
    ASSERT_TRUE(log_.WaitFor("Disconnect 0")) << Dump();
    log_.Clear();
  }
  stop = true;
  for (auto& th : requests) th.join();
  EXPECT_EQ(log_.off_thread(), 0);
  EXPECT_EQ(log_.overlapped(), 0);
}

// The controller with the real component: busy SIP and media ports move on.
TEST(PhoneOnRealAgent, BusyPortsMoveOnAndThePhoneGoesOnline) {
  // Hold the first two free SIP ports from 5070 and the first free media pair from 7000
  // (other programs on this machine may hold some already).
  auto first_free = [](int from, int step, bool pair) {
    for (int p = from; p < from + 400; p += step)
      if (test::UdpFree(p) && (!pair || test::UdpFree(p + 1))) return p;
    return 0;
  };
  const int sip_a = first_free(5070, 1, false);
  test::BoundUdp s0(sip_a);
  const int sip_b = first_free(sip_a + 1, 1, false);
  test::BoundUdp s1(sip_b);
  const int media_a = first_free(7000, 2, true);
  test::BoundUdp m0(media_a);
  ASSERT_TRUE(s0.ok() && s1.ok() && m0.ok());
  const int want_sip = first_free(sip_b + 1, 1, false);
  const int want_l0 = first_free(media_a + 2, 2, true);
  const int want_l1 = first_free(want_l0 + 2, 2, true);
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("velnaro-phone-test-" + std::to_string(::getpid())))
                              .string();
  std::filesystem::create_directories(dir);
  const int sipp_port = FreePortPair();
  Sipp sipp(dir, "registrar_uas.xml", sipp_port, FreePortPair());
  LinphoneAgentOptions o;
  o.state_dir = dir + "/state";
  o.force_virtual_sound = true;
  auto agent = MakeLinphoneSipUserAgent(o);
  PhoneStatus web;
  FakeMessageBox box;
  std::atomic<int> esito{-1};
  {
    TfrmTelefono phone(*agent, web, box);
    phone.SetEsitoPasso3([&](bool v) { esito = v; });
    phone.UpdateSettings([&](TfrmTelefono::Settings& s) {
      s.EditLoginId = "1001";
      s.EditLoginPwd = "secret1001";
      s.EditSIPProxy = "127.0.0.1:" + std::to_string(sipp_port);
      s.EditDisplayName = "1001";
      s.txtIPVPN = "127.0.0.1";
    });
    phone.AttivaTelefono();
    EXPECT_EQ(phone.SipPort(), want_sip);
    EXPECT_EQ(phone.MediaPort(0), want_l0);
    EXPECT_EQ(phone.MediaPort(1), want_l1);
    EXPECT_TRUE(box.Shown().empty());
    EXPECT_EQ(phone.BtnInitCaption(), "Offline");
    for (int i = 0; i < 100 && esito != 1; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(esito, 1);
    EXPECT_EQ(web.Record().Stato, LineState::kOnline);
    EXPECT_TRUE(phone.DisattivaTelefono());
    EXPECT_EQ(web.Record().Stato, LineState::kUnregister);
    EXPECT_EQ(esito, 0);
  }
  agent.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// The working folder in a shared temporary folder has a name nobody can take first: a
// folder planted under the old name (the process id) is left alone.
TEST(SipWorkingFolder, OwnUnguessableAndRemovedAtTheEnd) {
  const std::filesystem::path temp = std::filesystem::temp_directory_path() /
                                     ("velnaro-sip-folder-" + std::to_string(::getpid()));
  std::filesystem::create_directories(temp);
  const std::filesystem::path planted = temp / ("velnaro-sip-" + std::to_string(::getpid()));
  std::filesystem::create_directory(planted);
  std::filesystem::permissions(planted, std::filesystem::perms::all);
  setenv("TEMP", temp.c_str(), 1);
  {
    LinphoneAgentOptions o;
    o.force_virtual_sound = true;
    auto agent = MakeLinphoneSipUserAgent(o);
    std::vector<std::filesystem::path> own;
    for (const auto& e : std::filesystem::directory_iterator(temp))
      if (e.path() != planted) own.push_back(e.path());
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].filename().string().rfind("velnaro-sip-", 0), 0u);
    EXPECT_EQ(std::filesystem::status(own[0]).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(std::filesystem::is_empty(planted));
  }
  unsetenv("TEMP");
  std::vector<std::filesystem::path> left;
  for (const auto& e : std::filesystem::directory_iterator(temp)) left.push_back(e.path());
  EXPECT_EQ(left, std::vector<std::filesystem::path>{planted});
  std::filesystem::remove_all(temp);
}

// Without a database the library keeps the history of every call in memory, some
// kilobytes each, for as long as the program runs; nothing here reads it.
TEST(SipSession, EndedCallsLeaveNoHistoryBehind) {
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("velnaro-session-test-" + std::to_string(::getpid())))
                              .string();
  std::filesystem::create_directories(dir + "/plugins");
  const int sipp_port = FreePortPair(), agent_port = FreePortPair(), line = FreePortPair(),
            peer = FreePortPair();
  const std::string proxy = "127.0.0.1:" + std::to_string(sipp_port);
  test::TestSound sound;
  Sipp sipp(dir, "hangup_uas.xml", sipp_port, peer, {"-d", "200"});
  std::atomic<int> released{0};
  SipOwnerThread owner;
  LinphoneSound card(owner, {.force_virtual = true, .state_dir = dir});
  LinphoneSession session(owner, card, dir + "/plugins", [&](LinphoneCall*, LinphoneCallState s) {
    if (s == LinphoneCallReleased) ++released;
  });
  owner.Start([&] {
    if (session.core()) linphone_core_iterate(session.core());
  });
  struct Stopper {  // before the session goes, on every way out
    SipOwnerThread& owner;
    LinphoneSession& session;
    const std::string& dir;
    ~Stopper() {
      owner.Invoke([&] {
        if (session.core()) session.Stop(false);
      });
      owner.Stop();
      if (!::testing::Test::HasFailure()) std::filesystem::remove_all(dir);
    }
  } stopper{owner, session, dir};
  ASSERT_EQ(owner.Call([&] {
              return session.Initialize("127.0.0.1", agent_port, "sip:1001@" + proxy, "", proxy,
                                        "1001", "secret1001", line);
            }),
            sip_error::kNone);
  for (int call = 1; call <= 3; ++call) {
    owner.Invoke([&] { linphone_core_invite(session.core(), ("sip:2000@" + proxy).c_str()); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (released < call && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(released, call) << sipp.Messages();
  }
  EXPECT_EQ(owner.Call([&] { return bctbx_list_size(linphone_core_get_call_logs(session.core())); }),
            0u);
}

}  // namespace
}  // namespace velnaro
