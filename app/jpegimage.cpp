#include "app/jpegimage.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;  // first, so that libjpeg's pointer to it is ours too
  std::jmp_buf escape;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->escape, 1);
}

// Warnings (corrupt data, a premature end) would be printed on stderr; they
// are counted in num_warnings instead and make the picture count as corrupt.
void SilentMessage(j_common_ptr) {}

// Kept apart from DecodeJpegData so that no object with a destructor lives in
// the frame that setjmp returns to twice.
bool Decode(const unsigned char* bytes, unsigned long size, QImage& image) {
  jpeg_decompress_struct cinfo;
  ErrorManager errors;
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = ErrorExit;
  errors.pub.output_message = SilentMessage;
  if (setjmp(errors.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes, size);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;  // grey and YCbCr pictures alike come out as RGB
  jpeg_start_decompress(&cinfo);
  image = QImage(int(cinfo.output_width), int(cinfo.output_height), QImage::Format_RGB888);
  if (image.isNull()) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image.scanLine(int(cinfo.output_scanline));
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  // A truncated file decodes to the end with grey filler; show none rather
  // than half a picture.
  const bool clean = errors.pub.num_warnings == 0;
  jpeg_destroy_decompress(&cinfo);
  return clean;
}

}  // namespace

QImage DecodeJpegData(const QByteArray& data) {
  if (data.isEmpty()) return {};
  QImage image;
  if (!Decode(reinterpret_cast<const unsigned char*>(data.constData()),
              static_cast<unsigned long>(data.size()), image))
    return {};
  return image;
}

QImage DecodeJpegFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return DecodeJpegData(file.readAll());
}
