// The phone controller's diagnostic window on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "qt_env.h"
#include "support/fake_sip_user_agent.h"
#include "support/platform_fakes.h"
#include "telephony/frm_Telefono.h"
#include "ui/phone_window.h"

namespace velnaro::testing {
namespace {

class PhoneWindowView : public ::testing::Test {
 protected:
  PhoneStatus status_;
  FakeMessageBox messages_;
  FakeSipUserAgent agent_;
  TfrmTelefono phone_{agent_, status_, messages_};
  ui::PhoneWindow window_{phone_};
};

TEST_F(PhoneWindowView, SettingsButtonsAndLog) {
  window_.show();

  EXPECT_NE(window_.findChild<QGroupBox*>("gbSIPProxySettings"), nullptr);
  EXPECT_EQ(window_.findChild<QGroupBox*>("gbSIPProxySettings")->title(), " SIP Proxy Settings ");
  auto* init = window_.findChild<QPushButton*>("BtnInit");
  EXPECT_EQ(init->text(), "Online");
  EXPECT_TRUE(window_.findChild<QCheckBox*>("CheckBoxRegisterToProxy")->isChecked());

  // What the start-up writes shows up; what the operator types reaches the phone.
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditSIPProxy = "192.0.2.10"; });
  window_.Refresh();
  EXPECT_EQ(window_.findChild<QLineEdit*>("EditSIPProxy")->text(), "192.0.2.10");
  auto* login = window_.findChild<QLineEdit*>("EditLoginId");
  login->clear();
  QTest::keyClicks(login, "u204");
  EXPECT_EQ(phone_.GetSettings().EditLoginId, "u204");

  // "Chiama" on line 1 with no number: the phone's own message, nothing dialled.
  auto* numero = window_.findChild<QLineEdit*>("txtNumero");
  numero->clear();
  phone_.UpdateSettings([](TfrmTelefono::Settings& s) { s.txtNumero.clear(); });
  QTest::mouseClick(window_.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_THAT(messages_.Shown(), ::testing::Contains("Please enter a phone number."));
  EXPECT_TRUE(agent_.Ops(5).empty());

  phone_.ScriviLog("riga di prova");
  window_.Refresh();
  EXPECT_THAT(window_.findChild<QPlainTextEdit*>("txtLog")->toPlainText().toStdString(),
              ::testing::HasSubstr(" - riga di prova"));
}

TEST_F(PhoneWindowView, OnlineButtonFollowsThePhone) {
  window_.show();
  auto* init = window_.findChild<QPushButton*>("BtnInit");

  // Without a login the phone refuses with its own message and stays offline.
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_THAT(messages_.Shown(), ::testing::Contains("User Login non specificato"));
  EXPECT_EQ(init->text(), "Online");

  phone_.UpdateSettings([](TfrmTelefono::Settings& s) {
    s.EditLoginId = "1001";
    s.EditSIPProxy = "127.0.0.1";
  });
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_EQ(init->text(), "Offline");
  EXPECT_FALSE(agent_.Ops(58).empty());
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_EQ(init->text(), "Online");
  EXPECT_FALSE(agent_.Ops(1).empty());
}

}  // namespace
}  // namespace velnaro::testing
