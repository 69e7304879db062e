#include "platform/support_log.h"

#include <fcntl.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread_name.h"

namespace velnaro {
namespace {

// Lines that may wait for the writing thread before the oldest are dropped.
constexpr std::size_t kQueuedLines = 256;
constexpr char kMask[] = "********";

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
  // Queuing only: the file is written on the log's own thread.
  if (state.lines.size() >= kQueuedLines) state.lines.pop_front();
  state.lines.push_back(
      {spdlog::log_clock::now(), LevelOf(level), std::string(source) + ": " + Escaped(line)});
  state.queued.notify_one();
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
