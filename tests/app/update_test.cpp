// The update offer: captions, download with the progress bar, installer, close questions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/app_fakes.h"

namespace velnaro::testing {
namespace {

using ::testing::ElementsAre;
using Page = TfrmMainPhone::Page;

constexpr char kUpdateQuestion[] =
    "C'è un nuovo aggiornamento, vuoi installarlo prima di uscire ?";
constexpr char kExitQuestion[] =
    "Confermi l'uscita dal Velnaro DS ? Chiudendo il programma, non sarà più disponibile la "
    "parte telefonica.";

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TEMP", "/tmp/velnaro-update-test", 1);
    rig.provisioning.reply = FullReply();
    rig.provisioning.reply.UpdateFILE = "setup.exe";
    rig.provisioning.reply.UpdateURL = "http://127.0.0.1:8088/update";
    rig.provisioning.reply.UpdateMSG = "Versione 4.1 disponibile";
  }
  void TearDown() override { unsetenv("TEMP"); }
  void StartWithForce(const std::string& force) {
    rig.provisioning.reply.UpdateFORCE = force;
    rig.Start();
  }
  Rig rig;
};

TEST_F(UpdateTest, OptionalOfferOverStatusPage) {
  StartWithForce("0");
  EXPECT_EQ(rig.form.page, Page::tsUpdate);
  EXPECT_EQ(rig.form.lblUpdateMsg, "Versione 4.1 disponibile");
  EXPECT_EQ(rig.form.btnUpdateOK_caption, "Procedi con l'aggiornamento");
  EXPECT_EQ(rig.form.btnUpdateKO_caption, "Continua a lavorare");
  EXPECT_TRUE(rig.form.btnUpdateOK_visible && rig.form.btnUpdateKO_visible);
  EXPECT_FALSE(rig.form.pbUpdate_visible);
  // The phone steps ran before the offer.
  EXPECT_EQ(rig.phone.ops().back(), "AttivaTelefono");
}

TEST_F(UpdateTest, EmptyOrOtherForceMeansForced) {
  for (std::string force : {"", "1", "00", "no"}) {
    Rig r;
    r.provisioning.reply = rig.provisioning.reply;
    r.provisioning.reply.UpdateFORCE = force;
    r.Start();
    EXPECT_EQ(r.form.btnUpdateKO_caption, "Esci dal programma") << force;
    r.form.eUpdateKO();
    EXPECT_TRUE(r.form.UscitaDiretta);
    EXPECT_TRUE(r.view.closed) << force;
    EXPECT_TRUE(r.messages.Asked().empty());
  }
}

TEST_F(UpdateTest, OfferAlsoShownOverErrorPage) {
  rig.provisioning.start_ok = false;
  // A failed call keeps whatever an earlier reply stored.
  rig.provisioning.values.UpdateFILE = "setup.exe";
  rig.provisioning.values.UpdateFORCE = "0";
  rig.Start();
  EXPECT_EQ(rig.form.page, Page::tsUpdate);
  rig.form.eUpdateKO();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
}

TEST_F(UpdateTest, ContinueThenCloseAsksAboutUpdateAndOkBringsOfferBack) {
  StartWithForce("0");
  rig.form.eUpdateKO();
  EXPECT_EQ(rig.form.page, Page::tsStatus);
  EXPECT_FALSE(rig.view.closed);

  rig.messages.QueueAnswer(MessageAnswer::Ok);
  EXPECT_FALSE(rig.form.FormCloseQuery());
  EXPECT_THAT(rig.messages.Asked(), ElementsAre(kUpdateQuestion));
  EXPECT_EQ(rig.form.page, Page::tsUpdate);
  EXPECT_TRUE(rig.form.btnUpdateOK_visible && rig.form.btnUpdateKO_visible);

  rig.messages.QueueAnswer(MessageAnswer::No);  // Cancel: leave without installing
  EXPECT_TRUE(rig.form.FormCloseQuery());
}

TEST_F(UpdateTest, DownloadFollowsProgressStartsInstallerAndClosesWithoutQuestion) {
  StartWithForce("0");
  bool visible_half_way = false;
  int64_t max_half_way = 0, pos_half_way = 0;
  bool buttons_hidden_half_way = false;
  rig.provisioning.on_half_way = [&] {
    visible_half_way = rig.form.pbUpdate_visible;
    max_half_way = rig.form.pbUpdate_max;
    pos_half_way = rig.form.pbUpdate_position;
    buttons_hidden_half_way = !rig.form.btnUpdateOK_visible && !rig.form.btnUpdateKO_visible;
  };
  rig.form.btnUpdateOKClick();
  EXPECT_TRUE(visible_half_way);
  EXPECT_EQ(max_half_way, 3000);
  EXPECT_EQ(pos_half_way, 1500);
  EXPECT_TRUE(buttons_hidden_half_way);
  EXPECT_FALSE(rig.form.pbUpdate_visible);
  // Plain concatenation of address and file name.
  EXPECT_EQ(rig.provisioning.download_url, "http://127.0.0.1:8088/updatesetup.exe");
  EXPECT_EQ(rig.provisioning.download_path, "/tmp/velnaro-update-test/setup.exe");
  EXPECT_THAT(rig.opener.Installers(), ElementsAre("/tmp/velnaro-update-test/setup.exe"));
  EXPECT_TRUE(rig.opener.Opened().empty());
  EXPECT_TRUE(rig.form.UscitaDiretta);
  EXPECT_TRUE(rig.view.closed);
  EXPECT_TRUE(rig.messages.Asked().empty());
}

