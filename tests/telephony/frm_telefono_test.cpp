// The phone controller on the fake SIP component.

#include "support/fake_sip_user_agent.h"
#include "support/platform_fakes.h"
#include "support/test_support.h"
#include "telephony/frm_Telefono.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

namespace velnaro {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PhoneTest : public ::testing::Test {
 protected:
  PhoneTest() {
    SetDefaultClock(&clock_);
    phone_.UpdateSettings([](TfrmTelefono::Settings& s) {
      s.EditLoginId = "u204";
      s.EditLoginPwd = "pw";
      s.EditSIPProxy = "192.0.2.10";
      s.EditDisplayName = "204";
      s.txtIPVPN = "10.1.2.3";
    });
  }
  ~PhoneTest() override { SetDefaultClock(nullptr); }

  // Log lines without their time stamp.
  std::vector<std::string> Log() const {
    std::vector<std::string> out;
    for (const auto& l : phone_.txtLog()) out.push_back(l.substr(l.find(" - ") + 3));
    return out;
  }
  StatusFields Rec() const { return web_.Record(); }
  void Event(const std::function<void(SipUserAgentEvents&)>& e) { agent_.Raise(e); }

  FakeClock clock_{LocalTime{2026, 3, 4, 5, 6, 7, 8}};
  FakeSipUserAgent agent_;
  PhoneStatus web_;
  FakeMessageBox box_;          // caption "SIP Voip"
  FakeMessageBox account_box_;  // caption "SIP"
  TfrmTelefono phone_{agent_, web_, box_, &account_box_};
};

TEST_F(PhoneTest, GoingOnlineCallsTheComponentInOrder) {
  phone_.AttivaTelefono();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(58, 84, 64, 64, 12, 21, 21, 17));
  auto init = agent_.Ops(58).at(0).args;
  EXPECT_THAT(init, ElementsAre("0", "10.1.2.3", "5070", "204 <sip:u204@192.0.2.10>", "",
                                "192.0.2.10", "u204", "pw", "1", "7"));
  EXPECT_THAT(agent_.Ops(84).at(0).args, ElementsAre("Velnaro.DS 4.00.002"));
  EXPECT_THAT(agent_.Ops(64).at(0).args, ElementsAre("0", "0", "10.1.2.3", "7000"));
  EXPECT_THAT(agent_.Ops(64).at(1).args, ElementsAre("1", "0", "10.1.2.3", "7002"));
  EXPECT_THAT(agent_.Ops(12).at(0).args, ElementsAre("3600"));
  EXPECT_THAT(agent_.Ops(21).at(1).args, ElementsAre("3"));
  EXPECT_THAT(agent_.Ops(17).at(0).args, ElementsAre("10"));
  EXPECT_EQ(phone_.BtnInitCaption(), "Offline");
  EXPECT_THAT(Log(), ElementsAre("Richiesta di registrazione della linea SIP"));
  EXPECT_THAT(box_.Shown(), IsEmpty());
}

TEST_F(PhoneTest, AnAccountGoesOnLineAndShowsInTheWindow) {
  phone_.AttivaTelefono({.sip_server = "192.0.2.20",
                         .display_name = "205",
                         .login = "u205",
                         .password = "pw5",
                         .local_ip = "10.8.0.5"});
  const auto s = phone_.GetSettings();
  EXPECT_EQ(s.EditSIPProxy + " " + s.EditDisplayName + " " + s.EditLoginId + " " + s.EditLoginPwd +
                " " + s.txtIPVPN,
            "192.0.2.20 205 u205 pw5 10.8.0.5");
  EXPECT_THAT(agent_.Ops(58).at(0).args,
              ElementsAre("0", "10.8.0.5", "5070", "205 <sip:u205@192.0.2.20>", "", "192.0.2.20",
                          "u205", "pw5", "1", "7"));
  EXPECT_TRUE(phone_.IsOnline());
}

