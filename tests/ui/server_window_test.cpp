// The "webServer" diagnostic window on the offscreen platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "qt_env.h"
#include "support/control_service.h"
#include "support/platform_fakes.h"
#include "ui/server_window.h"

namespace velnaro::testing {
namespace {

TEST(ServerWindowView, MirrorsRecordWithinASecondAndShowsLog) {
  testing::ControlService server;
  ui::ServerWindow window(server.window, server.status);
  EXPECT_EQ(window.windowTitle(), "webServer");
  EXPECT_TRUE(window.findChild<QLabel*>("txtStato")->text().isEmpty());
  auto* check = window.findChild<QCheckBox*>("ckLogHTTPRequest");
  EXPECT_EQ(check->text(), "Visualizza log http richieste");
  EXPECT_FALSE(check->isChecked());
  check->setChecked(true);
  EXPECT_TRUE(server.window.ckLogHTTPRequest.load());
  EXPECT_EQ(window.findChild<QPushButton*>("Button1")->text(), "ScreenShot");

  window.show();
  server.status.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
  server.status.AggiungiLog("riga uno");
  auto* stato = window.findChild<QLabel*>("txtStato");
  ASSERT_TRUE(QTest::qWaitFor([&] { return stato->text() == "INCALL"; }, 1500));
  EXPECT_EQ(window.findChild<QLabel*>("txtChiamataStato")->text(), "CALLOUT");
  EXPECT_EQ(window.findChild<QLabel*>("txtChiamataPrefix")->text(), "0");
  EXPECT_EQ(window.findChild<QLabel*>("txtChiamataNumero")->text(), "55");
  EXPECT_TRUE(window.findChild<QPlainTextEdit*>("memoLogs")->toPlainText().contains("riga uno"));

  bool shot = false;
  window.SetButton1Click([&] { shot = true; });
  QTest::mouseClick(window.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  EXPECT_TRUE(shot);
}

TEST(ServerWindowView, Timer1RunsOnlyOnScreenAndCatchesUpWhenShown) {
  testing::ControlService server;
  ui::ServerWindow window(server.window, server.status);
  auto* timer = window.findChild<QTimer*>("Timer1");
  EXPECT_FALSE(timer->isActive());
  server.status.AggiornaStato(LineState::kInCall, CallState::kCallOut, "0", "55");
  window.show();
  EXPECT_TRUE(timer->isActive());
  EXPECT_EQ(window.findChild<QLabel*>("txtStato")->text(), "INCALL");
  window.showMinimized();
  EXPECT_FALSE(timer->isActive());
  window.showNormal();
  EXPECT_TRUE(timer->isActive());
  window.hide();
  EXPECT_FALSE(timer->isActive());
}

TEST(ServerWindowView, FailedScreenshotOrUploadIsShownAsAnErrorMessage) {
  testing::ControlService server;
  ui::ServerWindow window(server.window, server.status);
  FakeMessageBox messages;
  window.SetMessageBox(&messages);
  window.SetButton1Click([] { throw std::runtime_error("Cannot open display"); });
  window.SetButton2Click([] { throw std::runtime_error("Cannot open file \"x.wav\"."); });
  window.show();
  QTest::mouseClick(window.findChild<QPushButton*>("Button1"), Qt::LeftButton);
  QTest::mouseClick(window.findChild<QPushButton*>("Button2"), Qt::LeftButton);
  EXPECT_THAT(messages.Shown(),
              ::testing::ElementsAre("Cannot open display", "Cannot open file \"x.wav\"."));
  EXPECT_THAT(messages.Kinds(), ::testing::Each(MessageKind::Error));
  EXPECT_TRUE(window.isVisible());  // the window stays usable
}

}  // namespace
}  // namespace velnaro::testing
