#pragma once
// At most one turn per interval, whichever thread asks: the first in each interval gets it.

#include <chrono>
#include <mutex>
#include <optional>

namespace velnaro {

class RateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  // A zero interval never refuses.
  explicit RateLimit(Clock::duration interval) : interval_(interval) {}

  // True, and the turn is taken, when `interval` has passed since the last turn taken.
  bool TryTake(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (last_ && now - *last_ < interval_) return false;
    last_ = now;
    return true;
  }

 private:
  const Clock::duration interval_;
  std::mutex mutex_;
  std::optional<Clock::time_point> last_;
};

}  // namespace velnaro