// The window stays live while the installer downloads: a close request is refused without
// a question, a second click starts no second download, and the installer starts when the
// download ends.
TEST_F(UpdateTest, CloseDuringDownloadIsRefusedWithoutQuestion) {
  StartWithForce("0");
  rig.provisioning.on_half_way = [&] {
    rig.form.btnUpdateOKClick();
    rig.view.Close();
  };
  rig.form.btnUpdateOKClick();
  EXPECT_EQ(rig.view.close_requests, 2);  // the operator's, then the update's own
  EXPECT_TRUE(rig.messages.Asked().empty());
  EXPECT_EQ(rig.opener.Installers().size(), 1u);
  EXPECT_TRUE(rig.view.closed);
}

// The session ends while the installer downloads: nothing starts behind the operator,
// and the program still leaves once the download is over.
TEST_F(UpdateTest, StopDuringDownloadStartsNoInstaller) {
  StartWithForce("0");
  rig.provisioning.on_half_way = [&] {
    rig.form.RequestExitWithoutQuestion();
    rig.view.Close();  // refused while the download runs
  };
  rig.form.btnUpdateOKClick();
  EXPECT_TRUE(rig.opener.Installers().empty());
  EXPECT_TRUE(rig.view.closed);  // once it has ended, the program leaves
}

// An installer that cannot be started (TEMP mounted noexec, say) is a failed update, not
// a reason to leave the operator without a telephone.
TEST_F(UpdateTest, InstallerThatCannotStartIsAFailedUpdate) {
  StartWithForce("1");
  rig.opener.SetResult(false);
  rig.form.btnUpdateOKClick();
  EXPECT_EQ(rig.opener.Installers().size(), 1u);
  EXPECT_FALSE(rig.view.closed);
  EXPECT_EQ(rig.form.page, Page::tsError);
  EXPECT_EQ(rig.form.lblErrorDS, "Errore nello scaricare l'aggiornamento");
  EXPECT_TRUE(rig.provisioning.values.UpdateFILE.empty());
  EXPECT_EQ(rig.logged.back(),
            "startup: the installer could not be started: /tmp/velnaro-update-test/setup.exe");
}

TEST_F(UpdateTest, FailedDownloadForgetsUpdateAndLaterCloseAsksUsualQuestion) {
  StartWithForce("1");
  rig.provisioning.download_ok = false;
  rig.form.btnUpdateOKClick();
  EXPECT_EQ(rig.form.page, Page::tsError);
  EXPECT_EQ(rig.form.lblErrorDS, "Errore nello scaricare l'aggiornamento");
  EXPECT_FALSE(rig.form.btnUpdateOK_visible);
  EXPECT_FALSE(rig.form.btnUpdateKO_visible);
  EXPECT_FALSE(rig.form.pbUpdate_visible);
  EXPECT_TRUE(rig.opener.Installers().empty());
  EXPECT_FALSE(rig.view.closed);

  rig.messages.QueueAnswer(MessageAnswer::No);
  EXPECT_FALSE(rig.form.FormCloseQuery());
  rig.messages.QueueAnswer(MessageAnswer::Ok);
  EXPECT_TRUE(rig.form.FormCloseQuery());
  EXPECT_THAT(rig.messages.Asked(), ElementsAre(kExitQuestion, kExitQuestion));
}

TEST_F(UpdateTest, FileNameFromServiceCannotLeaveTheTemporaryFolder) {
  rig.provisioning.reply.UpdateFILE = "../../home/op/.bashrc";
  StartWithForce("0");
  rig.form.btnUpdateOKClick();
  EXPECT_EQ(rig.provisioning.download_path, "/tmp/velnaro-update-test/.bashrc");
  EXPECT_EQ(rig.provisioning.download_url, "http://127.0.0.1:8088/update../../home/op/.bashrc");

  EXPECT_EQ(TfrmMainPhone::InstallerPath("/tmp/", ".."), "");
  EXPECT_EQ(TfrmMainPhone::InstallerPath("/tmp/", "dir/"), "");
  EXPECT_EQ(TfrmMainPhone::InstallerPath("/tmp", "a\\b.exe"), "/tmp/b.exe");
}

TEST_F(UpdateTest, UnusableFileNameFailsLikeADownloadError) {
  rig.provisioning.reply.UpdateFILE = "..";
  StartWithForce("0");
  rig.form.btnUpdateOKClick();
  EXPECT_TRUE(rig.provisioning.download_url.empty());
  EXPECT_EQ(rig.form.lblErrorDS, "Errore nello scaricare l'aggiornamento");
  EXPECT_TRUE(rig.provisioning.values.UpdateFILE.empty());
}

TEST(CloseQuery, WithoutUpdateAsksForConfirmation) {
  Rig rig;
  rig.provisioning.reply = FullReply();
  rig.Start();
  EXPECT_FALSE(rig.form.FormCloseQuery());  // dialog closed without a button = Cancel
  rig.messages.QueueAnswer(MessageAnswer::Ok);
  EXPECT_TRUE(rig.form.FormCloseQuery());
  EXPECT_THAT(rig.messages.Asked(), ElementsAre(kExitQuestion, kExitQuestion));
}

TEST(CloseQuery, ExitWithoutQuestionIsGrantedAtOnce) {
  Rig rig;
  rig.Start();
  rig.form.RequestExitWithoutQuestion();
  EXPECT_TRUE(rig.form.FormCloseQuery());
  EXPECT_TRUE(rig.messages.Asked().empty());
}

}  // namespace
}  // namespace velnaro::testing
