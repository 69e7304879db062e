// Start-up: the single-instance guard, the first show, and the sequence with each outcome
// of the provisioning call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/app_fakes.h"
#include "support/platform_fakes.h"

namespace velnaro::testing {
namespace {

using ::testing::ElementsAre;
using Page = TfrmMainPhone::Page;

TEST(FormCreate, ComposesTitleAndClaimsVersionName) {
  Rig rig;
  ASSERT_TRUE(rig.form.FormCreate());
  EXPECT_EQ(rig.form.title, "Velnaro DS - 4.00.002");
  EXPECT_FALSE(rig.form.GiaMostrato);
  EXPECT_FALSE(rig.form.UscitaDiretta);
  // The name is SoftwareID immediately followed by the version.
  FakeInstanceGuard probe(rig.registry);
  EXPECT_FALSE(probe.Claim("34.00.002"));
}

TEST(FormCreate, SecondCopyOfSameVersionLeavesAndRestoresTheFirst) {
  Rig first;
  ASSERT_TRUE(first.form.FormCreate());

  FakeProvisioning provisioning;
  FakeNetwork network;
  FakeMessageBox messages;
  FakeDesktopOpener opener;
  FakeInstanceGuard guard(first.registry);
  TfrmMainPhone second({provisioning, network, messages, opener, guard});
  EXPECT_FALSE(second.FormCreate());
  EXPECT_THAT(messages.Shown(), ElementsAre("Il programma risulta già aperto.."));
  EXPECT_THAT(messages.Kinds(), ElementsAre(MessageKind::Information));
  EXPECT_THAT(messages.WithCancel(), ElementsAre(true));  // OK and Cancel
  EXPECT_EQ(first.guard.restore_requests(), 1);
  EXPECT_THAT(provisioning.calls, ElementsAre());  // the service is never contacted
  EXPECT_TRUE(second.title.empty());
}

TEST(FormCreate, OtherVersionRunsSideBySide) {
  Rig first;
  ASSERT_TRUE(first.form.FormCreate());
  Rig other;
  FakeInstanceGuard guard(first.registry);
  other.provisioning.values.SoftwareVersion = "4.00.003";
  TfrmMainPhone second({other.provisioning, other.network, other.messages, other.opener, guard});
  EXPECT_TRUE(second.FormCreate());
  EXPECT_EQ(second.title, "Velnaro DS - 4.00.003");
}

TEST(FormShow, PreparesStatusPageLoadsSettingsAndArmsTimerOnce) {
  Rig rig;
  rig.form.FormCreate();
  rig.form.page = Page::tsAbout;
  rig.form.FormShow();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
  EXPECT_FALSE(rig.form.steps_bold);
  EXPECT_FALSE(rig.form.btnOpenBrowser_visible);
  for (auto& s : rig.form.steps) EXPECT_FALSE(s.ok_visible || s.ko_visible);
  EXPECT_TRUE(rig.form.timer1_enabled);
  EXPECT_TRUE(rig.view.timer_running);
  EXPECT_TRUE(rig.form.GiaMostrato);
  EXPECT_THAT(rig.provisioning.calls, ElementsAre("LoadFromRegistry", "ReadCommandLine"));

  // Restoring from the tray shows the window again: nothing is re-run.
  rig.form.Timer1Timer();
  rig.form.page = Page::tsDebug;
  rig.form.FormShow();
  EXPECT_EQ(rig.form.page, Page::tsDebug);
  EXPECT_FALSE(rig.form.timer1_enabled);
  EXPECT_EQ(std::count(rig.provisioning.calls.begin(), rig.provisioning.calls.end(),
                       "LoadFromRegistry"),
            1);
}

TEST(FormShow, UnreadableStoredIdentifierIsReportedAndStartUpGoesOn) {
  Rig rig;
  rig.provisioning.throw_on_load = true;
  rig.provisioning.reply = FullReply();
  rig.Start();
  EXPECT_THAT(rig.messages.Shown(), ElementsAre("Invalid data type for 'ClientID'"));
  EXPECT_THAT(rig.provisioning.calls,
              ElementsAre("LoadFromRegistry", "ReadCommandLine", "UseConfiguredServiceUrl",
                          "SoftwareStart"));
  EXPECT_TRUE(rig.form.steps[2].ok_visible);
}

TEST(Sequence, FullReplyConfiguresPhoneAndComposesAddress) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.form.txtLog = {"old line"};
  rig.Start();

