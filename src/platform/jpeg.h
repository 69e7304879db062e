#pragma once
// JPEG encoding of captured pictures through libjpeg's IJG interface.

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/screen_capture.h"

namespace velnaro {

class JpegError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Baseline JFIF, three 8-bit components, the library's standard settings otherwise.
std::vector<uint8_t> EncodeJpeg(const PixelRows& rows, int quality = 90);
std::vector<uint8_t> EncodeJpeg(const RgbImage& image, int quality = 90);

}  // namespace velnaro
