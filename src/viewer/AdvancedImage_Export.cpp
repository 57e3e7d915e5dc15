// Export of what a cell shows as a JPEG file.
#include <QPainter>
#include <QSaveFile>
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "viewer/AdvancedImage.h"

namespace {

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr c) {
  JpegError* e = reinterpret_cast<JpegError*>(c->err);
  (*c->err->format_message)(c, e->message);
  longjmp(e->jump, 1);
}

// Compresses an RGB888 picture: baseline, three components, the library's
// defaults at the given quality. Nothing with a destructor lives between
// setjmp and a longjmp here. The stream goes to *out (malloc'ed; the caller
// frees it, also on failure); false with the library's message in error.
bool EncodeRgb(const QImage& rgb, int quality, unsigned char** out, unsigned long* size,
               char* error) {
  jpeg_compress_struct c;
  JpegError err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.message[0] = '\0';
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&c);
    std::snprintf(error, JMSG_LENGTH_MAX, "%s", err.message);
    return false;
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, out, size);
  c.image_width = JDIMENSION(rgb.width());
  c.image_height = JDIMENSION(rgb.height());
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(int(c.next_scanline)));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return true;
}

}  // namespace

bool TadvancedImage::SaveJPEG(const QString& path, QString* error) const {
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  // A work copy of the surface as last rendered, framed in black.
  QImage work = Surface().convertToFormat(QImage::Format_RGB888);
  if (work.isNull()) return fail(QStringLiteral("the cell has no picture"));
  {
    QPainter p(&work);
    const int W = work.width(), H = work.height(), b = std::min({3, W, H});
    p.fillRect(0, 0, W, b, Qt::black);
    p.fillRect(0, H - b, W, b, Qt::black);
    p.fillRect(0, 0, b, H, Qt::black);
    p.fillRect(W - b, 0, b, H, Qt::black);
  }
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  char message[JMSG_LENGTH_MAX] = "";
  const bool encoded = EncodeRgb(work, 90, &jpeg, &size, message);
  const QByteArray bytes =
      encoded ? QByteArray(reinterpret_cast<const char*>(jpeg), qsizetype(size)) : QByteArray();
  std::free(jpeg);
  if (!encoded) return fail(QStringLiteral("the picture cannot be compressed: ") + message);
  // Written beside the target and renamed over it when complete, so a
  // failed export never leaves a broken file or loses the old one.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
  if (file.write(bytes) != bytes.size()) {
    const QString why = file.errorString();
    file.cancelWriting();
    return fail(why);
  }
  if (!file.commit()) return fail(file.errorString());
  return true;
}
