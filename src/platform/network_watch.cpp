#include "platform/network_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/thread_name.h"

namespace velnaro {

struct LinuxNetworkWatch::Bus {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  bool resumed = false;  // set by the signal handler, taken by the loop
  ~Bus() {
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }
};

namespace {

using Clock = std::chrono::steady_clock;

int OnPrepareForSleep(sd_bus_message* m, void* userdata, sd_bus_error*) {
  int going_to_sleep = 0;
  if (sd_bus_message_read(m, "b", &going_to_sleep) >= 0 && !going_to_sleep)
    *static_cast<bool*>(userdata) = true;
  return 0;
}

std::string Errno(const char* what, int e) { return std::string(what) + ": " + std::strerror(e); }

}  // namespace

LinuxNetworkWatch::LinuxNetworkWatch(std::function<void()> on_change, NetworkWatchOptions options)
    : on_change_(std::move(on_change)), options_(std::move(options)) {}

LinuxNetworkWatch::~LinuxNetworkWatch() {
  Stop();
  delete bus_;
}

bool LinuxNetworkWatch::Start(std::string* error, std::string* warning) {
  if (thread_.joinable()) return true;
  netlink_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (!netlink_ || ::bind(netlink_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    if (error) *error = Errno("rtnetlink", errno);
    netlink_.reset();
    return false;
  }
  wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_) {
    if (error) *error = Errno("eventfd", errno);
    return false;
  }

  if (options_.sleep_bus != "-") {
    auto* b = new Bus;
    int r = 0;
    if (options_.sleep_bus.empty()) {
      r = sd_bus_open_system(&b->bus);
    } else if ((r = sd_bus_new(&b->bus)) >= 0 &&
               (r = sd_bus_set_address(b->bus, options_.sleep_bus.c_str())) >= 0 &&
               (r = sd_bus_set_bus_client(b->bus, 1)) >= 0) {
      r = sd_bus_start(b->bus);
    }
    if (r >= 0)
      r = sd_bus_match_signal(b->bus, &b->slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                              "org.freedesktop.login1.Manager", "PrepareForSleep",
                              OnPrepareForSleep, &b->resumed);
    if (r < 0) {
      if (warning) *warning = Errno("no resume events from the system bus", -r);
      delete b;
    } else {
      bus_ = b;
    }
  }
  stop_ = false;
  thread_ = std::thread([this] {
    NameThisThread("netwatch");
    Loop();
  });
  return true;
}

void LinuxNetworkWatch::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

bool LinuxNetworkWatch::DrainNetlink() {
  bool changed = false;
  alignas(nlmsghdr) char buf[16384];
  while (true) {
    const ssize_t n = ::recv(netlink_.get(), buf, sizeof buf, 0);
    if (n < 0) {
      // Messages were dropped (the socket's buffer ran over): something changed.
      if (errno == ENOBUFS) {
        changed = true;
        continue;
      }
      if (errno == EINTR) continue;
      return changed;
    }
    const size_t len = static_cast<size_t>(n);
    for (size_t off = 0; off + sizeof(nlmsghdr) <= len;) {
      const auto* h = reinterpret_cast<const nlmsghdr*>(buf + off);
      if (h->nlmsg_len < sizeof(nlmsghdr) || off + h->nlmsg_len > len) break;
      off += NLMSG_ALIGN(h->nlmsg_len);
      switch (h->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
        case RTM_NEWADDR:
        case RTM_DELADDR:
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
          changed = true;
          break;
        default:
          break;
      }
    }
  }
}

void LinuxNetworkWatch::Loop() {
  bool pending = false;
  Clock::time_point first{}, last{};
  while (true) {
    pollfd fds[3] = {{netlink_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 2;
    int timeout = -1;
    if (bus_) {
      fds[2].fd = sd_bus_get_fd(bus_->bus);
      const int events = sd_bus_get_events(bus_->bus);
      fds[2].events = static_cast<short>(events > 0 ? events : POLLIN);
      count = 3;
      uint64_t usec = UINT64_MAX;
      if (sd_bus_get_timeout(bus_->bus, &usec) >= 0 && usec != UINT64_MAX) {
        struct timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t now_usec = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<uint64_t>(now.tv_nsec) / 1000u;
        timeout = usec <= now_usec ? 0 : static_cast<int>((usec - now_usec + 999) / 1000);
      }
    }
    if (pending) {
      const Clock::time_point due = std::min(last + options_.settle, first + 8 * options_.settle);
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
      const int wait = left < 0 ? 0 : static_cast<int>(left);
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    }
    if (::poll(fds, count, timeout) < 0 && errno != EINTR) return;

    bool changed = false;
    if (fds[0].revents) changed = DrainNetlink() || changed;
    if (fds[1].revents) {
      uint64_t value = 0;
      (void)!::read(wake_.get(), &value, sizeof value);
    }
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    if (bus_) {
      int r = 0;
      while ((r = sd_bus_process(bus_->bus, nullptr)) > 0) {
      }
      changed = std::exchange(bus_->resumed, false) || changed;
      if (r < 0) {  // the bus went away: the network alone from now on
        delete bus_;
        bus_ = nullptr;
      }
    }
    const Clock::time_point now = Clock::now();
    if (changed) {
      if (!pending) first = now;
      pending = true;
      last = now;
    }
    if (pending && (now >= last + options_.settle || now >= first + 8 * options_.settle)) {
      pending = false;
      on_change_();
    }
  }
}

}  // namespace velnaro
