#include "platform/support_log.h"

#include <fcntl.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/thread_name.h"

namespace velnaro {
namespace {

// Lines that may wait for the writing thread before the oldest are dropped.
constexpr std::size_t kQueuedLines = 256;
constexpr char kMask[] = "********";

// A text that comes again and again (a library complaining on every audio block) is written
// this often per window, then counted, so that it cannot rotate the history away.
constexpr int kRepeatsWritten = 20;
constexpr auto kRepeatWindow = std::chrono::seconds(60);
// Texts followed at once; more are rare, and then the counts are written out and restarted.
constexpr std::size_t kRepeatsFollowed = 1024;

using Clock = std::chrono::steady_clock;

struct Repeat {
  Clock::time_point since;
  int written = 0;
  uint64_t dropped = 0;
  LogLevel level = LogLevel::kInfo;
};

struct Line {
  spdlog::log_clock::time_point at;
  spdlog::level::level_enum level;
  std::string text;
};

// The writing thread sleeps until a line comes (the library's own pool wakes every 10 s).
struct LogState {
  std::mutex mutex;  // all but the logger's own work, which only the writer does
  std::condition_variable queued;
  std::shared_ptr<spdlog::logger> logger;
  std::deque<Line> lines;
  bool stopping = false;
  std::thread writer;
  std::vector<std::string> secrets;  // longest first
  std::unordered_map<std::string, Repeat> repeats;  // by the line as written
  Clock::time_point last_sweep;
};

// Never destroyed: a thread may still log while the program's statics go away.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

// Every missing folder of `folder` made 0700 (what the XDG rules ask of the state folder);
// our own last one made 0700 again if it was widened. 0 or the errno of the failing step.
int MakePrivateFolder(const std::string& folder) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    std::string prefix = folder.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
    return errno;
  return 0;
}

spdlog::level::level_enum LevelOf(LogLevel level) {
  switch (level) {
    case LogLevel::kWarning:
      return spdlog::level::warn;
    case LogLevel::kError:
      return spdlog::level::err;
    default:
      return spdlog::level::info;
  }
}

void Conceal(std::string& text, const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    for (size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + sizeof kMask - 1))
      text.replace(at, secret.size(), kMask);
  }
}

// Line breaks and other control characters as escapes, so one call is one line.
std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void WriteQueued(LogState& state) {
  NameThisThread("log");
  std::unique_lock lock(state.mutex);
  for (;;) {
    state.queued.wait(lock, [&] { return state.stopping || !state.lines.empty(); });
    if (state.lines.empty()) return;  // stopping, and everything written
    std::deque<Line> batch;
    batch.swap(state.lines);
    const std::shared_ptr<spdlog::logger> logger = state.logger;
    lock.unlock();
    for (const Line& l : batch) logger->log(l.at, spdlog::source_loc{}, l.level, l.text);
    lock.lock();
  }
}

// Queuing only: the file is written on the log's own thread. The lock is held.
void Enqueue(LogState& state, spdlog::level::level_enum level, std::string text) {
  if (state.lines.size() >= kQueuedLines) state.lines.pop_front();
  state.lines.push_back({spdlog::log_clock::now(), level, std::move(text)});
  state.queued.notify_one();
}

// 4812 as "4,812".
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The count of a text's lines that were not written; the lock is held.
void WriteDropped(LogState& state, const std::string& line, const Repeat& r, Clock::time_point now) {
  if (r.dropped == 0 || !state.logger) return;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now - r.since).count();
  Enqueue(state, LevelOf(r.level),
          line + " ... repeated " + Grouped(r.dropped) + " times in the last " +
              std::to_string(std::max<long long>(secs, 1)) + " s");
}

// Texts whose window has passed: their counts written, their entries forgotten.
void SweepRepeats(LogState& state, Clock::time_point now, bool all) {
  for (auto it = state.repeats.begin(); it != state.repeats.end();) {
    if (all || now - it->second.since >= kRepeatWindow) {
      WriteDropped(state, it->first, it->second, now);
      it = state.repeats.erase(it);
    } else {
      ++it;
    }
  }
  state.last_sweep = now;
}

