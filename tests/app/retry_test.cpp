// Provisioning at login: after "Problema di connessione" the request is tried again in the
// background, every 10 s for five minutes and then every minute, and the start-up goes on
// once the service answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/app_fakes.h"

namespace velnaro::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using Page = TfrmMainPhone::Page;

std::string Steps(const TfrmMainPhone& form) {
  std::string s;
  for (auto& st : form.steps) s += st.ok_visible ? 'G' : st.ko_visible ? 'R' : '-';
  return s;
}

// Each attempt takes the connection time-out (5 s) of fake time: the quick phase is five
// minutes of the clock, not thirty attempts.
TEST(ProvisioningRetry, QuicklyForFiveMinutesThenEveryMinuteUntilTheServiceAnswers) {
  Rig rig;
  rig.provisioning.start_ok = false;
  rig.provisioning.reply = FullReply();
  rig.scheduler.work_takes = 5s;
  rig.Start();
  EXPECT_EQ(rig.form.page, Page::tsError);
  EXPECT_EQ(rig.form.lblErrorDS, "Problema di connessione");
  const auto start = rig.scheduler.now;
  while (rig.scheduler.now - start < 10min) ASSERT_TRUE(rig.scheduler.FireNext());

  const auto& delays = rig.scheduler.delays;
  ASSERT_GT(delays.size(), 25u);
  EXPECT_THAT(std::vector(delays.begin(), delays.begin() + 20), Each(10s));
  EXPECT_THAT(std::vector(delays.begin() + 20, delays.end()), Each(60s));
  // Every attempt went out off the user-interface thread; nothing else moved meanwhile.
  EXPECT_EQ(rig.provisioning.sent_off_thread.size(), delays.size() - 1);
  EXPECT_THAT(rig.provisioning.sent_off_thread, Each(true));
  EXPECT_EQ(rig.form.page, Page::tsError);
  EXPECT_EQ(Steps(rig.form), "R---");
  EXPECT_THAT(rig.phone.ops(), ElementsAre("DisattivaTelefono"));

  rig.provisioning.start_ok = true;
  rig.form.NetworkChanged();  // the network arrived: tried at once, the timer comes to nothing
  ASSERT_TRUE(rig.scheduler.FireNext());
  EXPECT_EQ(rig.scheduler.pending(), 0u);
  EXPECT_EQ(rig.form.page, Page::tsStatus);
  EXPECT_EQ(Steps(rig.form), "GGG-");
  EXPECT_THAT(rig.phone.ops(), ElementsAre("DisattivaTelefono", "AttivaTelefono"));
  EXPECT_EQ(rig.phone.account.password, "secret");
  EXPECT_FALSE(rig.form.txtURL.empty());
  EXPECT_THAT(rig.logged, Contains("startup: provisioning service reached: the start-up goes on"));
  rig.form.EsitoPasso3(true);
  EXPECT_TRUE(rig.form.btnOpenBrowser_visible);
}

// The sequence's last step comes with it: an update announced in the late reply is offered.
// An operator who went to the support pages meanwhile stays there.
TEST(ProvisioningRetry, LateReplyRunsTheRestOfTheSequenceWhereverTheOperatorIs) {
  Rig rig;
  rig.provisioning.start_ok = false;
  rig.provisioning.reply = FullReply();
  rig.provisioning.reply.UpdateFILE = "setup.sh";
  rig.provisioning.reply.UpdateFORCE = "0";
  rig.Start();
  rig.form.eConfigAccess();
  rig.provisioning.start_ok = true;
  ASSERT_TRUE(rig.scheduler.FireNext());
  EXPECT_EQ(rig.form.page, Page::tsUpdate);
  EXPECT_EQ(rig.form.btnUpdateKO_caption, "Continua a lavorare");

  Rig about;
  about.provisioning.start_ok = false;
  about.provisioning.reply = FullReply();
  about.Start();
  about.form.eConfigAccess();
  about.provisioning.start_ok = true;
  ASSERT_TRUE(about.scheduler.FireNext());
  EXPECT_EQ(about.form.page, Page::tsAbout);
  EXPECT_EQ(Steps(about.form), "GGG-");
}

// Only an unreachable service is tried again: a refusal is an answer.
TEST(ProvisioningRetry, ServiceThatRefusesEndsTheRetries) {
  Rig refused_at_once;
  refused_at_once.provisioning.start_ok = false;
  refused_at_once.provisioning.error = "Postazione non abilitata";
  refused_at_once.Start();
  EXPECT_EQ(refused_at_once.scheduler.pending(), 0u);

  Rig later;
  later.provisioning.start_ok = false;
  later.Start();
  later.provisioning.error = "Postazione non abilitata";
  ASSERT_TRUE(later.scheduler.FireNext());
  EXPECT_EQ(later.scheduler.pending(), 0u);
  EXPECT_EQ(later.form.page, Page::tsError);
  EXPECT_EQ(later.form.lblErrorDS, "Postazione non abilitata");
  EXPECT_EQ(Steps(later.form), "R---");

  // A reply that cannot be read ends it as at start-up: the general error dialog.
  Rig unreadable;
  unreadable.provisioning.start_ok = false;
  unreadable.Start();
  unreadable.provisioning.start_ok = true;
  unreadable.provisioning.throw_on_start = true;
  ASSERT_TRUE(unreadable.scheduler.FireNext());
  EXPECT_THAT(unreadable.messages.Shown(), ElementsAre("Type mismatch in Data"));
  EXPECT_EQ(unreadable.scheduler.pending(), 0u);
}

}  // namespace
}  // namespace velnaro::testing
