#pragma once
// The interpreter's command table: entries keyed by exact, case-sensitive path and Action.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velnaro {

// The working values of one request, as the interpreter parsed them.
struct CommandRequest {
  std::string action;
  std::string prefix;
  std::string number;
  std::string raw_query;  // decoded entries joined with "&"
  std::string query;      // the same entries as the request carried them (encoded)
  std::string peer_ip;
  std::string path;
};

// An entry replaces reply with its own, performs its effects, then writes its log line.
// It may throw: the endpoint answers 500 with the message.
using CommandHandler = std::function<void(const CommandRequest& request, std::string& reply)>;

class CommandTable {
 public:
  void Add(const std::string& path, const std::string& action, CommandHandler handler) {
    std::lock_guard lock(mutex_);
    entries_[{path, action}] = std::move(handler);
  }
  // Copy out so a handler runs without the table's lock.
  CommandHandler Find(const std::string& path, const std::string& action) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find({path, action});
    return it == entries_.end() ? CommandHandler{} : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, CommandHandler> entries_;
};

}  // namespace velnaro
