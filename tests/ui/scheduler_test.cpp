// The controller's scheduler on Qt: background work runs off the loop's thread and its
// result comes back to it; going away, the scheduler stops running work and waits for it.
#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "qt_env.h"
#include "ui/scheduler.h"

namespace velnaro::testing {
namespace {

using namespace std::chrono_literals;

TEST(QtScheduler, WorkRunsElsewhereItsResultAndTimersOnTheLoop) {
  ui::QtScheduler scheduler;
  const auto loop_thread = std::this_thread::get_id();
  std::thread::id work_thread, done_thread, timer_thread;
  bool done = false, fired = false;
  scheduler.RunInBackground([&] { work_thread = std::this_thread::get_id(); },
                            [&] {
                              done_thread = std::this_thread::get_id();
                              done = true;
                            });
  const auto before = scheduler.Now();
  scheduler.RunLater(50ms, [&] {
    timer_thread = std::this_thread::get_id();
    fired = scheduler.Now() - before >= 50ms;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done && timer_thread != std::thread::id(); }, 5000));
  EXPECT_NE(work_thread, loop_thread);
  EXPECT_EQ(done_thread, loop_thread);
  EXPECT_EQ(timer_thread, loop_thread);
  EXPECT_TRUE(fired);
}

// A request still out when the program ends is cut short, and no result arrives after the
// scheduler has gone.
TEST(QtScheduler, GoingAwayStopsRunningWorkAndDropsItsResult) {
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto started = std::make_shared<std::atomic<bool>>(false);
  bool done = false;
  {
    ui::QtScheduler scheduler([stop] { *stop = true; });
    scheduler.RunInBackground(
        [stop, started] {
          *started = true;
          while (!*stop) std::this_thread::sleep_for(1ms);
        },
        [&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return started->load(); }, 5000));
  }
  EXPECT_TRUE(stop->load());
  QTest::qWait(50);
  EXPECT_FALSE(done);
}

}  // namespace
}  // namespace velnaro::testing
