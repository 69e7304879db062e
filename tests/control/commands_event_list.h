#pragma once
// One list of effects, in order, that several threads add to: the fake phone's operations
// and the service log's lines, so that the two can be ordered.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velnaro::testing {

class EventList {
 public:
  void Add(std::string e) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    auto out = std::move(events_);
    events_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace velnaro::testing
