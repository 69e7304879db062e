// The phone controller's diagnostic window on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "control/web_server.h"
#include "qt_env.h"
#include "telephony/fake_sip_user_agent.h"
#include "telephony/frm_Telefono.h"
#include "ui/phone_window.h"

namespace velnaro::testing {
namespace {

TEST(PhoneWindowView, SettingsButtonsAndLog) {
  TwebServer web;
  FakeMessageBox messages;
  FakeSipUserAgent agent;
  TfrmTelefono phone(agent, web, messages);
  ui::PhoneWindow window(phone);
  window.show();

  EXPECT_NE(window.findChild<QGroupBox*>("gbSIPProxySettings"), nullptr);
  EXPECT_EQ(window.findChild<QGroupBox*>("gbSIPProxySettings")->title(), " SIP Proxy Settings ");
  auto* init = window.findChild<QPushButton*>("BtnInit");
  EXPECT_EQ(init->text(), "Online");
  EXPECT_TRUE(window.findChild<QCheckBox*>("CheckBoxRegisterToProxy")->isChecked());

  // What the start-up writes shows up; what the operator types reaches the phone.
  phone.UpdateSettings([](TfrmTelefono::Settings& s) { s.EditSIPProxy = "192.0.2.10"; });
  window.Refresh();
  EXPECT_EQ(window.findChild<QLineEdit*>("EditSIPProxy")->text(), "192.0.2.10");
  auto* login = window.findChild<QLineEdit*>("EditLoginId");
  login->clear();
  QTest::keyClicks(login, "u204");
  EXPECT_EQ(phone.GetSettings().EditLoginId, "u204");

  // "Chiama" on line 1 with no number: the phone's own message, nothing dialled.
  auto* numero = window.findChild<QLineEdit*>("txtNumero");
  numero->clear();
  phone.UpdateSettings([](TfrmTelefono::Settings& s) { s.txtNumero.clear(); });
  QTest::mouseClick(window.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_THAT(messages.Shown(), ::testing::Contains("Please enter a phone number."));
  EXPECT_TRUE(agent.Ops(5).empty());

  phone.ScriviLog("riga di prova");
  window.Refresh();
  EXPECT_THAT(window.findChild<QPlainTextEdit*>("txtLog")->toPlainText().toStdString(),
              ::testing::HasSubstr(" - riga di prova"));
}

TEST(PhoneWindowView, OnlineButtonFollowsThePhone) {
  TwebServer web;
  FakeMessageBox messages;
  FakeSipUserAgent agent;
  TfrmTelefono phone(agent, web, messages);
  ui::PhoneWindow window(phone);
  window.show();
  auto* init = window.findChild<QPushButton*>("BtnInit");

  // Without a login the phone refuses with its own message and stays offline.
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_THAT(messages.Shown(), ::testing::Contains("User Login non specificato"));
  EXPECT_EQ(init->text(), "Online");

  phone.UpdateSettings([](TfrmTelefono::Settings& s) {
    s.EditLoginId = "1001";
    s.EditSIPProxy = "127.0.0.1";
  });
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_EQ(init->text(), "Offline");
  EXPECT_FALSE(agent.Ops(58).empty());
  QTest::mouseClick(init, Qt::LeftButton);
  EXPECT_EQ(init->text(), "Online");
  EXPECT_FALSE(agent.Ops(1).empty());
}

}  // namespace
}  // namespace velnaro::testing
