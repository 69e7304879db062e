#include "telephony/sip_owner_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/thread_name.h"

namespace velnaro {

SipOwnerThread::SipOwnerThread(std::chrono::milliseconds idle_interval)
    : idle_interval_(idle_interval), wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!wake_fd_) {
    std::perror("sip-owner: eventfd");
    std::abort();
  }
}

SipOwnerThread::~SipOwnerThread() { Stop(); }

void SipOwnerThread::Start(std::function<void()> pump, std::function<bool()> busy,
                           IdleWait idle_wait) {
  pump_ = std::move(pump);
  busy_ = std::move(busy);
  idle_wait_ = std::move(idle_wait);
  thread_ = std::thread([this] {
    NameThisThread("sip-owner");
    Loop();
  });
}

void SipOwnerThread::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
  thread_.join();
}

void SipOwnerThread::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_.get(), &one, sizeof one);
}

void SipOwnerThread::Wait(std::chrono::milliseconds ms) {
  waiting_ = true;
  if (idle_wait_ && ms > kCadence) {
    idle_wait_(wake_fd_.get(), static_cast<int>(ms.count()));
  } else {
    pollfd p{wake_fd_.get(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(ms.count()));
  }
  waiting_ = false;
  uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(wake_fd_.get(), &count, sizeof count);
}

void SipOwnerThread::AssertOwner(const char* function) const {
  if (OnOwnerThread()) return;
  std::fprintf(stderr, "%s: owner-thread function called from another thread\n", function);
  std::abort();
}

bool SipOwnerThread::ChecksThreads() { return VELNARO_OWNER_CHECKS; }

void SipOwnerThread::Invoke(const std::function<void()>& fn) {
  if (OnOwnerThread()) {
    fn();
    return;
  }
  Task task{&fn};
  std::unique_lock lock(mutex_);
  tasks_.push_back(&task);
  Wake();
  done_cv_.wait(lock, [&] { return task.done; });
}

// The eventfd is a counter: a task posted after the check below still ends the wait.
void SipOwnerThread::Loop() {
  using Clock = std::chrono::steady_clock;
  owner_id_ = std::this_thread::get_id();
  Clock::time_point cadence_until{};
  std::unique_lock lock(mutex_);
  while (true) {
    if (!tasks_.empty()) cadence_until = Clock::now() + kCadenceAfterTask;
    while (!tasks_.empty()) {
      Task* t = tasks_.front();
      tasks_.pop_front();
      lock.unlock();
      (*t->fn)();
      if (pump_) pump_();
      lock.lock();
      t->done = true;
      done_cv_.notify_all();
    }
    if (stop_) break;
    lock.unlock();
    if (pump_) pump_();
    const bool cadence = !busy_ || busy_() || Clock::now() < cadence_until;
    Wait(cadence ? kCadence : idle_interval_);
    lock.lock();
  }
}

void SipOwnerThread::SetSink(SipUserAgentEvents* sink) {
  VELNARO_OWNER_ONLY(*this);
  sink_ = sink;
}

void SipOwnerThread::Queue(Event event) {
  VELNARO_OWNER_ONLY(*this);
  events_.push_back(std::move(event));
  if (waiting_) Wake();  // from a library callback inside the idle wait: deliver it now
}

void SipOwnerThread::Deliver() {
  VELNARO_OWNER_ONLY(*this);
  if (delivering_) return;  // a handler called an operation: the outer loop delivers
  delivering_ = true;
  while (!events_.empty()) {
    Event e = std::move(events_.front());
    events_.pop_front();
    if (sink_) e(*sink_);
  }
  delivering_ = false;
}

}  // namespace velnaro
