// The main window on the offscreen platform: geometry, pages, clicks reaching the controller.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include "qt_env.h"
#include "support/app_fakes.h"
#include "ui/main_window.h"
#include "ui/skinned_button.h"
#include "ui/tray.h"

namespace velnaro::testing {
namespace {

using ::testing::ElementsAre;
using ui::DSButton;
using ui::MainWindow;
using Page = TfrmMainPhone::Page;

// The controller's rig with the real window as its view.
struct WindowRig : Rig {
  MainWindow window{form};

  WindowRig() : Rig(NoView{}) { provisioning.reply = FullReply(); }
  template <typename T>
  T* Find(const char* name) {
    return window.findChild<T*>(name);
  }
  QWidget* CurrentPage() { return Find<QStackedWidget>("pcDati")->currentWidget(); }
  void ShowAndRunSequence() {
    form.FormCreate();
    window.show();
    // The one-shot timer runs the sequence about a second after the first show.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.timer1_enabled; }, 3000));
  }
};

TEST(MainWindowView, FixedSizeTitleAndStartUpPage) {
  WindowRig rig;
  rig.form.FormCreate();
  EXPECT_EQ(rig.window.size(), QSize(355, 561));
  EXPECT_EQ(rig.window.minimumSize(), rig.window.maximumSize());
  EXPECT_FALSE(rig.window.windowFlags() & Qt::WindowMaximizeButtonHint);
  auto* timer = rig.Find<QTimer>("Timer1");
  EXPECT_FALSE(timer->isActive());  // disabled until the first show
  rig.window.show();
  EXPECT_TRUE(timer->isActive());
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_EQ(timer->interval(), 1000);
  EXPECT_EQ(rig.window.windowTitle(), "Velnaro DS - 4.00.002");
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsStatus");
  EXPECT_EQ(rig.Find<QLabel>("st1")->text(), "Accesso al Velnaro DS");
  EXPECT_EQ(rig.Find<QLabel>("st2")->text(), "Configurazione telefono");
  EXPECT_EQ(rig.Find<QLabel>("st3")->text(), "Abilito parte telefonica");
  EXPECT_FALSE(rig.Find<QLabel>("st0")->font().bold());
  EXPECT_FALSE(rig.Find<DSButton>("st0_ok")->isVisible());
  EXPECT_FALSE(rig.Find<DSButton>("btnOpenBrowser")->isVisible());

  ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.form.timer1_enabled; }, 3000));
  EXPECT_TRUE(rig.Find<DSButton>("st0_ok")->isVisible());
  EXPECT_TRUE(rig.Find<DSButton>("st2_ok")->isVisible());
  EXPECT_FALSE(rig.Find<DSButton>("st3_ok")->isVisible());
  rig.form.EsitoPasso3(true);
  EXPECT_TRUE(rig.Find<DSButton>("st3_ok")->isVisible());
  DSButton* open = rig.Find<DSButton>("btnOpenBrowser");
  ASSERT_TRUE(open->isVisible());
  EXPECT_EQ(open->text(), "Inizia a lavorare");
  QTest::mouseClick(open, Qt::LeftButton);
  EXPECT_EQ(rig.opener.Opened().size(), 1u);
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsTelefonoLine2");
}

TEST(MainWindowView, ErrorPageShowsProvisioningText) {
  WindowRig rig;
  rig.provisioning.start_ok = false;
  rig.provisioning.error = "Problema di connessione";
  rig.ShowAndRunSequence();
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsError");
  EXPECT_EQ(rig.Find<QLabel>("lblErrorDS")->text(), "Problema di connessione");
  EXPECT_EQ(rig.Find<QLabel>("lblAttenzione")->text(), "Attenzione:");
}

TEST(MainWindowView, UpdatePageCaptionsAndProgressBar) {
  WindowRig rig;
  rig.provisioning.reply.UpdateFILE = "setup.bin";
  rig.provisioning.reply.UpdateFORCE = "0";
  rig.provisioning.reply.UpdateMSG = "Nuova versione";
  rig.ShowAndRunSequence();
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsUpdate");
  EXPECT_EQ(rig.Find<DSButton>("btnUpdateOK")->text(), "Procedi con l'aggiornamento");
  EXPECT_EQ(rig.Find<DSButton>("btnUpdateKO")->text(), "Continua a lavorare");
  EXPECT_EQ(rig.Find<QLabel>("lblUpdateMsg")->text(), "Nuova versione");
  auto* bar = rig.Find<QProgressBar>("pbUpdate");
  EXPECT_FALSE(bar->isVisible());
  bool bar_seen = false;
  // The bar's range is the announced length and its position the bytes received.
  rig.provisioning.download_length = 3000;
  rig.provisioning.on_half_way = [&] {
    bar_seen = bar->isVisible() && bar->maximum() == 3000 && bar->value() == 1500;
  };
  rig.provisioning.download_ok = false;
  QTest::mouseClick(rig.Find<DSButton>("btnUpdateOK"), Qt::LeftButton);
  EXPECT_TRUE(bar_seen);
  EXPECT_FALSE(bar->isVisible());
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsError");
  EXPECT_EQ(rig.Find<QLabel>("lblErrorDS")->text(), "Errore nello scaricare l'aggiornamento");

  // A length beyond the bar's int range still fills it in proportion.
  rig.form.pbUpdate_max = int64_t{6} * 1024 * 1024 * 1024;
  rig.form.pbUpdate_position = rig.form.pbUpdate_max / 2;
  rig.window.StateChanged();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_NEAR(double(bar->value()) / bar->maximum(), 0.5, 0.01);
}

