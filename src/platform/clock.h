#pragma once
// Wall-clock time as the system's local time, behind an interface so tests can fix it.

#include <chrono>
#include <ctime>
#include <string>

namespace velnaro {

struct LocalTime {
  int year = 1970, month = 1, day = 1;  // month 1..12
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  LocalTime Now() const override;
};

// The process-wide clock; tests may install their own.
Clock& DefaultClock();
void SetDefaultClock(Clock* clock);  // nullptr restores the system clock

// Formats a LocalTime with the picture letters used across the program:
// yyyy yy mm(month) dd hh nn ss zzz; everything else is copied.
// "mm" is the month, "nn" the minutes (the classic convention).
std::string FormatTime(const LocalTime& t, const std::string& picture);

}  // namespace velnaro
