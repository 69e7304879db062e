#pragma once
// The one thread that alone touches the SIP library: it runs posted tasks one at a time,
// pumps the library between them and delivers the component's events in order. Other
// threads post a task and wait for it. While its user needs no cadence (no call) it sleeps
// until a task or an event comes, or the idle interval passes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/unique_fd.h"
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

  // Blocks until `wake_fd` is readable or `ms` pass, serving meanwhile what else it knows
  // (the library's sockets and timers). Runs on the owner thread.
  using IdleWait = std::function<void(int wake_fd, int ms)>;

  static constexpr std::chrono::milliseconds kCadence{20};
  // How long the cadence goes on after a task: what it started (a registration, a call
  // being set up) may need the library's own iteration soon.
  static constexpr std::chrono::milliseconds kCadenceAfterTask{1000};
  // Longest sleep while idle: the library's own once-a-second work still runs.
  static constexpr std::chrono::milliseconds kIdleInterval{1000};

  explicit SipOwnerThread(std::chrono::milliseconds idle_interval = kIdleInterval);
  ~SipOwnerThread();
  SipOwnerThread(const SipOwnerThread&) = delete;
  SipOwnerThread& operator=(const SipOwnerThread&) = delete;

  // Starts the thread; `pump` runs on it after every task and after every wait. The wait is
  // 20 ms while `busy` holds (always, without it) or shortly after a task; otherwise
  // `idle_wait` (a plain wait for the wake-up without it) for up to the idle interval.
  void Start(std::function<void()> pump, std::function<bool()> busy = {}, IdleWait idle_wait = {});
  // Ends the thread once the tasks already posted have run.
  void Stop();
  // From any thread, without waiting: the thread pumps again soon, for something its pump
  // looks at that changed elsewhere (a sound device).
  void Wake();

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
  // see later events before it returns. An event queued during the idle wait ends it.
  void SetSink(SipUserAgentEvents* sink);
  void Queue(Event event);
  void Deliver();

 private:
  struct Task {
    const std::function<void()>* fn;
    bool done = false;
  };

  void Loop();
  void Wait(std::chrono::milliseconds ms);

  const std::chrono::milliseconds idle_interval_;
  std::function<void()> pump_;
  std::function<bool()> busy_;
  IdleWait idle_wait_;
  const UniqueFd wake_fd_;  // an eventfd: tasks, events, Wake and Stop write it
  std::thread thread_;
  std::atomic<std::thread::id> owner_id_{};
  std::mutex mutex_;
  std::condition_variable done_cv_;
  std::deque<Task*> tasks_;
  bool stop_ = false;

  // Owner thread only.
  SipUserAgentEvents* sink_ = nullptr;
  std::deque<Event> events_;
  bool delivering_ = false;
  bool waiting_ = false;  // in the wait between two pumps
};

}  // namespace velnaro
