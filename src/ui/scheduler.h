#pragma once
// The controller's Scheduler on Qt: timers of the main loop and a thread pool whose results
// come back to the loop.

#include <QObject>
#include <QThreadPool>
#include <functional>

#include "app/app_ports.h"

namespace velnaro::ui {

class QtScheduler final : public QObject, public Scheduler {
 public:
  // `stop_work` makes running background work end early (the program is stopping); it is
  // called when the scheduler goes, before it waits for that work.
  explicit QtScheduler(std::function<void()> stop_work = {});
  // Pending timers and results are dropped.
  ~QtScheduler() override;

  Clock::time_point Now() const override { return Clock::now(); }
  void RunLater(std::chrono::milliseconds delay, std::function<void()> fn) override;
  void RunInBackground(std::function<void()> work, std::function<void()> done) override;
  void Post(std::function<void()> fn) override;

 private:
  std::function<void()> stop_work_;
  QThreadPool pool_;
};

}  // namespace velnaro::ui
