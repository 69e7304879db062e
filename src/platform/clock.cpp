#include "platform/clock.h"

#include <atomic>
#include <cstdio>

namespace velnaro {

LocalTime SystemClock::Now() const {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ms)};
}

namespace {
SystemClock g_system_clock;
std::atomic<Clock*> g_clock{nullptr};
}  // namespace

Clock& DefaultClock() {
  Clock* c = g_clock.load();
  return c ? *c : g_system_clock;
}

void SetDefaultClock(Clock* clock) { g_clock.store(clock); }

std::string FormatTime(const LocalTime& t, const std::string& picture) {
  std::string out;
  char buf[8];
  auto two = [&](int v) {
    std::snprintf(buf, sizeof buf, "%02d", v % 100);
    out += buf;
  };
  for (size_t i = 0; i < picture.size();) {
    auto starts = [&](const char* p) { return picture.compare(i, std::char_traits<char>::length(p), p) == 0; };
    if (starts("yyyy")) {
      std::snprintf(buf, sizeof buf, "%04d", t.year % 10000);
      out += buf;
      i += 4;
    } else if (starts("zzz")) {
      std::snprintf(buf, sizeof buf, "%03d", t.millisecond % 1000);
      out += buf;
      i += 3;
    } else if (starts("yy")) {
      two(t.year);
      i += 2;
    } else if (starts("mm")) {
      two(t.month);
      i += 2;
    } else if (starts("dd")) {
      two(t.day);
      i += 2;
    } else if (starts("hh")) {
      two(t.hour);
      i += 2;
    } else if (starts("nn")) {
      two(t.minute);
      i += 2;
    } else if (starts("ss")) {
      two(t.second);
      i += 2;
    } else {
      out += picture[i++];
    }
  }
  return out;
}

}  // namespace velnaro