  EXPECT_FALSE(rig.form.timer1_enabled);
  EXPECT_FALSE(rig.view.timer_running);
  EXPECT_EQ(rig.form.page, Page::tsStatus);
  EXPECT_EQ(rig.form.Label1, "ABC");
  EXPECT_THAT(rig.provisioning.calls,
              ElementsAre("LoadFromRegistry", "ReadCommandLine", "UseConfiguredServiceUrl",
                          "SoftwareStart"));
  // Offline first, then online with the account and the chosen address.
  EXPECT_THAT(rig.phone.ops(), ElementsAre("DisattivaTelefono", "AttivaTelefono"));
  EXPECT_EQ(rig.phone.account.local_ip, "10.8.0.5");
  EXPECT_EQ(rig.network.rete_seen, "10.8.0");
  EXPECT_THAT(rig.form.txtLog, ElementsAre("Interfaccia trovata: 10.8.0.5"));
  EXPECT_EQ(rig.phone.account.sip_server, "192.0.2.10");
  EXPECT_EQ(rig.phone.account.display_name, "204");
  EXPECT_EQ(rig.phone.account.login, "u204");
  EXPECT_EQ(rig.phone.account.password, "secret");
  EXPECT_EQ(rig.form.txtNumeroVerde, "800123");
  EXPECT_EQ(rig.form.txtURL,
            "http://10.1.2.3/velnaro/?ActionCode=OPEN&SoftwareVersion=4.00.002&ClientID=ABC");
  // Each outcome was painted as it came, while the sequence still ran.
  EXPECT_THAT(rig.view.painted, ElementsAre("----", "G---", "GG--", "GGG-"));
  EXPECT_FALSE(rig.form.btnOpenBrowser_visible);
}

TEST(Sequence, RegistrationThenUnregistrationTurnsStepThree) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  rig.form.EsitoPasso3(true);
  EXPECT_TRUE(rig.form.steps[3].ok_visible);
  EXPECT_FALSE(rig.form.steps[3].ko_visible);
  EXPECT_TRUE(rig.form.btnOpenBrowser_visible);
  rig.form.EsitoPasso3(false);
  EXPECT_FALSE(rig.form.steps[3].ok_visible);
  EXPECT_TRUE(rig.form.steps[3].ko_visible);
  EXPECT_TRUE(rig.form.btnOpenBrowser_visible);
}

TEST(Sequence, ProvisioningFailureShowsErrorAndTouchesNothingElse) {
  Rig rig;
  rig.provisioning.start_ok = false;
  rig.provisioning.error = "Problema di connessione";
  rig.Start();
  EXPECT_EQ(rig.form.page, Page::tsError);
  EXPECT_EQ(rig.form.lblErrorDS, "Problema di connessione");
  EXPECT_TRUE(rig.form.steps[0].ko_visible);
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(rig.form.steps[i].ok_visible || rig.form.steps[i].ko_visible);
  EXPECT_THAT(rig.phone.ops(), ElementsAre("DisattivaTelefono"));
  EXPECT_TRUE(rig.form.txtURL.empty());
  EXPECT_FALSE(rig.form.btnOpenBrowser_visible);
}

TEST(Sequence, EmptySipServerSkipsPhoneButComposesAddress) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.provisioning.reply.SipServer.clear();
  rig.Start();
  EXPECT_TRUE(rig.form.steps[0].ok_visible);
  EXPECT_TRUE(rig.form.steps[1].ok_visible);
  EXPECT_TRUE(rig.form.steps[2].ko_visible);
  EXPECT_THAT(rig.phone.ops(), ElementsAre("DisattivaTelefono"));
  EXPECT_TRUE(rig.form.txtNumeroVerde.empty());
  EXPECT_EQ(rig.form.txtURL,
            "http://10.1.2.3/velnaro/?ActionCode=OPEN&SoftwareVersion=4.00.002&ClientID=ABC");
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST(Sequence, InterfaceFaultIsIgnoredAndKeepsTheAddressWritten) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.network.throw_after_choice = true;
  rig.Start();
  EXPECT_EQ(rig.phone.account.local_ip, "10.8.0.5");
  EXPECT_EQ(rig.phone.ops().back(), "AttivaTelefono");
  EXPECT_TRUE(rig.messages.Shown().empty());
}

TEST(Sequence, FaultInsideReachesGeneralErrorDialogAndPageStays) {
  Rig rig;
  rig.provisioning.throw_on_start = true;
  rig.Start();
  EXPECT_THAT(rig.messages.Shown(), ElementsAre("Type mismatch in Data"));
  EXPECT_EQ(rig.form.page, Page::tsStatus);
  EXPECT_FALSE(rig.form.timer1_enabled);
}

