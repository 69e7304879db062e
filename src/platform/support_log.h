#pragma once
// The support log: the lines of the diagnostic windows, the start-up and the SIP library's
// warnings in one file that support can ask an operator for. Each line carries an ISO 8601
// time; the file rotates; values declared secret never reach it.

#include <cstddef>
#include <string>
#include <string_view>

namespace velnaro {

enum class LogLevel { kInfo, kWarning, kError };

struct SupportLogOptions {
  std::string path;  // the file; missing folders are made 0700, the file is 0600
  std::size_t max_size = 5 * 1024 * 1024;
  std::size_t max_files = 5;  // the current file and four older ones (.1 newest)
};

// $XDG_STATE_HOME/velnaro-ds/velnaro-ds.log, ~/.local/state/... without it; empty when
// neither variable names a folder.
std::string SupportLogPath();

// The open log, for as long as this object lives: one at a time per process. Lines are
// queued and written by a thread of the log's own, so writing never waits for the disk
// (a home folder on a slow file server, a rotation); when more than a few thousand lines
// wait, the oldest are dropped. Destroying it writes what is queued and closes the file.
class SupportLogFile {
 public:
  explicit SupportLogFile(const SupportLogOptions& options);
  ~SupportLogFile();
  SupportLogFile(const SupportLogFile&) = delete;
  SupportLogFile& operator=(const SupportLogFile&) = delete;

  // Empty when the log is open, otherwise why not (lines then go nowhere).
  const std::string& error() const { return error_; }

 private:
  std::string error_;
};

// One line from `source` ("phone", "service", "startup", ...), from any thread. Control
// characters are written escaped, so a value cannot forge a line of its own. The same
// line comes at most 20 times a minute; the rest is counted and written as one line
// ("... repeated 4,812 times in the last 60 s") when the minute is over or the log closes.
void SupportLog(LogLevel level, std::string_view source, std::string_view text);

// From now on `secret` is written as "********" wherever a line would carry it.
void ConcealInSupportLog(const std::string& secret);

}  // namespace velnaro
