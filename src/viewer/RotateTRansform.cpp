#include "viewer/RotateTRansform.h"

#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// Round to nearest, ties to even (the default floating-point rounding mode).
int RoundEven(long double x) {
  return int(std::rint(x));
}

// Copies every pixel of src to dst at origin + x * ax + y * ay, dropping those
// that fall outside dst. Both images are 32 bits per pixel. Works in tiles so
// that the column-wise writes of a quarter turn stay in cache.
void MovePixels(const QImage& src, QImage& dst, QPoint origin, QPoint ax, QPoint ay) {
  constexpr int kTile = 64;
  const int W = src.width(), H = src.height(), DW = dst.width(), DH = dst.height();
  const qsizetype dstStride = dst.bytesPerLine() / 4;
  uint32_t* out = reinterpret_cast<uint32_t*>(dst.bits());
  for (int ty = 0; ty < H; ty += kTile) {
    for (int tx = 0; tx < W; tx += kTile) {
      const int yEnd = std::min(H, ty + kTile), xEnd = std::min(W, tx + kTile);
      for (int y = ty; y < yEnd; ++y) {
        const uint32_t* in = reinterpret_cast<const uint32_t*>(src.constScanLine(y));
        for (int x = tx; x < xEnd; ++x) {
          const int dx = origin.x() + x * ax.x() + y * ay.x();
          const int dy = origin.y() + x * ax.y() + y * ay.y();
          if (dx >= 0 && dy >= 0 && dx < DW && dy < DH) out[qsizetype(dy) * dstStride + dx] = in[x];
        }
      }
    }
  }
}

}  // namespace

void TTransform2::RotateBitmapPLG(QImage& Bmp, float Rads, bool AdjustSize, const QColor& BkColor) {
  if (Bmp.isNull()) return;
  // Single precision, as the angles passed in are: cos(pi/2) is then a tiny
  // non-zero value, which the rounding of the corners absorbs.
  const float c = std::cos(Rads), s = std::sin(Rads);
  const long double W = Bmp.width(), H = Bmp.height();

  int workW = Bmp.width(), workH = Bmp.height();
  if (AdjustSize) {
    workW = RoundEven(W * std::fabs(c) + H * std::fabs(s));
    workH = RoundEven(W * std::fabs(s) + H * std::fabs(c));
  }
  const float dx = float((workW - W * c + H * s) / 2);
  const float dy = float((workH - W * s - H * c) / 2);
  // Where the source's upper-left, upper-right and lower-left corners land.
  const QPoint p0(RoundEven(dx), RoundEven(dy));
  const QPoint p1(RoundEven(W * c + dx), RoundEven(W * s + dy));
  const QPoint p2(RoundEven(dx - H * s), RoundEven(H * c + dy));

  const QImage::Format fmt =
      Bmp.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
  const QImage src = Bmp.depth() == 32 ? Bmp : Bmp.convertToFormat(fmt);
  QImage work(std::max(workW, 1), std::max(workH, 1), src.format());
  if (work.isNull()) return;

  constexpr float kEps = 1e-4f;
  int quarter = -1;  // clockwise quarter turns, when the angle is one
  if (std::fabs(c) <= kEps)
    quarter = s > 0 ? 1 : 3;
  else if (std::fabs(s) <= kEps)
    quarter = c > 0 ? 0 : 2;

  if (quarter >= 0) {
    // The corner p0 is the source's upper-left corner; pixel (x, y) lies to its
    // lower right in source axes, which turn with the image.
    static const QPoint kAx[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    static const QPoint kAy[4] = {{0, 1}, {-1, 0}, {0, -1}, {1, 0}};
    static const QPoint kShift[4] = {{0, 0}, {-1, 0}, {-1, -1}, {0, -1}};
    const QPoint ax = kAx[quarter], ay = kAy[quarter], origin = p0 + kShift[quarter];
    const QPoint a = origin, b = origin + ax * (Bmp.width() - 1) + ay * (Bmp.height() - 1);
    const QRect covered(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                        QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
    if (!covered.contains(work.rect())) work.fill(BkColor);
    MovePixels(src, work, origin, ax, ay);
  } else {
    work.fill(BkColor);
    QPainter painter(&work);
    const QTransform t((p1.x() - p0.x()) / W, (p1.y() - p0.y()) / W, (p2.x() - p0.x()) / H,
                       (p2.y() - p0.y()) / H, p0.x(), p0.y());
    painter.setTransform(t);
    painter.drawImage(0, 0, src);
  }
  Bmp = work;
}

void TTransform2::FlipBitmapPLG(QImage& Bmp, FlipMode _flipMode) {
  if (Bmp.isNull()) return;
  const bool horizontal = _flipMode == FlipMode::HORIZONTAL;
  Bmp.mirror(horizontal, !horizontal);
}