// What support reads of a start: the steps as they turn, the interface selection, the
// outcome, and a failure's text.
TEST(Sequence, StepsInterfacesAndOutcomeGoToTheLog) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.provisioning.values.ServiceURL = "http://prov.example/oService";
  rig.Start();
  rig.form.EsitoPasso3(true);
  EXPECT_THAT(rig.logged,
              ElementsAre("startup: Velnaro DS - 4.00.002 starts",
                          "startup: SOFTWARE.START to http://prov.example/oService",
                          "startup: step 0 ok: Contatto il servizio di configurazione",
                          "startup: step 1 ok: Accesso al Velnaro DS",
                          "startup: step 2 ok: Configurazione telefono",
                          "interfaces: Interfaccia trovata: 10.8.0.5",
                          "startup: local address for the phone: 10.8.0.5",
                          "startup: step 3 ok: Abilito parte telefonica"));

  Rig failed;
  failed.provisioning.start_ok = false;
  failed.Start();
  EXPECT_THAT(failed.logged, ::testing::Contains("startup: step 0 failed: Contatto il servizio "
                                                 "di configurazione"));
  EXPECT_THAT(failed.logged, ::testing::Contains("startup: error page: Problema di connessione"));
}

TEST(Sequence, AddressIsNotEncoded) {
  StartupValues v;
  v.ServerAddress = "host";
  v.SoftwareVersion = "4.00.002";
  v.ClientID = "A B&C";
  EXPECT_EQ(TfrmMainPhone::WebApplicationAddress(v),
            "http://host/velnaro/?ActionCode=OPEN&SoftwareVersion=4.00.002&ClientID=A B&C");
}

TEST(Sequence, RunsAgainFromHiddenIndicatorsAndOfflinePhone) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  rig.provisioning.start_ok = false;
  rig.view.painted.clear();
  rig.form.EseguiAvvio();
  EXPECT_EQ(rig.view.painted.front(), "----");
  EXPECT_EQ(rig.form.page, Page::tsError);
  const auto ops = rig.phone.ops();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "DisattivaTelefono"), 2);
}

// Each change runs the choice once; the phone follows the address, a loss is reported once.
TEST(Sequence, PhoneFollowsTheChosenAddressWhenTheNetworkMoves) {
  Rig rig;
  rig.form.NetworkChanged();  // before the start-up's own choice: nothing
  rig.provisioning.reply = FullReply();
  rig.Start();
  EXPECT_THAT(rig.phone.Take(), ElementsAre("DisattivaTelefono", "AttivaTelefono"));
  for (const char* chosen : {"10.8.0.5", "10.8.0.9", "", "", "10.8.0.9"}) {
    rig.network.chosen = chosen;
    rig.form.NetworkChanged();
  }
  EXPECT_THAT(rig.phone.ops(), ElementsAre("NetworkChecked", "NetworkMoved", "NetworkLost",
                                           "NetworkMoved"));
  EXPECT_EQ(rig.phone.account.local_ip, "10.8.0.9");
  const auto& l = rig.logged;  // once per change, the address lost twice
  EXPECT_EQ(std::count(l.begin(), l.end(), "interfaces: Interfaccia trovata: "), 2);
}

TEST(OpenBrowser, OpensAddressAndShowsLine2PageWithConferenceNumber) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  rig.form.EsitoPasso3(true);
  rig.form.btnOpenBrowserClick();
  EXPECT_THAT(rig.opener.Opened(), ElementsAre(rig.form.txtURL));
  EXPECT_EQ(rig.form.page, Page::tsTelefonoLine2);
  EXPECT_EQ(rig.form.line2_page, TfrmMainPhone::Line2Page::tsNumero);
}

TEST(OpenBrowser, WithoutConferenceNumberStaysOnStatus) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.provisioning.reply.ConferenceNumber.clear();
  rig.Start();
  rig.form.btnOpenBrowserClick();
  EXPECT_EQ(rig.opener.Opened().size(), 1u);
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST(OpenBrowser, EmptyAddressSaysServerNotSet) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  rig.form.txtURL.clear();  // emptied by hand on the debug page
  rig.form.btnOpenBrowserClick();
  EXPECT_THAT(rig.messages.Shown(), ElementsAre("Server non settato."));
  EXPECT_TRUE(rig.opener.Opened().empty());
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST(OpenBrowser, EditedAddressIsTheOneOpened) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  rig.form.txtURL = "http://127.0.0.1/other";
  rig.form.btnOpenBrowserClick();
  EXPECT_THAT(rig.opener.Opened(), ElementsAre("http://127.0.0.1/other"));
}

}  // namespace
}  // namespace velnaro::testing
