#include "ui/scheduler.h"

#include <QTimer>

#include "platform/thread_name.h"

namespace velnaro::ui {

QtScheduler::QtScheduler(std::function<void()> stop_work) : stop_work_(std::move(stop_work)) {}

QtScheduler::~QtScheduler() {
  if (stop_work_) stop_work_();
  pool_.waitForDone();
}

void QtScheduler::RunLater(std::chrono::milliseconds delay, std::function<void()> fn) {
  QTimer::singleShot(delay, this, std::move(fn));
}

void QtScheduler::RunInBackground(std::function<void()> work, std::function<void()> done) {
  pool_.start([this, work = std::move(work), done = std::move(done)]() mutable {
    NameThisThread("scheduler");
    work();
    Post(std::move(done));
  });
}

// Delivered by the loop while this object lives; dropped with it otherwise.
void QtScheduler::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

}  // namespace velnaro::ui
