#include "platform/jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <new>
#include <string>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace velnaro {
namespace {

// libjpeg's default error handler exits the process; jump back out instead.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info) {
  auto* err = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, err->message);
  std::longjmp(err->jump, 1);
}

void NoOutput(j_common_ptr) {}

// Output straight into the caller's vector. libjpeg's own memory destination swaps its
// buffer when it grows and frees the old one, so after an error the pointer it handed out
// is stale; here the vector is the only owner, whatever happens.
struct VectorDestination {
  jpeg_destination_mgr base;
  std::vector<uint8_t>* out;
  size_t initial;
};

VectorDestination* DestinationOf(j_compress_ptr cinfo) {
  return reinterpret_cast<VectorDestination*>(cinfo->dest);
}

// No exception may cross libjpeg's C frames: a failed allocation becomes its own error.
bool Resize(std::vector<uint8_t>& out, size_t size) {
  try {
    out.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void InitDestination(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  if (!Resize(*d->out, d->initial)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
  d->base.next_output_byte = d->out->data();
  d->base.free_in_buffer = d->out->size();
}

// Called with the buffer full.
boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  const size_t used = d->out->size();
  if (!Resize(*d->out, used * 2)) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
  d->base.next_output_byte = d->out->data() + used;
  d->base.free_in_buffer = d->out->size() - used;
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  VectorDestination* d = DestinationOf(cinfo);
  d->out->resize(d->out->size() - d->base.free_in_buffer);
}

// No C++ objects with destructors live in this frame, so longjmp out of it is safe.
bool Compress(const PixelRows& rows, int quality, std::vector<uint8_t>& out, char* message) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = ErrorExit;
  err.base.output_message = NoOutput;
  err.message[0] = '\0';
  // A screen at quality 90 mostly fits in a quarter of a byte per pixel.
  VectorDestination dest{{}, &out,
                         static_cast<size_t>(rows.width) * rows.height / 4 + 16384};
  dest.base.init_destination = InitDestination;
  dest.base.empty_output_buffer = EmptyOutputBuffer;
  dest.base.term_destination = TermDestination;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    return false;
  }
  jpeg_create_compress(&cinfo);
  cinfo.dest = &dest.base;
  cinfo.image_width = static_cast<JDIMENSION>(rows.width);
  cinfo.image_height = static_cast<JDIMENSION>(rows.height);
  const bool bgrx = rows.layout == PixelLayout::kBgrx;
  cinfo.input_components = bgrx ? 4 : 3;
  cinfo.in_color_space = bgrx ? JCS_EXT_BGRX : JCS_RGB;
  jpeg_set_defaults(&cinfo);  // YCbCr: three components whatever the input
  jpeg_set_quality(&cinfo, quality, TRUE);  // baseline-compatible tables
  cinfo.write_JFIF_header = TRUE;
  jpeg_start_compress(&cinfo, TRUE);
  // One row group at a time: the library converts and downsamples in groups of 16.
  JSAMPROW batch[16];
  bool complete = true;
  while (complete && cinfo.next_scanline < cinfo.image_height) {
    const int first = static_cast<int>(cinfo.next_scanline);
    const int count = std::min<int>(16, rows.height - first);
    for (int i = 0; i < count && complete; ++i) {
      batch[i] = const_cast<JSAMPROW>(rows.row(first + i));
      complete = batch[i] != nullptr;
    }
    if (complete) jpeg_write_scanlines(&cinfo, batch, static_cast<JDIMENSION>(count));
  }
  // With rows missing the library refuses to finish; its error ends the encoding.
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeJpeg(const PixelRows& rows, int quality) {
  if (rows.width <= 0 || rows.height <= 0 || !rows.row)
    throw JpegError("Cannot encode the picture: it is empty");
  std::vector<uint8_t> out;
  char message[JMSG_LENGTH_MAX] = {};
  if (!Compress(rows, quality, out, message))
    throw JpegError(std::string("Cannot encode the picture: ") + message);
  return out;
}

std::vector<uint8_t> EncodeJpeg(const RgbImage& image, int quality) {
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() < static_cast<size_t>(image.width) * image.height * 3)
    throw JpegError("Cannot encode the picture: it is empty");
  return EncodeJpeg(RowsOf(image), quality);
}

}  // namespace velnaro
