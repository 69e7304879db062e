#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace velnaro {

FileReplacement::FileReplacement(std::string path, FileAccess access) : path_(std::move(path)) {
  static std::atomic<unsigned> counter{0};
  const mode_t mode = access == FileAccess::kOwnerOnly ? 0600
                      : access == FileAccess::kEveryone  ? 0644
                                                         : 0666;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    aside_ = path_ + ".part" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    fd_ = ::open(aside_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_ < 0 && errno != EEXIST) {
      error_ = errno;
      return;
    }
  }
  if (fd_ < 0) {
    error_ = EEXIST;
    return;
  }
  if (access != FileAccess::kUsual && ::fchmod(fd_, mode) != 0) Abandon(errno);
}

FileReplacement::~FileReplacement() {
  if (fd_ >= 0) Abandon(ECANCELED);
}

void FileReplacement::Abandon(int error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(aside_.c_str());
  if (error_ == 0) error_ = error;
}

bool FileReplacement::Write(std::string_view data) {
  while (error_ == 0 && !data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Abandon(n < 0 ? errno : EIO);
      break;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return error_ == 0;
}

bool FileReplacement::WriteAt(uint64_t offset, std::string_view data) {
  while (error_ == 0 && !data.empty()) {
    const ssize_t n = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Abandon(n < 0 ? errno : EIO);
      break;
    }
    data.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return error_ == 0;
}

int FileReplacement::Commit(bool durable) {
  if (error_ != 0) return error_;
  if (durable && ::fsync(fd_) != 0) {
    Abandon(errno);
    return error_;
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 || ::rename(aside_.c_str(), path_.c_str()) != 0) {
    Abandon(errno);
    return error_;
  }
  if (durable) {
    const auto slash = path_.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  return 0;
}

int ReplaceFile(const std::string& path, std::string_view data, FileAccess access, bool durable) {
  FileReplacement file(path, access);
  file.Write(data);
  return file.Commit(durable);
}

}  // namespace velnaro
