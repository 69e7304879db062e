// The update offer on the real provisioning client against the lab's stand-in: the reply
// announces an installer, "Procedi con l'aggiornamento" downloads it into TEMP with the
// progress bar, starts it and closes the window without a question.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "../app/config_rig.h"
#include "app/links.h"
#include "platform/adapters.h"
#include "platform/hardware_info.h"
#include "platform/user_store.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "qt_env.h"
#include "support/app_fakes.h"
#include "support/loopback_server.h"
#include "support/platform_fakes.h"
#include "support/test_support.h"
#include "ui/main_window.h"
#include "ui/scheduler.h"
#include "ui/skinned_button.h"

namespace velnaro::testing {
namespace {

class UpdateDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/php", X_OK) != 0) GTEST_SKIP() << "php is not installed";
    char tmpl[] = "/tmp/velnaro-update-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    port_ = FreeLoopbackPort();
    std::string base = "http://127.0.0.1:" + std::to_string(port_);
    std::ofstream(dir_ + "/reply.json")
        << R"({"Response": {"Error": {"ErrorID": "0", "ErrorDS": ""}}, "Data": {)"
        << R"("ServerAddress": "127.0.0.1:8080", "SipServer": "", "UpdateURL": ")" << base
        << R"(/files/", "UpdateFILE": "VelnaroDS-setup.sh", "UpdateFORCE": "1",)"
        << R"( "UpdateMSG": "Nuova versione"}})";
    server_ = fork();
    if (server_ == 0) {
      setenv("VELNARO_LAB_REPLY", (dir_ + "/reply.json").c_str(), 1);
      setenv("VELNARO_LAB_STATE", (dir_ + "/state").c_str(), 1);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      std::string router = std::string(VELNARO_SOURCE_DIR) + "/tools/lab/provisioning/router.php";
      std::string addr = "127.0.0.1:" + std::to_string(port_);
      execlp("php", "php", "-S", addr.c_str(), router.c_str(), nullptr);
      _exit(127);
    }
    setenv("TEMP", dir_.c_str(), 1);
    rig_.link.SetCommandLine({base + "/oService"});
    // Give php a moment to listen.
    for (int i = 0; i < 100; ++i) {
      if (CanConnect(port_)) break;
      usleep(50000);
    }
  }
  void TearDown() override {
    unsetenv("TEMP");
    StopChild(server_);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  int port_ = 0;
  pid_t server_ = -1;
  ConfigRig rig_;
  FakePhone phone_;
  FakeNetwork network_;
  FakeMessageBox messages_;
  FakeDesktopOpener opener_;
  FakeInstanceGuard::Registry registry_;
  FakeInstanceGuard guard_{registry_};
};

TEST_F(UpdateDownload, InstallerIsFetchedStartedAndTheWindowCloses) {
  TfrmMainPhone form({rig_.link, network_, messages_, opener_, guard_});
  form.SetPhone(&phone_);
  ui::QtScheduler scheduler;
  form.SetScheduler(&scheduler);
  ui::MainWindow window(form);
  bool closed = false;
  QObject::connect(&window, &ui::MainWindow::closed, [&] { closed = true; });
  ASSERT_TRUE(form.FormCreate());
  window.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.timer1_enabled; }, 5000));
  ASSERT_EQ(form.page, TfrmMainPhone::Page::tsUpdate) << form.lblErrorDS;
  auto* ok = window.findChild<ui::DSButton*>("btnUpdateOK");
  EXPECT_EQ(window.findChild<ui::DSButton*>("btnUpdateKO")->text(), "Esci dal programma");

  QTest::mouseClick(ok, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, 10000));
  std::string installer = dir_ + "/VelnaroDS-setup.sh";
  EXPECT_THAT(ReadWholeFile(installer), ::testing::HasSubstr("Velnaro DS lab update installer"));
  EXPECT_THAT(opener_.Installers(), ::testing::ElementsAre(installer));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(messages_.Asked().empty());
  EXPECT_FALSE(window.findChild<QProgressBar*>("pbUpdate")->isVisible());
  EXPECT_EQ(form.pbUpdate_position, form.pbUpdate_max);  // the bar followed to the end
}

// The installer downloads off the user-interface thread: held half way, its progress is on
// the bar and the window's timers go on running, which the server waits for.
TEST_F(UpdateDownload, TheWindowGoesOnWhileTheInstallerDownloads) {
  std::atomic<int> ticks_half_way{0};
  LoopbackServer server([&](int fd, const LoopbackServer& s) {
    if (!s.ReadRequest(fd)) return;
    const std::string half = "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\nhalf";
    (void)!::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 500 && ticks_half_way < 3; ++i) usleep(10000);
    (void)!::send(fd, "rest", 4, MSG_NOSIGNAL);
  });
  TfrmMainPhone form({rig_.link, network_, messages_, opener_, guard_});
  form.SetPhone(&phone_);
  ui::QtScheduler scheduler;
  form.SetScheduler(&scheduler);
  ASSERT_TRUE(form.FormCreate());
  form.FormShow();
  form.Timer1Timer();
  rig_.config.UpdateURL = server.url("/");
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (form.pbUpdate_visible && form.pbUpdate_position == 4) ++ticks_half_way;
  });
  timer.start(10);
  form.btnUpdateOKClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !opener_.Installers().empty(); }, 10000));
  EXPECT_GE(ticks_half_way, 3);
  EXPECT_EQ(ReadWholeFile(dir_ + "/VelnaroDS-setup.sh"), "halfrest");
}

TEST_F(UpdateDownload, MissingInstallerGivesTheDownloadError) {
  TfrmMainPhone form({rig_.link, network_, messages_, opener_, guard_});
  form.SetPhone(&phone_);
  ASSERT_TRUE(form.FormCreate());
  form.FormShow();
  form.Timer1Timer();
  ASSERT_EQ(form.page, TfrmMainPhone::Page::tsUpdate) << form.lblErrorDS;
  rig_.config.UpdateFILE = "not-there.bin";  // the stand-in answers 404
  form.btnUpdateOKClick();
  EXPECT_EQ(form.page, TfrmMainPhone::Page::tsError);
  EXPECT_EQ(form.lblErrorDS, "Errore nello scaricare l'aggiornamento");
  EXPECT_TRUE(opener_.Installers().empty());
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/not-there.bin"));
}

}  // namespace
}  // namespace velnaro::testing
