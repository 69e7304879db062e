#include "control/screen_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "control/web_server.h"
#include "platform/jpeg.h"
#include "platform/temp_files.h"

namespace velnaro {
namespace {

std::runtime_error WriteError(const std::string& path, int error) {
  return std::runtime_error("Cannot create file \"" + path + "\". " + std::strerror(error));
}

}  // namespace

ScreenCapture& DefaultScreenCapture() {
  static const auto capture = MakeX11ScreenCapture();
  return *capture;
}

RgbImage CatturaDesktop(ScreenCapture& capture) { return capture.CapturePrimary(); }

void WriteFileAtomically(const std::string& path, const void* data, size_t size) {
  static std::atomic<unsigned> counter{0};
  std::string aside;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    aside = path + ".part" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) throw WriteError(path, errno);
  }
  if (fd < 0) throw WriteError(path, EEXIST);

  const auto* p = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      close(fd);
      unlink(aside.c_str());
      throw WriteError(path, error);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    const int error = errno;
    unlink(aside.c_str());
    throw WriteError(path, error);
  }
  if (rename(aside.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(aside.c_str());
    throw WriteError(path, error);
  }
}

std::string SalvaScreenShot(ScreenCapture& capture, const Clock& clock) {
  const RgbImage picture = CatturaDesktop(capture);
  const std::vector<uint8_t> jpeg = EncodeJpeg(picture, 90);
  const std::string path = TimeStampedTempPath("img", ".jpg", clock);
  WriteFileAtomically(path, jpeg.data(), jpeg.size());
  return path;
}

void Button1Click(TwebServer& server, ScreenCapture& capture, const Clock& clock) {
  const std::string path = SalvaScreenShot(capture, clock);
  server.AggiungiLog("system/SCREENSHOT: " + path);
}

}  // namespace velnaro