TEST_F(PhoneTest, OwnAddressFormsAndLocalAddressSource) {
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) {
    s.EditDisplayName.clear();
    s.txtIPVPN.clear();
  });
  agent_.SetLocalIp("127.0.0.5");
  phone_.SetSoftwareVersion("5.1.0");
  phone_.AttivaTelefono();
  auto init = agent_.Ops(58).at(0).args;
  EXPECT_EQ(init[3], "u204 <sip:u204@192.0.2.10>");
  EXPECT_EQ(init[1], "127.0.0.5");
  EXPECT_EQ(agent_.Ops(64).at(0).args[2], "127.0.0.5");
  EXPECT_EQ(agent_.Ops(84).at(0).args[0], "Velnaro.DS 5.1.0");
  EXPECT_FALSE(agent_.Ops(23).empty());
}

TEST_F(PhoneTest, BusyPortsMoveOn) {
  agent_.SetScript(58, [](const FakeSipUserAgent::Op& op) {
    const bool busy = op.args[2] == "5070" || op.args[2] == "5071";
    return FakeSipUserAgent::Result{!busy, busy ? 11 : 0, {}};
  });
  agent_.SetScript(64, [](const FakeSipUserAgent::Op& op) {
    const bool busy = op.args[3] == "7000";
    return FakeSipUserAgent::Result{!busy, busy ? 11 : 0, {}};
  });
  phone_.AttivaTelefono();
  EXPECT_EQ(phone_.SipPort(), 5072);
  EXPECT_EQ(agent_.Ops(58).size(), 3u);
  EXPECT_EQ(phone_.MediaPort(0), 7002);
  EXPECT_EQ(phone_.MediaPort(1), 7004);
  EXPECT_THAT(box_.Shown(), IsEmpty());
  EXPECT_EQ(phone_.BtnInitCaption(), "Offline");
}

TEST_F(PhoneTest, BusyToTheLimits) {
  agent_.SetResult(58, false, 11);
  phone_.AttivaTelefono();
  EXPECT_EQ(agent_.Ops(58).size(), 6999u - 5070u + 1u);
  EXPECT_EQ(agent_.Ops(58).back().args[2], "6999");
  EXPECT_THAT(box_.Shown(), ElementsAre("Cann't open SIP communication port."));
  EXPECT_EQ(phone_.BtnInitCaption(), "Online");
  EXPECT_TRUE(agent_.Ops(64).empty());

  agent_.SetResult(58, true);
  agent_.SetResult(64, false, 11);
  phone_.AttivaTelefono();
  EXPECT_EQ(agent_.Ops(64).size(), 1000u);
  EXPECT_EQ(agent_.Ops(64).back().args[3], std::to_string(7000 + 2 * 999));
  EXPECT_EQ(box_.Shown().back(), "Unable to open RTP communication port.");
  EXPECT_TRUE(agent_.Ops(12).empty());
  EXPECT_EQ(phone_.BtnInitCaption(), "Online");
  EXPECT_THAT(account_box_.Shown(), IsEmpty());
}

TEST_F(PhoneTest, OtherFailuresShowTheirMessageAndStop) {
  agent_.QueueResult(58, false, 22);
  phone_.AttivaTelefono();
  EXPECT_THAT(box_.Shown(), ElementsAre("Provided SIP URI is not valid."));
  EXPECT_EQ(agent_.Ops(58).size(), 1u);

  agent_.QueueResult(64, true);
  agent_.QueueResult(64, false, 29);
  phone_.AttivaTelefono();
  EXPECT_EQ(box_.Shown().back(), "Line No is not valid.");
  EXPECT_TRUE(agent_.Ops(12).empty());

  agent_.QueueResult(12, false, 26);
  phone_.AttivaTelefono();
  EXPECT_EQ(box_.Shown().back(),
            "Error to create REGISTER request. Please check the provided SIP URI is valid.");
  EXPECT_TRUE(agent_.Ops(21).empty());
  EXPECT_EQ(phone_.BtnInitCaption(), "Online");
}

