#pragma once
// Tells when the workstation's network may have moved: an IPv4 address, a link or an IPv4
// route changed, or the system came back from sleep. A burst of changes (a new lease, a
// VPN reconnecting, a dock) is one call, made once the changes have settled.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace velnaro {

struct NetworkWatchOptions {
  // Quiet time after the last change before the call; a burst that never settles is
  // reported after eight times this anyway.
  std::chrono::milliseconds settle{1000};
  // Where logind announces sleep and resume: "" the system bus, "-" none, else a bus
  // address (a private bus in tests).
  std::string sleep_bus;
};

// rtnetlink in the network namespace of the thread that starts it, and logind's
// PrepareForSleep(false) on the bus. Its own thread ("netwatch") waits on the sockets and
// wakes only for them, or for a burst's deadline; `on_change` runs there.
class LinuxNetworkWatch final {
 public:
  explicit LinuxNetworkWatch(std::function<void()> on_change, NetworkWatchOptions options = {});
  ~LinuxNetworkWatch();
  LinuxNetworkWatch(const LinuxNetworkWatch&) = delete;
  LinuxNetworkWatch& operator=(const LinuxNetworkWatch&) = delete;

  // False, with the reason, when rtnetlink cannot be opened. A missing bus only costs the
  // resume events: `warning` then says so and the watch runs without them.
  bool Start(std::string* error = nullptr, std::string* warning = nullptr);
  void Stop();

 private:
  struct Bus;
  void Loop();
  bool DrainNetlink();  // true when a change of interest arrived

  const std::function<void()> on_change_;
  const NetworkWatchOptions options_;
  UniqueFd netlink_;
  UniqueFd wake_;  // eventfd: Stop
  Bus* bus_ = nullptr;
  std::mutex mutex_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velnaro
