#pragma once
// Reading the picture of the primary monitor. The X11 implementation opens its own
// connection for every capture, so it may run on any thread.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velnaro {

// 8-bit RGB, rows top to bottom, no padding.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // width * height * 3

  uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * width * 3; }
  const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * width * 3; }
};

class ScreenCaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // The primary monitor at full resolution, top-left origin, without the pointer.
  // Throws ScreenCaptureError when there is no display or it cannot be read.
  virtual RgbImage CapturePrimary() = 0;
};

// X11 through libxcb. display empty means $DISPLAY. use_shm false forces plain GetImage.
std::unique_ptr<ScreenCapture> MakeX11ScreenCapture(std::string display = {},
                                                    bool use_shm = true);

}  // namespace velnaro
