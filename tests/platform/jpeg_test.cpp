#include "platform/jpeg.h"

#include <gtest/gtest.h>

#include <random>

namespace velnaro {
namespace {

// Noise: compresses badly, so the output outgrows any first guess of its size.
RgbImage Noise(int w, int h) {
  RgbImage img{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  std::mt19937 rng(11);
  for (auto& b : img.pixels) b = static_cast<uint8_t>(rng());
  return img;
}

// A source that fails once part of the picture is already compressed: libjpeg reports the
// missing rows from deep inside the output. The encoder used to free a buffer the library
// had already replaced (a double free under ASan, heap damage without it).
TEST(Jpeg, ASourceFailingAfterTheOutputGrewIsAnError) {
  const RgbImage picture = Noise(640, 480);
  const PixelRows whole = RowsOf(picture);
  PixelRows broken = whole;
  broken.row = [&whole](int y) { return y < 400 ? whole.row(y) : nullptr; };
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      EncodeJpeg(broken);
      FAIL() << "no error";
    } catch (const JpegError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot encode the picture: Application transferred too few scanlines");
    }
  }
  EXPECT_GT(EncodeJpeg(picture).size(), 640u * 480u / 4);  // the heap is still sound
}

// The server's BGRX rows (with padding past the last pixel) encode to exactly the bytes
// of the same picture converted to RGB first.
TEST(Jpeg, BgrxRowsEncodeLikeTheSamePictureInRgb) {
  const RgbImage rgb = Noise(333, 97);  // odd sizes: partial blocks and row groups
  const size_t stride = 333 * 4 + 12;
  std::vector<uint8_t> bgrx(stride * 97, 0xEE);
  for (int y = 0; y < 97; ++y)
    for (int x = 0; x < 333; ++x) {
      const uint8_t* s = rgb.Row(y) + x * 3;
      uint8_t* d = bgrx.data() + y * stride + x * 4;
      d[0] = s[2];
      d[1] = s[1];
      d[2] = s[0];
    }
  EXPECT_EQ(EncodeJpeg(RowsOf(bgrx.data(), stride, 333, 97, PixelLayout::kBgrx)),
            EncodeJpeg(rgb));
}

TEST(Jpeg, EmptyPicturesAreRefused) {
  EXPECT_THROW(EncodeJpeg(RgbImage{}), JpegError);
  EXPECT_THROW(EncodeJpeg(RgbImage{4, 4, std::vector<uint8_t>(10)}), JpegError);
  EXPECT_THROW(EncodeJpeg(PixelRows{4, 4, PixelLayout::kRgb, {}}), JpegError);
}

}  // namespace
}  // namespace velnaro
