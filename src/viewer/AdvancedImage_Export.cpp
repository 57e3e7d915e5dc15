// Export of what a cell shows as a JPEG file.
#include <QBuffer>
#include <QFile>
#include <QPainter>
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "dicom/SafeOutput.h"
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

// A failed export never leaves a broken file or loses the old one, and a
// device or FIFO named as the target is written, never replaced.
bool WriteWhole(const QString& path, const QByteArray& bytes, QString* error) {
  const std::string target = QFile::encodeName(path).toStdString();
  std::string why;
  if (WriteFileSafely(target, std::string_view(bytes.constData(), size_t(bytes.size())), why))
    return true;
  // Callers name the file themselves.
  if (why.rfind(target + ": ", 0) == 0) why.erase(0, target.size() + 2);
  if (error) *error = QString::fromLocal8Bit(why.c_str());
  return false;
}

}  // namespace

QImage TadvancedImage::Picture(bool ownResolution, bool withoutIdentity) {
  std::lock_guard lock(FState);
  // Without an image the cell's view is its black surface; there is no image resolution.
  if (ownResolution && bmp.isNull()) return {};
  SyncSurface();
  const QSize size = ownResolution ? bmp.size() : img.size();
  QImage picture(size, QImage::Format_RGB32);
  if (picture.isNull()) return {};
  // The view is set for the picture and put back; every step below holds the
  // cell's lock, so no other thread sees it in between.
  const int zoom = zoomFactor;
  const QPoint viewCentre = viewerCenter, centre = imageCenter;
  if (ownResolution) {
    zoomFactor = 100;
    // The bitmap's left and top edges land on the picture's first pixel.
    viewerCenter = QPoint((size.width() + 1) / 2, (size.height() + 1) / 2);
    imageCenter = viewerCenter;
  }
  {
    std::lock_guard surface(FSurfaceLock);
    std::swap(img, picture);
    FWithoutIdentity = withoutIdentity;
    PaintLayers(false);
    FWithoutIdentity = false;
    std::swap(img, picture);
  }
  zoomFactor = zoom;
  viewerCenter = viewCentre;
  imageCenter = centre;
  return picture;
}

bool TadvancedImage::SaveJPEG(const QString& path, QString* error, bool ownResolution,
                              bool withoutIdentity) {
  const auto fail = [&](const QString& why) {
    if (error) *error = why;
    return false;
  };
  // Converted from a named copy: painting on what converting a temporary in
  // place gave crashed in the raster engine.
  const QImage picture = Picture(ownResolution, withoutIdentity);
  QImage work = picture.convertToFormat(QImage::Format_RGB888);
  if (work.isNull()) return fail(QStringLiteral("the cell has no picture"));
  if (!ownResolution) {
    // The cell's view is framed in black; the image's own pixels are not covered.
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
  return WriteWhole(path, bytes, error);
}

bool TadvancedImage::SavePNG(const QString& path, QString* error, bool ownResolution,
                             bool withoutIdentity) {
  const QImage picture = Picture(ownResolution, withoutIdentity);
  if (picture.isNull()) {
    if (error) *error = QStringLiteral("the cell has no picture");
    return false;
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!picture.convertToFormat(QImage::Format_RGB888).save(&buffer, "PNG")) {
    if (error) *error = QStringLiteral("the picture cannot be encoded as PNG");
    return false;
  }
  return WriteWhole(path, bytes, error);
}