TEST(MainWindowView, LogoPasswordAndDebugPage) {
  WindowRig rig;
  rig.ShowAndRunSequence();
  // Every page but the debug page carries the logo.
  for (const char* name : {"tsStatus", "tsError", "tsUpdate", "tsAbout", "tsTelefonoLine2"})
    EXPECT_NE(rig.Find<QWidget>(name)->findChild<ui::Logo*>(), nullptr) << name;
  EXPECT_EQ(rig.Find<QWidget>("tsDebug")->findChild<ui::Logo*>(), nullptr);

  auto* logo = rig.Find<QWidget>("tsStatus")->findChild<ui::Logo*>();
  QTest::mouseDClick(logo, Qt::LeftButton);
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsAbout");
  auto* password = rig.Find<QLineEdit>("txtPassoword");
  QTest::keyClicks(password, "5172038469");
  EXPECT_EQ(password->displayText(), "**********");
  QTest::mouseClick(rig.Find<DSButton>("DSButton3"), Qt::LeftButton);
  EXPECT_EQ(rig.CurrentPage()->objectName(), "tsDebug");
  EXPECT_EQ(rig.Find<QLabel>("Label1")->text(), "ABC");
  auto* url = rig.Find<QLineEdit>("txtURL");
  EXPECT_EQ(url->text().toStdString(), rig.form.txtURL);
  url->clear();
  QTest::keyClicks(url, "http://127.0.0.1/x");
  EXPECT_EQ(rig.form.txtURL, "http://127.0.0.1/x");
  EXPECT_EQ(rig.Find<DSButton>("Button1")->text(), "Vkisualizza Log Server");
  EXPECT_EQ(rig.Find<DSButton>("DSButton1")->text(), "Visualizza Telefono");
}

TEST(MainWindowView, KeypadSendsItsCaptionsOnLine2) {
  WindowRig rig;
  rig.ShowAndRunSequence();
  rig.form.EsitoPasso3(true);
  rig.form.btnOpenBrowserClick();
  rig.phone.in_call = true;
  rig.phone.clear();
  QTest::mouseClick(rig.Find<DSButton>("btnChiama"), Qt::LeftButton);
  EXPECT_EQ(rig.Find<QStackedWidget>("pcTelefono2")->currentWidget()->objectName(),
            "tsTastierino");
  EXPECT_TRUE(rig.Find<DSButton>("btnCreaConferenza")->isVisible());
  EXPECT_FALSE(rig.Find<DSButton>("imgTelRosso")->isVisible());
  rig.phone.clear();
  for (const char* name : {"btn1", "btn5", "btn9", "btn0", "btnAsterisco", "btnCancelletto"})
    QTest::mouseClick(rig.Find<DSButton>(name), Qt::LeftButton);
  EXPECT_THAT(rig.phone.ops(), ElementsAre("SendDtmf 1 1", "SendDtmf 1 5", "SendDtmf 1 9",
                                           "SendDtmf 1 0", "SendDtmf 1 *", "SendDtmf 1 #"));
  QTest::mouseClick(rig.Find<DSButton>("btnCreaConferenza"), Qt::LeftButton);
  EXPECT_TRUE(rig.Find<QLabel>("txtTelRosso")->isVisible());
  EXPECT_EQ(rig.Find<QLabel>("txtTelRosso")->text(), "Riaggancio numero verde");
  QTest::mouseClick(rig.Find<DSButton>("imgTelRosso"), Qt::LeftButton);
  EXPECT_EQ(rig.Find<QStackedWidget>("pcTelefono2")->currentWidget()->objectName(), "tsNumero");
}