// Whether `line` may be written now; counts it otherwise. The lock is held.
bool AdmitRepeat(LogState& state, const std::string& line, LogLevel level) {
  const Clock::time_point now = Clock::now();
  if (now - state.last_sweep >= std::chrono::seconds(1) ||
      state.repeats.size() >= kRepeatsFollowed)
    SweepRepeats(state, now, state.repeats.size() >= kRepeatsFollowed);
  auto [it, fresh] = state.repeats.try_emplace(line);
  Repeat& r = it->second;
  if (fresh) r.since = now;
  if (r.written < kRepeatsWritten) {
    ++r.written;
    return true;
  }
  ++r.dropped;
  r.level = level;
  return false;
}

}  // namespace

std::string SupportLogPath() {
  // A relative XDG_STATE_HOME is invalid by the XDG rules and ignored.
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string folder;
  if (state && state[0] == '/') {
    folder = state;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  return folder + "/velnaro-ds/velnaro-ds.log";
}

SupportLogFile::SupportLogFile(const SupportLogOptions& options) {
  const size_t slash = options.path.rfind('/');
  if (options.path.empty() || slash == std::string::npos || slash == 0) {
    error_ = "no folder for the log: neither XDG_STATE_HOME nor HOME names one";
    return;
  }
  const std::string folder = options.path.substr(0, slash);
  if (int err = MakePrivateFolder(folder)) {
    error_ = folder + ": " + std::strerror(err);
    return;
  }
  spdlog::file_event_handlers handlers;
  // The library opens with fopen: the file is made owner-only before, kept so after
  // (an older file may have been made by hand), and never passed to a child process.
  handlers.before_open = [](const spdlog::filename_t& file) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
  };
  handlers.after_open = [](const spdlog::filename_t&, std::FILE* stream) {
    const int fd = ::fileno(stream);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fchmod(fd, 0600);
  };
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        options.path, options.max_size, options.max_files > 0 ? options.max_files - 1 : 0, false,
        handlers);
    auto logger = std::make_shared<spdlog::logger>("velnaro-ds", std::move(sink));
    logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e%z [%l] %v");
    logger->set_level(spdlog::level::info);
    // Flushed by the writing thread after every line: a crash loses only what was queued.
    logger->flush_on(spdlog::level::info);
    LogState& state = State();
    std::lock_guard lock(state.mutex);
    state.logger = std::move(logger);
    state.stopping = false;
    state.writer = std::thread([&state] { WriteQueued(state); });
  } catch (const spdlog::spdlog_ex& e) {
    error_ = e.what();
  }
}

SupportLogFile::~SupportLogFile() {
  LogState& state = State();
  std::thread writer;
  {
    std::lock_guard lock(state.mutex);
    SweepRepeats(state, Clock::now(), true);
    state.stopping = true;
    writer = std::move(state.writer);
  }
  state.queued.notify_one();
  // The writer writes every queued line before it ends.
  if (writer.joinable()) writer.join();
  std::lock_guard lock(state.mutex);
  state.logger.reset();
}

void SupportLog(LogLevel level, std::string_view source, std::string_view text) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.logger) return;
  std::string line(text);
  Conceal(line, state.secrets);
  line = std::string(source) + ": " + Escaped(line);
  if (!AdmitRepeat(state, line, level)) return;
  Enqueue(state, LevelOf(level), std::move(line));
}

void ConcealInSupportLog(const std::string& secret) {
  if (secret.empty()) return;
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  auto& secrets = state.secrets;
  if (std::find(secrets.begin(), secrets.end(), secret) != secrets.end()) return;
  // Longest first, so a secret that contains another is masked whole.
  auto at = std::find_if(secrets.begin(), secrets.end(),
                         [&](const std::string& s) { return s.size() < secret.size(); });
  secrets.insert(at, secret);
}

}  // namespace velnaro
