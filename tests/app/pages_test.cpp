// The ways between pages, the debug password and the line-2 panel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/app_fakes.h"

namespace velnaro::testing {
namespace {

using ::testing::ElementsAre;
using Page = TfrmMainPhone::Page;
using Line2Page = TfrmMainPhone::Line2Page;

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.provisioning.reply = FullReply();
    rig.Start();
  }
  Rig rig;
};

TEST_F(PagesTest, PasswordLeadsToDebugAndBackLeadsToStatus) {
  rig.form.EsitoPasso3(true);
  rig.form.eConfigAccess();
  EXPECT_EQ(rig.form.page, Page::tsAbout);

  rig.form.txtPassoword = "517203846";  // one short
  rig.form.eDebugStart();
  EXPECT_EQ(rig.form.page, Page::tsAbout);
  rig.form.txtPassoword = "51720384690";
  rig.form.eDebugStart();
  EXPECT_EQ(rig.form.page, Page::tsAbout);
  EXPECT_EQ(rig.form.txtPassoword, "51720384690");  // the typed text stays
  EXPECT_TRUE(rig.messages.Shown().empty());

  rig.form.txtPassoword = "5172038469";
  rig.form.eDebugStart();
  EXPECT_EQ(rig.form.page, Page::tsDebug);
  rig.form.eBack();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST_F(PagesTest, DebugButtonsOpenTheDiagnosticWindows) {
  rig.form.DSButton1Click();
  rig.form.Button1Click();
  EXPECT_EQ(rig.view.phone_windows, 1);
  EXPECT_EQ(rig.view.server_windows, 1);
}

TEST_F(PagesTest, BackBeforeRegistrationReturnsWhereTheOperatorCameFrom) {
  rig.form.eConfigAccess();
  rig.form.eBack();
  EXPECT_EQ(rig.form.page, Page::tsStatus);

  Rig failed;
  failed.provisioning.start_ok = false;
  failed.Start();
  failed.form.eConfigAccess();
  failed.form.txtPassoword = TfrmMainPhone::kDebugPassword;
  failed.form.eDebugStart();
  failed.form.eBack();
  EXPECT_EQ(failed.form.page, Page::tsError);
}

TEST_F(PagesTest, LogoOnUpdatePageLeadsToAboutAndBackToStatusOnceButtonShows) {
  rig.form.EsitoPasso3(true);
  rig.form.page = Page::tsUpdate;
  rig.form.eConfigAccess();
  EXPECT_EQ(rig.form.page, Page::tsAbout);
  rig.form.eConfigAccess();  // a second double-click on the same page changes nothing
  rig.form.eBack();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST_F(PagesTest, ErrorPageBackLeadsToStatus) {
  rig.form.page = Page::tsError;
  rig.form.DSButton2Click();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

class Line2Test : public PagesTest {
 protected:
  void SetUp() override {
    PagesTest::SetUp();
    rig.form.EsitoPasso3(true);
    rig.form.btnOpenBrowserClick();
    rig.phone.clear();
  }
};

TEST_F(Line2Test, HandsetNeedsACallOnLine1) {
  rig.phone.in_call = false;
  rig.form.btnChiamaClick();
  EXPECT_THAT(rig.messages.Shown(),
              ElementsAre("Attenzione, devi essere in conversazione per chiamare il numero verde"));
  EXPECT_THAT(rig.phone.ops(), ElementsAre("InCall 0"));
  EXPECT_EQ(rig.form.line2_page, Line2Page::tsNumero);
}

TEST_F(Line2Test, WholeConferenceRoundTrip) {
  rig.phone.in_call = true;
  rig.form.txtNumeroVerde = "800999";  // typed over the received number
  rig.form.btnChiamaClick();
  EXPECT_THAT(rig.phone.ops(), ElementsAre("InCall 0", "Dial 1 800999", "Hold 0"));
  EXPECT_EQ(rig.form.line2_page, Line2Page::tsTastierino);
  EXPECT_TRUE(rig.form.btnCreaConferenza_visible);
  EXPECT_FALSE(rig.form.imgTelRosso_visible);

  rig.phone.clear();
  for (std::string key : {"1", "0", "*", "#"}) rig.form.eClickTasto(key);
  EXPECT_THAT(rig.phone.ops(),
              ElementsAre("SendDtmf 1 1", "SendDtmf 1 0", "SendDtmf 1 *", "SendDtmf 1 #"));

  rig.phone.clear();
  rig.form.btnCreaConferenzaClick();
  EXPECT_THAT(rig.phone.ops(), ElementsAre("Unhold 0"));
  EXPECT_FALSE(rig.form.btnCreaConferenza_visible);
  EXPECT_TRUE(rig.form.imgTelRosso_visible);

  // The panel keeps its state while the operator visits other pages.
  rig.form.eConfigAccess();
  rig.form.eBack();
  EXPECT_EQ(rig.form.line2_page, Line2Page::tsTastierino);

  rig.phone.clear();
  rig.form.eLine2HangUp();
  EXPECT_THAT(rig.phone.ops(), ElementsAre("HangUp 1"));  // line 1 untouched
  EXPECT_EQ(rig.form.line2_page, Line2Page::tsNumero);

  // A new call can follow while line 1 still talks.
  rig.phone.clear();
  rig.form.btnChiamaClick();
  EXPECT_THAT(rig.phone.ops(), ElementsAre("InCall 0", "Dial 1 800999", "Hold 0"));
}

TEST_F(Line2Test, RefusedCallLeavesPanelIdleSilently) {
  rig.phone.in_call = true;
  rig.phone.place_ok = false;
  rig.form.btnChiamaClick();
  EXPECT_THAT(rig.phone.ops(), ElementsAre("InCall 0", "Dial 1 800123"));
  EXPECT_EQ(rig.form.line2_page, Line2Page::tsNumero);
  EXPECT_FALSE(rig.form.btnCreaConferenza_visible);
  EXPECT_TRUE(rig.messages.Shown().empty());
}

}  // namespace
}  // namespace velnaro::testing
