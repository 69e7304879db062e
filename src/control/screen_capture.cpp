#include "control/screen_capture.h"

#include <cstring>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "platform/jpeg.h"
#include "platform/temp_files.h"
#include "status/phone_status.h"

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
  const int error = ReplaceFile(path, std::string_view(static_cast<const char*>(data), size),
                                FileAccess::kOwnerOnly, false);
  if (error != 0) throw WriteError(path, error);
}

std::string SalvaScreenShot(ScreenCapture& capture, const Clock& clock) {
  // The encoder reads the capture's own rows while the capture lends them.
  std::vector<uint8_t> jpeg;
  capture.ReadPrimary([&jpeg](const PixelRows& rows) { jpeg = EncodeJpeg(rows, 90); });
  const std::string path = TimeStampedTempPath("img", ".jpg", clock);
  WriteFileAtomically(path, jpeg.data(), jpeg.size());
  return path;
}

void Button1Click(ServiceLog& log, ScreenCapture& capture, const Clock& clock) {
  const std::string path = SalvaScreenShot(capture, clock);
  log.AggiungiLog("system/SCREENSHOT: " + path);
}

}  // namespace velnaro
