#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace velnaro {
namespace {

// Closes and removes the file beside the name; returns `error` for the caller to pass on.
int Abandon(int fd, const std::string& aside, int error) {
  if (fd >= 0) ::close(fd);
  ::unlink(aside.c_str());
  return error;
}

}  // namespace

int ReplaceFile(const std::string& path, std::string_view data, FileAccess access, bool durable) {
  static std::atomic<unsigned> counter{0};
  const mode_t mode = access == FileAccess::kOwnerOnly ? 0600 : 0666;
  std::string aside;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    aside = path + ".part" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  if (access == FileAccess::kOwnerOnly && ::fchmod(fd, mode) != 0) {
    return Abandon(fd, aside, errno);
  }

  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Abandon(fd, aside, n < 0 ? errno : EIO);
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (durable && ::fsync(fd) != 0) return Abandon(fd, aside, errno);
  if (::close(fd) != 0) return Abandon(-1, aside, errno);
  if (::rename(aside.c_str(), path.c_str()) != 0) return Abandon(-1, aside, errno);
  if (durable) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  return 0;
}

}  // namespace velnaro