TEST(MainWindowView, MinimiseHidesRestoreBringsBackCloseAsks) {
  WindowRig rig;
  rig.ShowAndRunSequence();
  ui::TrayIcon tray("Velnaro DS", [&] { rig.window.eShowApplication(); });
  EXPECT_EQ(tray.PopupMenu1()->defaultAction(), tray.M_Cerca());
  EXPECT_EQ(tray.M_Cerca()->text(), "Apri");
  rig.window.TrayAvailabilityChanged(true);  // the offscreen platform has no tray of its own

  rig.window.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.window.isVisible(); }, 2000));
  emit tray.icon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(rig.window.isVisible());
  EXPECT_FALSE(rig.window.isMinimized());
  // A single click opens it too; the middle button does not.
  rig.window.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.window.isVisible(); }, 2000));
  emit tray.icon()->activated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(rig.window.isVisible());
  emit tray.icon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(rig.window.isVisible());
  EXPECT_FALSE(rig.window.isMinimized());

  // The tray goes away while the window waits in it: back on the taskbar.
  rig.window.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.window.isVisible(); }, 2000));
  QTest::qWait(50);
  rig.window.TrayAvailabilityChanged(false);
  EXPECT_TRUE(rig.window.isVisible());

  // Without a tray, minimising leaves the window on the taskbar.
  rig.window.eShowApplication();
  rig.window.setWindowState(Qt::WindowMinimized);
  QTest::qWait(50);
  EXPECT_TRUE(rig.window.isVisible());
  EXPECT_TRUE(rig.window.isMinimized());
  rig.window.eShowApplication();
  EXPECT_FALSE(rig.window.isMinimized());
  EXPECT_EQ(std::count(rig.provisioning.calls.begin(), rig.provisioning.calls.end(),
                       "SoftwareStart"),
            1);  // restoring re-runs nothing

  bool closed = false;
  QObject::connect(&rig.window, &MainWindow::closed, [&] { closed = true; });
  rig.window.close();  // the fake answers Cancel
  EXPECT_FALSE(closed);
  EXPECT_TRUE(rig.window.isVisible());
  rig.messages.QueueAnswer(MessageAnswer::Ok);
  rig.window.close();
  EXPECT_TRUE(closed);
  EXPECT_EQ(rig.messages.Asked().size(), 2u);
}

TEST(MainWindowView, EveryPageRendersAndIsKeptAsAnImage) {
  WindowRig rig;
  rig.provisioning.reply.UpdateFILE = "setup.bin";
  rig.provisioning.reply.UpdateMSG = "Nuova versione disponibile.";
  rig.ShowAndRunSequence();
  rig.form.EsitoPasso3(true);
  rig.form.lblErrorDS = "Problema di connessione";
  rig.form.txtLog = {"eth0 10.8.0.5 255.255.255.0", "Interfaccia scelta: 10.8.0.5"};
  std::string folder = std::string(VELNARO_BINARY_DIR) + "/screenshots";
  QDir().mkpath(QString::fromStdString(folder));
  const std::pair<Page, const char*> pages[] = {
      {Page::tsStatus, "tsStatus"}, {Page::tsError, "tsError"},   {Page::tsUpdate, "tsUpdate"},
      {Page::tsAbout, "tsAbout"},   {Page::tsDebug, "tsDebug"},   {Page::tsTelefonoLine2, "tsTelefonoLine2"}};
  for (auto [page, name] : pages) {
    rig.form.page = page;
    rig.window.StateChanged();
    EXPECT_EQ(rig.CurrentPage()->objectName(), name);
    QImage image = rig.window.grab().toImage();
    EXPECT_EQ(image.size(), QSize(355, 561) * image.devicePixelRatio());
    // Something besides the white background was drawn.
    int coloured = 0;
    for (int y = 0; y < image.height(); y += 4)
      for (int x = 0; x < image.width(); x += 4)
        if (image.pixelColor(x, y) != QColor(Qt::white)) ++coloured;
    EXPECT_GT(coloured, 50) << name;
    image.save(QString::fromStdString(folder + "/offscreen-" + name + ".png"));
  }
  rig.form.line2_page = TfrmMainPhone::Line2Page::tsTastierino;
  rig.form.page = Page::tsTelefonoLine2;
  rig.window.StateChanged();
  rig.window.grab().toImage().save(
      QString::fromStdString(folder + "/offscreen-tsTastierino.png"));
}

TEST(SkinnedButton, NormalHoverSelectedLooks) {
  DSButton b("Prova");
  b.resize(100, 30);
  b.show();
  EXPECT_EQ(b.CurrentLook(), DSButton::Look::Normal);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(&b, &enter);
  EXPECT_EQ(b.CurrentLook(), DSButton::Look::Hover);
  b.setDown(true);
  EXPECT_EQ(b.CurrentLook(), DSButton::Look::Selected);
  b.setDown(false);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&b, &leave);
  EXPECT_EQ(b.CurrentLook(), DSButton::Look::Normal);
  // The three looks paint differently.
  QImage normal = b.grab().toImage();
  b.setDown(true);
  QImage selected = b.grab().toImage();
  EXPECT_NE(normal, selected);
}

}  // namespace
}  // namespace velnaro::testing
