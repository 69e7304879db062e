#pragma once
// Reading the picture of the primary monitor. Captures may run on any thread, several at
// once.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// Byte order of one pixel in memory. The X server's 24-bit visuals come as kBgrx, which
// the JPEG encoder reads directly, so a capture needs no conversion pass of its own.
enum class PixelLayout { kRgb, kBgrx };

// The rows of a picture as a reader asks for them: each once, in order from 0. A source
// that cannot give a row returns nullptr.
struct PixelRows {
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::kRgb;
  std::function<const uint8_t*(int y)> row;
};

// Rows lying in one buffer, `stride` bytes apart; the buffer must outlive the reading.
inline PixelRows RowsOf(const uint8_t* data, size_t stride, int width, int height,
                        PixelLayout layout) {
  return {width, height, layout,
          [data, stride](int y) { return data + static_cast<size_t>(y) * stride; }};
}
inline PixelRows RowsOf(const RgbImage& image) {
  return RowsOf(image.pixels.data(), static_cast<size_t>(image.width) * 3, image.width,
                image.height, PixelLayout::kRgb);
}

// A copy of the rows as 8-bit RGB.
inline RgbImage ToRgbImage(const PixelRows& rows) {
  RgbImage out{rows.width, rows.height, {}};
  out.pixels.resize(static_cast<size_t>(rows.width) * rows.height * 3);
  for (int y = 0; y < rows.height; ++y) {
    const uint8_t* s = rows.row(y);
    uint8_t* d = out.Row(y);
    if (rows.layout == PixelLayout::kRgb) {
      std::copy(s, s + static_cast<size_t>(rows.width) * 3, d);
      continue;
    }
    for (int x = 0; x < rows.width; ++x, s += 4, d += 3) {
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
    }
  }
  return out;
}

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
  // The same picture lent to `use` for as long as it runs, in whatever layout the source
  // has it, so that an encoder can read it without a copy. Exceptions from `use` pass on.
  virtual void ReadPrimary(const std::function<void(const PixelRows&)>& use) {
    const RgbImage picture = CapturePrimary();
    use(RowsOf(picture));
  }
};

// X11 through libxcb. display empty means $DISPLAY. use_shm false forces plain GetImage.
// The connection and the shared-memory segment are kept between captures.
std::unique_ptr<ScreenCapture> MakeX11ScreenCapture(std::string display = {},
                                                    bool use_shm = true);

}  // namespace velnaro
