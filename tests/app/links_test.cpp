// The main window's links over the real configuration, provisioning client and phone
// controller (the latter on the fake SIP component).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/links.h"
#include "app_fakes.h"
#include "config_rig.h"
#include "control/web_server.h"
#include "platform/adapters.h"
#include "platform/hardware_info.h"
#include "platform/user_store.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "support/fake_sip_user_agent.h"
#include "support/platform_fakes.h"
#include "telephony/frm_Telefono.h"

namespace velnaro::testing {
namespace {

using ::testing::ElementsAre;

TEST(ServiceProvisioningLink, ReadsConfigurationAndHolderValues) {
  ConfigRig rig;
  rig.config.SipServer = "192.0.2.10";
  rig.config.ConferenceNumber = "800";
  rig.config.UpdateFILE = "setup.bin";
  rig.config.UpdateFORCE = "0";
  rig.velnaro.ServerAddress = "10.1.2.3";
  StartupValues v = rig.link.Values();
  EXPECT_EQ(v.SoftwareID, "3");
  EXPECT_EQ(v.SoftwareVersion, "4.00.002");
  EXPECT_EQ(v.SipServer, "192.0.2.10");
  EXPECT_EQ(v.ConferenceNumber, "800");
  EXPECT_EQ(v.ServerAddress, "10.1.2.3");
  EXPECT_EQ(v.UpdateFORCE, "0");
  rig.link.ClearUpdateFile();
  EXPECT_TRUE(rig.config.UpdateFILE.empty());

  rig.config.ServiceURL = "http://127.0.0.1:1/oService";
  rig.link.UseConfiguredServiceUrl();
  EXPECT_EQ(rig.service.URL, "http://127.0.0.1:1/oService");
}

TEST(ServiceProvisioningLink, UnreachableServiceGivesConnectionProblem) {
  ConfigRig rig;
  rig.config.ServiceURL = "http://127.0.0.1:1/oService";  // nothing listens on port 1
  rig.link.UseConfiguredServiceUrl();
  EXPECT_FALSE(rig.link.SoftwareStart());
  EXPECT_EQ(rig.link.ErrorDS(), "Problema di connessione");
  EXPECT_EQ(rig.link.SipServer(), "");
  TransferProgress progress{[](int64_t) {}, [](int64_t) {}, [] {}};
  EXPECT_FALSE(rig.link.DownloadFile("http://127.0.0.1:1/x", "/tmp/velnaro-links-x", progress));
}

struct PhoneRig {
  TwebServer web;
  FakeMessageBox messages;
  FakeSipUserAgent agent;
  TfrmTelefono phone{agent, web, messages};
  TelefonoPhoneLink link;
  PhoneRig() { link.Attach(&phone); }
};

TEST(TelefonoPhoneLink, WritesSettingsThePhoneReads) {
  PhoneRig rig;
  rig.link.SetTxtIPVPN("10.8.0.5");
  rig.link.SetAccount("192.0.2.10", "204", "u204", "pw");
  TfrmTelefono::Settings s = rig.phone.GetSettings();
  EXPECT_EQ(s.txtIPVPN, "10.8.0.5");
  EXPECT_EQ(s.EditSIPProxy, "192.0.2.10");
  EXPECT_EQ(s.EditDisplayName, "204");
  EXPECT_EQ(s.EditLoginId, "u204");
  EXPECT_EQ(s.EditLoginPwd, "pw");
  EXPECT_EQ(rig.link.EditSIPProxy(), "192.0.2.10");
  EXPECT_EQ(rig.link.txtIPVPN(), "10.8.0.5");
  EXPECT_FALSE(rig.link.DisattivaTelefono());  // not online yet
}

// The main window's line-2 panel over the real phone controller (the rest of the window
// with fakes), the account at 192.0.2.10 and the toll-free number 800100.
struct PanelRig {
  Rig form_rig;
  PhoneRig rig;
  NetUtilsLink network;
  TfrmMainPhone form{{form_rig.provisioning, rig.link, network, form_rig.messages,
                      form_rig.opener, form_rig.guard}};
  PanelRig() {
    rig.link.SetAccount("192.0.2.10", "204", "u204", "pw");
    form.txtNumeroVerde = "800100";
  }
};

TEST(TelefonoPhoneLink, Line2PanelSendsTheComponentOperations) {
  PanelRig p;
  PhoneRig& rig = p.rig;
  TfrmMainPhone& form = p.form;

  form.btnChiamaClick();  // line 1 idle: only the question
  EXPECT_THAT(rig.agent.OpIds(), ElementsAre(16));
  EXPECT_EQ(p.form_rig.messages.Shown().size(), 1u);

  rig.agent.ClearOps();
  rig.agent.SetInCall(0, true);
  form.btnChiamaClick();
  EXPECT_THAT(rig.agent.OpIds(), ElementsAre(16, 5, 10));
  auto call = rig.agent.Ops(5).at(0);
  EXPECT_THAT(call.args, ElementsAre("1", "sip:800100@192.0.2.10", "0", "0"));
  EXPECT_THAT(rig.agent.Ops(10).at(0).args, ElementsAre("0"));

  rig.agent.ClearOps();
  form.eClickTasto("#");
  form.btnCreaConferenzaClick();
  form.eLine2HangUp();
  EXPECT_THAT(rig.agent.OpIds(), ElementsAre(24, 11, 6));
  EXPECT_THAT(rig.agent.Ops(24).at(0).args, ElementsAre("1", "#"));
  EXPECT_THAT(rig.agent.Ops(11).at(0).args, ElementsAre("0"));
  EXPECT_THAT(rig.agent.Ops(6).at(0).args, ElementsAre("1"));
  // The panel leaves the status record's Hold flag alone.
  EXPECT_EQ(rig.web.Record().Hold, "0");
}

// The line-2 call fails at once (a 486 from a nearby proxy): its failure, which takes
// line 1 off hold, must not come before the panel has held line 1.
TEST(TelefonoPhoneLink, Line2CallThatFailsAtOnceLeavesLine1OffHold) {
  PanelRig p;
  PhoneRig& rig = p.rig;
  TfrmMainPhone& form = p.form;
  rig.agent.SetInCall(0, true);
  auto busy = [](SipUserAgentEvents& e) { e.OnGeneralFailureResponse(1, 486, "Busy Here"); };
  bool failed = false;
  rig.agent.SetScript(sip_op::kPlaceCall, [&](const FakeSipUserAgent::Op&) {
    // Whatever reaches the component next finds the failure already raised.
    rig.agent.BeforeNextInvoke([&] {
      failed = true;
      rig.agent.Raise(busy);
    });
    return FakeSipUserAgent::Result{};
  });
  rig.agent.SetScript(sip_op::kHold, [&](const FakeSipUserAgent::Op&) {
    rig.agent.SetOnHold(0, true);
    return FakeSipUserAgent::Result{};
  });
  rig.agent.SetScript(sip_op::kUnhold, [&](const FakeSipUserAgent::Op&) {
    rig.agent.SetOnHold(0, false);
    return FakeSipUserAgent::Result{};
  });
  form.btnChiamaClick();
  rig.agent.BeforeNextInvoke(nullptr);
  if (!failed) rig.agent.Raise(busy);
  EXPECT_FALSE(rig.agent.IsLineOnHold(0));
  EXPECT_THAT(rig.agent.OpIds(), ElementsAre(16, 5, 10, 15, 11, 15));
}

TEST(TelefonoPhoneLink, UnattachedPhoneIsAProgrammingError) {
  TelefonoPhoneLink link;
  EXPECT_THROW(link.EditSIPProxy(), std::logic_error);
}

}  // namespace
}  // namespace velnaro::testing
