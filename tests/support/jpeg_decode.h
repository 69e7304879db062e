#pragma once
// Reads a JPEG back for the screenshot tests and benchmark: its facts and, when asked, its
// pixels as RGB. A file libjpeg finds corrupt comes back with ok false.

#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velnaro::testing {

struct DecodedJpeg {
  bool ok = false;
  int width = 0, height = 0, components = 0;
  bool jfif = false, progressive = true;
  int luma_q0 = 0;  // first luminance quantiser, 3 at quality 90
  std::vector<uint8_t> rgb;  // empty unless the pixels were asked for
  uint8_t At(int x, int y, int c) const { return rgb[(static_cast<size_t>(y) * width + x) * 3 + c]; }
};

inline DecodedJpeg DecodeJpeg(const std::vector<uint8_t>& bytes, bool pixels = true) {
  struct Errors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
  };
  DecodedJpeg d;
  jpeg_decompress_struct cinfo;
  Errors err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = [](j_common_ptr info) {
    std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
  };
  err.base.emit_message = [](j_common_ptr info, int level) {
    if (level < 0) std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);  // corrupt
  };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return DecodedJpeg{};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  d.width = static_cast<int>(cinfo.image_width);
  d.height = static_cast<int>(cinfo.image_height);
  d.components = cinfo.num_components;
  d.jfif = cinfo.saw_JFIF_marker;
  d.progressive = cinfo.progressive_mode;
  d.luma_q0 = cinfo.quant_tbl_ptrs[0] ? cinfo.quant_tbl_ptrs[0]->quantval[0] : 0;
  if (pixels) {
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    d.rgb.resize(static_cast<size_t>(d.width) * d.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = d.rgb.data() + static_cast<size_t>(cinfo.output_scanline) * d.width * 3;
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
  }
  jpeg_destroy_decompress(&cinfo);
  d.ok = true;
  return d;
}

}  // namespace velnaro::testing