// Without a microphone the phone is offline, the start-up page hears so, and once the
// component has a device the phone goes online by itself.
TEST_F(PhoneTest, WithoutSoundThePhoneWaitsOfflineForADevice) {
  std::atomic<int> failed{0};
  phone_.SetEsitoPasso3([&](bool ok) { failed += !ok; });
  agent_.SetSoundReady(false);
  agent_.QueueResult(58, false, sip_error::kInputDevice);
  phone_.AttivaTelefono();
  EXPECT_THAT(box_.Shown(), ElementsAre(SipErrorMessage(sip_error::kInputDevice)));
  EXPECT_EQ(Rec().Stato, LineState::kOffline);
  EXPECT_EQ(failed, 1);
  EXPECT_FALSE(phone_.IsOnline());
  agent_.SetSoundReady(true);
  EXPECT_TRUE(velnaro::testing::WaitUntil([&] { return phone_.IsOnline(); }, 5000));
  EXPECT_EQ(agent_.Ops(58).size(), 2u);
  EXPECT_EQ(box_.Shown().size(), 1u);
}

TEST_F(PhoneTest, MissingLoginOrProxyTouchesNothing) {
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditLoginId.clear(); });
  phone_.AttivaTelefono();
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) {
    s.EditLoginId = "u1";
    s.EditSIPProxy.clear();
  });
  phone_.AttivaTelefono();
  EXPECT_TRUE(agent_.Ops().empty());
  EXPECT_THAT(account_box_.Shown(),
              ElementsAre("User Login non specificato", "SIP Proxy non specificato"));
  EXPECT_THAT(box_.Shown(), IsEmpty());
  EXPECT_THAT(Log(), ElementsAre("Richiesta di registrazione della linea SIP",
                                 "User Login non specificato",
                                 "Richiesta di registrazione della linea SIP",
                                 "SIP Proxy non specificato"));
}

TEST_F(PhoneTest, RegistrationDisabledSkipsRegister) {
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.CheckBoxRegisterToProxy = false; });
  phone_.AttivaTelefono();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(58, 84, 64, 64, 21, 21, 17));
}

// Going offline or online again opens the microphone afresh: Mute reads "0" after each.
TEST_F(PhoneTest, OfflineAndButtonTwice) {
  EXPECT_FALSE(phone_.DisattivaTelefono());
  EXPECT_TRUE(agent_.Ops().empty());
  phone_.BtnInitClick();
  EXPECT_EQ(phone_.BtnInitCaption(), "Offline");
  agent_.ClearOps();
  web_.SetMute(true);
  phone_.BtnInitClick();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(1));
  EXPECT_EQ(phone_.BtnInitCaption(), "Online");
  EXPECT_FALSE(Rec().Mute);
  agent_.ClearOps();
  web_.SetMute(true);
  phone_.BtnInitClick();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(58, 84, 64, 64, 12, 21, 21, 17));
  EXPECT_EQ(phone_.BtnInitCaption(), "Offline");
  EXPECT_FALSE(Rec().Mute);
}

TEST_F(PhoneTest, EveryMessageOfTheTable) {
  EXPECT_EQ(SipErrorMessage(10), "You are not Online, please click the 'Online' button first.");
  EXPECT_EQ(SipErrorMessage(11), "Cann't open local communication port.");
  EXPECT_EQ(SipErrorMessage(12), "");
  EXPECT_EQ(SipErrorMessage(30), "Line is already busy.");
  EXPECT_EQ(SipErrorMessage(37), "Unsupported wave file format.");
  EXPECT_EQ(SipErrorMessage(38), "");
  int with_text = 0;
  for (int c = 0; c < 100; ++c) with_text += !SipErrorMessage(c).empty();
  EXPECT_EQ(with_text, 27);
}

TEST_F(PhoneTest, LogLineIsLocaleDateTimeDashMessageAndLogIsNeverTrimmed) {
  std::setlocale(LC_TIME, "C");  // short date mm/dd/yy, long time hh:mm:ss
  Event([](SipUserAgentEvents& e) { e.OnFailToRegister(); });
  EXPECT_EQ(phone_.txtLog().at(0), "03/04/26 05:06:07 - Errore di registrazione della linea ");
  for (int i = 0; i < 200; ++i) phone_.ScriviLog(" x ");
  ASSERT_EQ(phone_.txtLog().size(), 201u);
  EXPECT_EQ(phone_.txtLog().back(), "03/04/26 05:06:07 -  x ");
}

