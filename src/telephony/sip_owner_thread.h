#pragma once
// The one thread that alone touches the SIP library: it runs posted tasks one at a time,
// pumps the library between them and delivers the component's events in order. Other
// threads post a task and wait for it.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

#include "telephony/sip_user_agent.h"

// Every owner-only function starts with VELNARO_OWNER_ONLY(owner). Checked builds (debug,
// and the tested build through VELNARO_THREAD_CHECKS) abort when one runs on another thread.
#if !defined(NDEBUG) || defined(VELNARO_THREAD_CHECKS)
#define VELNARO_OWNER_CHECKS 1
#define VELNARO_OWNER_ONLY(owner) (owner).AssertOwner(__func__)
#else
#define VELNARO_OWNER_CHECKS 0
#define VELNARO_OWNER_ONLY(owner) ((void)0)
#endif

namespace velnaro {

class SipOwnerThread {
 public:
  using Event = std::function<void(SipUserAgentEvents&)>;

  SipOwnerThread() = default;
  ~SipOwnerThread();
  SipOwnerThread(const SipOwnerThread&) = delete;
  SipOwnerThread& operator=(const SipOwnerThread&) = delete;

  // Starts the thread; `pump` runs on it after every task and at least every 20 ms.
  void Start(std::function<void()> pump);
  // Ends the thread once the tasks already posted have run.
  void Stop();

  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_id_.load(); }
  // Aborts, naming `function`, unless called on the owner thread.
  void AssertOwner(const char* function) const;
  // Whether owner-only code of this library checks its thread in this build.
  static bool ChecksThreads();

  // Runs fn on the owner thread, serialised with events and other tasks, and waits for it.
  // On the owner thread (from an event handler) it runs fn at once.
  void Invoke(const std::function<void()>& fn);

  // Invoke for a result.
  template <class F>
  std::invoke_result_t<F&> Call(F&& fn) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      Invoke(fn);
    } else {
      R result{};
      Invoke([&] { result = fn(); });
      return result;
    }
  }

  // Owner thread only. Events are queued, library callbacks included, and delivered by
  // Deliver() outside any library callback; a handler that calls an operation does not
  // see later events before it returns.
  void SetSink(SipUserAgentEvents* sink);
  void Queue(Event event);
  void Deliver();

 private:
  struct Task {
    const std::function<void()>* fn;
    bool done = false;
  };

  void Loop();

  std::function<void()> pump_;
  std::thread thread_;
  std::atomic<std::thread::id> owner_id_{};
  std::mutex mutex_;
  std::condition_variable task_cv_, done_cv_;
  std::deque<Task*> tasks_;
  bool stop_ = false;

  // Owner thread only.
  SipUserAgentEvents* sink_ = nullptr;
  std::deque<Event> events_;
  bool delivering_ = false;
};

}  // namespace velnaro
