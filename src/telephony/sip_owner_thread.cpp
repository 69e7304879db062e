#include "telephony/sip_owner_thread.h"

#include <cstdio>
#include <cstdlib>

#include "platform/thread_name.h"

namespace velnaro {

SipOwnerThread::~SipOwnerThread() { Stop(); }

void SipOwnerThread::Start(std::function<void()> pump) {
  pump_ = std::move(pump);
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
  task_cv_.notify_all();
  thread_.join();
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
  task_cv_.notify_all();
  done_cv_.wait(lock, [&] { return task.done; });
}

void SipOwnerThread::Loop() {
  owner_id_ = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  while (true) {
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
    lock.lock();
    task_cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return stop_ || !tasks_.empty(); });
  }
}

void SipOwnerThread::SetSink(SipUserAgentEvents* sink) {
  VELNARO_OWNER_ONLY(*this);
  sink_ = sink;
}

void SipOwnerThread::Queue(Event event) {
  VELNARO_OWNER_ONLY(*this);
  events_.push_back(std::move(event));
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
