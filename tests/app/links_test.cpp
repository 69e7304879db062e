// The main window's links over the real configuration and provisioning client, and its
// line-2 panel over the phone controller on the fake SIP component.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/links.h"
#include "config_rig.h"
#include "platform/adapters.h"
#include "platform/hardware_info.h"
#include "platform/user_store.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "status/phone_status.h"
#include "support/app_fakes.h"
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

// The main window's line-2 panel over the real phone controller on the fake SIP
// component (the rest of the window with fakes). A hold takes, an unhold releases.
struct PanelRig {
  Rig form_rig;
  PhoneStatus status;
  FakeMessageBox messages;
  FakeSipUserAgent agent;
  TfrmTelefono phone{agent, status, messages};
  NetUtilsLink network;
  TfrmMainPhone form{
      {form_rig.provisioning, network, form_rig.messages, form_rig.opener, form_rig.guard}};
  PanelRig() {
    phone.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditSIPProxy = "192.0.2.10"; });
    form.SetPhone(&phone);
    agent.SetScript(sip_op::kHold, [this](const FakeSipUserAgent::Op&) {
      agent.SetOnHold(0, true);
      return FakeSipUserAgent::Result{};
    });
    agent.SetScript(sip_op::kUnhold, [this](const FakeSipUserAgent::Op&) {
      agent.SetOnHold(0, false);
      return FakeSipUserAgent::Result{};
    });
  }
};

// The line-2 call fails at once (a 486 from a nearby proxy): its failure, which takes
// line 1 off hold, must not come before the panel has held line 1.
TEST(Line2Panel, ACallThatFailsAtOnceLeavesLine1OffHold) {
  PanelRig rig;
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
  rig.form.btnChiamaClick();
  rig.agent.BeforeNextInvoke(nullptr);
  if (!failed) rig.agent.Raise(busy);
  EXPECT_FALSE(rig.agent.IsLineOnHold(0));
}

}  // namespace
}  // namespace velnaro::testing