TEST_F(PhoneTest, RegistrationEvents) {
  std::vector<bool> esito;
  phone_.SetEsitoPasso3([&](bool v) { esito.push_back(v); });
  Event([](SipUserAgentEvents& e) { e.OnTryingToRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kRegistering);
  Event([](SipUserAgentEvents& e) { e.OnSuccessToRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kOnline);
  Event([](SipUserAgentEvents& e) { e.OnFailToRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kOffline);
  Event([](SipUserAgentEvents& e) { e.OnTryingToUnRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kUnregistering);
  Event([](SipUserAgentEvents& e) { e.OnSuccessToUnRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kUnregister);
  Event([](SipUserAgentEvents& e) { e.OnIncomingDiagnostic("x", "1.2.3.4", 5); });
  Event([](SipUserAgentEvents& e) { e.OnMsgNOTIFY("n"); });
  EXPECT_THAT(esito, ElementsAre(true, false));
  EXPECT_THAT(Log(), ElementsAre("Tentativo di registrazione interno SIP", "Telefono On-Line",
                                 "Errore di registrazione della linea ",
                                 "Tentativo di de registrazione interno SIP",
                                 "Telefono Off-Line"));
  EXPECT_EQ(Rec().ChiamataStato, CallState::kNone);
  // While line 2 is in a call the registration's news are only logged.
  web_.AggiornaStato(LineState::kInCall, CallState::kAnswered);
  agent_.SetInCall(kLine2, true);
  Event([](SipUserAgentEvents& e) { e.OnFailToRegister(); });
  Event([](SipUserAgentEvents& e) { e.OnSuccessToRegister(); });
  EXPECT_EQ(Rec().Stato, LineState::kInCall);
  EXPECT_EQ(Log().back(), "Telefono On-Line");
}

TEST_F(PhoneTest, CallEvents) {
  web_.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
  Event([](SipUserAgentEvents& e) { e.OnConnecting(0); });
  EXPECT_EQ(Rec().Stato, LineState::kInCall);
  EXPECT_EQ(Rec().ChiamataStato, CallState::kCallOut);
  Event([](SipUserAgentEvents& e) { e.OnSuccessToConnect(0, "10.0.0.1", 4000); });
  EXPECT_EQ(Rec().ChiamataStato, CallState::kAnswered);
  web_.SetHold(true);
  web_.SetMute(true);
  Event([](SipUserAgentEvents& e) { e.OnDisconnectCall(1); });
  auto r = Rec();
  EXPECT_EQ(r.Stato, LineState::kIdle);
  EXPECT_EQ(r.ChiamataStato, CallState::kAnswered);
  EXPECT_EQ(r.ChiamataPrefix, "0");
  EXPECT_EQ(r.ChiamataNumero, "55");
  EXPECT_FALSE(r.Hold);
  EXPECT_FALSE(r.Mute);
  Event([](SipUserAgentEvents& e) { e.OnFailToConnect(0); });
  EXPECT_EQ(Rec().Stato, LineState::kOffline);
  Event([](SipUserAgentEvents& e) { e.OnGeneralFailureResponse(1, 486, "Busy Here"); });
  EXPECT_EQ(Rec().Stato, LineState::kError);
  EXPECT_THAT(Log(), ElementsAre("Sto per chiamare/rispondere sulla linea  (0)",
                                 "Chiamata risposta sulla linea  (0)",
                                 "Chiamata disconnessa sulla linea  (1)",
                                 "Errore di connessione sulla linea  (0)",
                                 "Errore generale sulla linea (1) - Errore: Busy Here (486)"));
}

TEST_F(PhoneTest, IncomingCallIsAnsweredAtOnce) {
  Event([](SipUserAgentEvents& e) { e.OnIncomingCallRingingStart("abc@h"); });
  EXPECT_EQ(Rec().ChiamataStato, CallState::kRinging);
  EXPECT_EQ(Rec().ChiamataNumero, "abc@h");
  EXPECT_EQ(Rec().ChiamataPrefix, "");
  Event([](SipUserAgentEvents& e) {
    e.OnIncomingCall("abc@h", "Mario", "1002", "sip:1002@pbx", "sip:1001@pbx");
  });
  EXPECT_EQ(Rec().ChiamataStato, CallState::kCallIn);
  EXPECT_THAT(agent_.Ops(7).at(0).args, ElementsAre("0", "abc@h", "0", "0"));
  Event([](SipUserAgentEvents& e) { e.OnIncomingCallRingingStop("abc@h"); });
  EXPECT_EQ(Rec().Stato, LineState::kInCall);
  EXPECT_EQ(Rec().ChiamataStato, CallState::kRingingStop);
  phone_.WaitForMessages();
  EXPECT_THAT(Log(), ElementsAre("Inizio Squillo (abc@h)",
                                 "Chiamata da 1002 (abc@h)sip:1002@pbx -> sip:1001@pbx",
                                 "Chiamata risposta: 1002 (abc@h)", "Fine Squillo (abc@h)"));
  EXPECT_THAT(box_.Shown(), IsEmpty());
}

TEST_F(PhoneTest, ARefusedCallIsOnlyLogged) {
  web_.AggiornaStato(LineState::kOnline);
  Event([](SipUserAgentEvents& e) { e.OnCallRefused("127.0.0.2", "sip:666@127.0.0.2:5062"); });
  EXPECT_THAT(Log(), ElementsAre("Chiamata rifiutata: sip:666@127.0.0.2:5062 da 127.0.0.2, "
                                 "non dal server SIP"));
  EXPECT_EQ(Rec().Stato, LineState::kOnline);
  EXPECT_EQ(Rec().ChiamataStato, CallState::kNone);
  EXPECT_TRUE(agent_.Ops().empty());
}

TEST_F(PhoneTest, IncomingCallWhileLineBusyShowsMessage) {
  agent_.SetResult(7, false, 30);
  Event([](SipUserAgentEvents& e) { e.OnIncomingCall("c2", "", "1003", "sip:a", "sip:b"); });
  phone_.WaitForMessages();
  EXPECT_THAT(box_.Shown(), ElementsAre("Line is already busy."));
  EXPECT_THAT(Log(), ElementsAre("Chiamata da 1003 (c2)sip:a -> sip:b"));
  EXPECT_EQ(Rec().ChiamataStato, CallState::kCallIn);
}

// A box the operator has not closed yet must not hold up the component's events.
TEST(PhoneMessages, OpenBoxFromAnEventDoesNotStallEvents) {
  class BlockingBox final : public MessageBox {
   public:
    void Show(const std::string& text, MessageKind) override {
      std::unique_lock lock(m);
      shown.push_back(text);
      cv.notify_all();
      cv.wait(lock, [&] { return closed; });
    }
    MessageAnswer Ask(const std::string&) override { return MessageAnswer::No; }
    void Close() {
      std::lock_guard lock(m);
      closed = true;
      cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> shown;
    bool closed = false;
  } box;
  FakeSipUserAgent agent;
  PhoneStatus web;
  {
    TfrmTelefono phone(agent, web, box);
    agent.SetResult(7, false, 30);
    agent.Raise([](SipUserAgentEvents& e) { e.OnIncomingCall("c3", "", "1004", "sip:a", "sip:b"); });
    agent.Raise([](SipUserAgentEvents& e) { e.OnDisconnectCall(0); });
    EXPECT_EQ(web.Record().Stato, LineState::kIdle);
    {
      std::unique_lock lock(box.m);
      EXPECT_TRUE(box.cv.wait_for(lock, std::chrono::seconds(5), [&] { return !box.shown.empty(); }));
    }
    box.Close();
    phone.WaitForMessages();
  }
  EXPECT_EQ(box.shown, std::vector<std::string>{"Line is already busy."});
}

TEST_F(PhoneTest, CallOperationsLine1) {
  phone_.Button1Click();
  EXPECT_THAT(box_.Shown(), ElementsAre("Please enter a phone number."));
  EXPECT_TRUE(agent_.Ops(5).empty());

  EXPECT_TRUE(phone_.Dial(kLine1, "0 55"));
  EXPECT_THAT(agent_.Ops(5).at(0).args, ElementsAre("0", "sip:0 55@192.0.2.10", "0", "0"));
  EXPECT_EQ(phone_.GetSettings().txtNumero, "0 55");  // the window shows what was dialled
  EXPECT_THAT(Log(), IsEmpty());

  agent_.SetResult(5, false, 10);
  phone_.Button1Click();
  EXPECT_EQ(box_.Shown().back(), "You are not Online, please click the 'Online' button first.");
  agent_.SetResult(5, false, 12);  // a code without a message shows nothing
  phone_.Button1Click();
  EXPECT_EQ(box_.Shown().size(), 2u);

  web_.AggiornaStato(LineState::kInCall, CallState::kAnswered, "0", "55");
  agent_.SetResult(6, false, 34);
  phone_.HangUp(kLine1);
  EXPECT_EQ(Rec().Stato, LineState::kInCall);
  agent_.SetResult(6, true);
  web_.SetHold(true);
  phone_.Button2Click();
  EXPECT_EQ(Rec().Stato, LineState::kIdle);
  EXPECT_EQ(Rec().ChiamataStato, CallState::kHangUp);
  EXPECT_FALSE(Rec().Hold);
  EXPECT_THAT(Log(), ElementsAre("Linea 1 - ERRORE richiesta di hangup chiamata",
                                 "Linea 1 - Chiamata riagganciata"));
}

TEST_F(PhoneTest, CallOperationsLine2) {
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) {
    s.txtNumeroVerde = "800";
    s.txtDTMF2 = "12#";
  });
  phone_.Button3Click();
  agent_.SetResult(5, false, 10);
  phone_.Button3Click();
  EXPECT_THAT(agent_.Ops(5).at(0).args, ElementsAre("1", "sip:800@192.0.2.10", "0", "0"));
  agent_.SetResult(6, false, 34);
  phone_.Button4Click();
  agent_.SetResult(6, true);
  web_.AggiornaStato(LineState::kInCall);
  phone_.Button4Click();
  EXPECT_EQ(Rec().Stato, LineState::kInCall);
  phone_.Button9Click();
  EXPECT_THAT(agent_.Ops(24).at(0).args, ElementsAre("1", "12#"));
  EXPECT_THAT(Log(), ElementsAre("Linea 2 - Numero verde chiamato",
                                 "Linea 2 - Errore di chiamata numero verde",
                                 "Linea 2 - ERRORE richiesta di hangup chiamata",
                                 "Linea 2 - Chiamata riagganciata"));
  EXPECT_THAT(box_.Shown(), IsEmpty());
}

TEST_F(PhoneTest, HoldAndOffHoldAskFirst) {
  phone_.Hold(kLine1);
  phone_.Button7Click();
  phone_.Unhold(kLine1);
  phone_.Button8Click();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(16, 16, 15, 15));
  agent_.ClearOps();
  agent_.SetInCall(0, true);
  agent_.SetInCall(1, true);
  agent_.SetOnHold(0, true);
  agent_.SetOnHold(1, true);
  phone_.Button5Click();
  phone_.Button7Click();
  phone_.Button6Click();
  phone_.Button8Click();
  EXPECT_THAT(agent_.OpIds(), ElementsAre(16, 10, 16, 10, 15, 11, 15, 11));
  EXPECT_EQ(agent_.Ops(10).at(1).args[0], "1");
  EXPECT_EQ(agent_.Ops(11).at(0).args[0], "0");
}

TEST_F(PhoneTest, EndOfLine2TakesLine1OffHold) {
  agent_.SetInCall(0, true);
  agent_.SetOnHold(0, true);
  web_.SetHold(true);
  Event([](SipUserAgentEvents& e) { e.OnDisconnectCall(1); });
  EXPECT_THAT(agent_.OpIds(), ElementsAre(15, 11));
  EXPECT_EQ(agent_.Ops(11).at(0).args[0], "0");
  EXPECT_EQ(Rec().Stato, LineState::kIdle);
  EXPECT_FALSE(Rec().Hold);
}

// A call that fails before it connects (busy, no answer, unreachable) raises no IDLE but
// ends as a call does: line 1, held for a line-2 call, comes back, and a failed line-1
// call leaves its microphone open, so Mute reads "0".
TEST_F(PhoneTest, ACallThatFailsBeforeConnectingEndsAsACallDoes) {
  agent_.SetInCall(0, true);
  agent_.SetOnHold(0, true);
  web_.SetHold(true);
  web_.SetMute(true);
  Event([](SipUserAgentEvents& e) { e.OnGeneralFailureResponse(1, 486, "Busy Here"); });
  EXPECT_THAT(agent_.OpIds(), ElementsAre(15, 11));
  EXPECT_EQ(agent_.Ops(11).at(0).args[0], "0");
  EXPECT_EQ(Rec().Stato, LineState::kError);
  EXPECT_FALSE(Rec().Hold);
  EXPECT_TRUE(Rec().Mute);  // the operator's microphone is line 1's

  agent_.ClearOps();
  agent_.SetOnHold(0, false);
  Event([](SipUserAgentEvents& e) { e.OnFailToConnect(1); });
  EXPECT_THAT(agent_.OpIds(), ElementsAre(15));

  agent_.ClearOps();
  Event([](SipUserAgentEvents& e) { e.OnFailToConnect(0); });
  EXPECT_EQ(Rec().Stato, LineState::kOffline);
  EXPECT_FALSE(Rec().Mute);
  web_.SetMute(true);
  Event([](SipUserAgentEvents& e) { e.OnGeneralFailureResponse(0, 480, "Unavailable"); });
  EXPECT_FALSE(Rec().Mute);
  EXPECT_THAT(agent_.OpIds(), IsEmpty());  // line 1's own failure holds nothing
}

TEST_F(PhoneTest, PortOperationsReachTheComponent) {
  phone_.SendDtmf(0, "5");
  phone_.StartRecording(0);
  agent_.SetResult(41, false, 36);
  EXPECT_FALSE(phone_.SaveRecording(0, "/tmp/x.wav"));
  phone_.Mute(0, true);
  EXPECT_THAT(agent_.OpIds(), ElementsAre(24, 40, 59, 41, FakeSipUserAgent::kMuteOp));
  EXPECT_THAT(agent_.Ops(59).at(0).args, ElementsAre("0", "2", "1"));
  EXPECT_THAT(agent_.Ops(41).at(0).args, ElementsAre("0", "/tmp/x.wav"));
}

// A whole shift of log lines: the window keeps the last ones and reads only what is new.
TEST_F(PhoneTest, TheLogKeepsItsLastLinesAndHandsOutOnlyNewOnes) {
  const size_t extra = 5;
  for (size_t i = 1; i <= TfrmTelefono::kLogLines + extra; ++i)
    phone_.ScriviLog("riga " + std::to_string(i));
  const auto log = Log();
  ASSERT_EQ(log.size(), TfrmTelefono::kLogLines);
  EXPECT_EQ(log.front(), "riga " + std::to_string(extra + 1));
  uint64_t seen = 3;  // a view that fell behind gets what is still kept
  EXPECT_EQ(phone_.NewLogLines(seen).size(), TfrmTelefono::kLogLines);
  EXPECT_EQ(seen, TfrmTelefono::kLogLines + extra);
  phone_.ScriviLog("ultima");
  const auto fresh = phone_.NewLogLines(seen);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_NE(fresh[0].find(" - ultima"), std::string::npos);
  EXPECT_TRUE(phone_.NewLogLines(seen).empty());
}

}  // namespace
}  // namespace velnaro
