// Modal messages: dialogs on the user-interface thread, request threads waiting for them,
// and the no-display behaviour where nothing waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/message_box_qt.h"
#include "qt_env.h"

namespace velnaro::testing {
namespace {

// Presses the button with that text on the next modal message box that appears; the timer
// keeps firing inside the dialog's own event loop.
void PressWhenShown(const QString& button_text, QString* seen_text,
                    std::function<void()> on_seen = {}) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, button_text, seen_text, on_seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (seen_text) *seen_text = box->text();
    if (on_seen) on_seen();
    for (QAbstractButton* b : box->buttons()) {
      if (b->text().remove('&') == button_text) {
        timer->stop();
        timer->deleteLater();
        b->click();
        return;
      }
    }
  });
  timer->start(20);
}

TEST(QtMessageBoxTest, WithoutDisplayNothingWaitsAndTheLogGetsTheText) {
  QtMessageBox box("Velnaro DS");
  ASSERT_TRUE(box.headless());  // the offscreen platform
  std::vector<std::string> lines;
  box.SetLogSink([&](const std::string& l) { lines.push_back(l); });
  std::thread worker([&] { box.Show("Linea occupata", MessageKind::Warning); });
  worker.join();
  EXPECT_EQ(box.Ask("Confermi ?"), MessageAnswer::No);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.front(), ::testing::HasSubstr("Linea occupata"));
}

TEST(QtMessageBoxTest, RequestThreadWaitsForTheOperator) {
  QtMessageBox box("Velnaro DS", true);
  ASSERT_FALSE(box.headless());
  std::atomic<bool> returned{false};
  std::atomic<bool> returned_while_shown{true};
  QString seen;
  PressWhenShown("OK", &seen, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    returned_while_shown = returned.load();
  });
  std::thread request([&] {
    box.Show("Please enter a phone number.", MessageKind::Warning);
    returned = true;
  });
  // The dialog comes up on this thread; the request is held until it is closed.
  ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 5000));
  EXPECT_FALSE(returned_while_shown.load());
  request.join();
  EXPECT_EQ(seen, "Please enter a phone number.");
}

// The icon and the buttons of the dialog that is up now.
std::pair<QMessageBox::Icon, QMessageBox::StandardButtons> DialogLook() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (!box) return {QMessageBox::NoIcon, QMessageBox::NoButton};
  return {box->icon(), box->standardButtons()};
}

TEST(QtMessageBoxTest, QuestionsAnswerOkOrCancel) {
  QtMessageBox box("Velnaro DS", true);
  std::pair<QMessageBox::Icon, QMessageBox::StandardButtons> look;
  PressWhenShown("OK", nullptr, [&] { look = DialogLook(); });
  EXPECT_EQ(box.Ask("Confermi l'uscita dal Velnaro DS ?"), MessageAnswer::Ok);
  EXPECT_EQ(look.first, QMessageBox::Question);
  EXPECT_EQ(look.second, QMessageBox::Ok | QMessageBox::Cancel);
  PressWhenShown("Cancel", nullptr);
  EXPECT_EQ(box.Ask("Confermi l'uscita dal Velnaro DS ?"), MessageAnswer::No);

  // An information with both buttons, as the second start of the program shows it.
  PressWhenShown("Cancel", nullptr, [&] { look = DialogLook(); });
  EXPECT_EQ(box.ShowOkCancel("Il programma risulta già aperto..", MessageKind::Information),
            MessageAnswer::No);
  EXPECT_EQ(look.first, QMessageBox::Information);
  EXPECT_EQ(look.second, QMessageBox::Ok | QMessageBox::Cancel);

  // A plain message has OK only.
  PressWhenShown("OK", nullptr, [&] { look = DialogLook(); });
  box.Show("Server non settato.", MessageKind::Information);
  EXPECT_EQ(look.second, QMessageBox::StandardButtons(QMessageBox::Ok));
}

TEST(QtMessageBoxTest, WaitingRequestIsReleasedWhenTheProgramEnds) {
  std::atomic<bool> returned{false};
  std::thread request;
  {
    QtMessageBox box("Velnaro DS", true);
    request = std::thread([&] {
      box.Show("Nessuno risponde", MessageKind::Information);
      returned = true;
    });
    // No event processing here: the dialog never comes up before the box goes away.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (int i = 0; i < 100 && !returned; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(returned.load());
  request.join();
  // The queued dialog still runs later; close it so it does not disturb other tests.
  PressWhenShown("OK", nullptr);
  QTest::qWait(300);
}

}  // namespace
}  // namespace velnaro::testing
