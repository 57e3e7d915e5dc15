#include <gtest/gtest.h>

#include <QImage>

#include "viewer/Orientation.h"
#include "viewer/RotateTRansform.h"

namespace {

// Every pixel distinct: its colour encodes its position.
QImage Distinct(int w, int h, QImage::Format fmt = QImage::Format_RGB32) {
  QImage img(w, h, fmt);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb(x, y, 7));
  return img;
}

QRgb At(const QImage& img, int x, int y) {
  return img.pixel(x, y) | 0xFF000000u;
}

}  // namespace

TEST(RotateBitmap, QuarterTurnsMoveEveryPixelExactly) {
  const int W = 5, H = 3;
  const QImage src = Distinct(W, H);

  QImage r90 = src;
  TTransform2::RotateBitmapPLG(r90, RotationRads(Angel90), true, Qt::black);
  ASSERT_EQ(r90.size(), QSize(H, W));
  QImage r180 = src;
  TTransform2::RotateBitmapPLG(r180, RotationRads(Angel180), true, Qt::black);
  ASSERT_EQ(r180.size(), QSize(W, H));
  QImage r270 = src;
  TTransform2::RotateBitmapPLG(r270, RotationRads(Angel270), true, Qt::black);
  ASSERT_EQ(r270.size(), QSize(H, W));

  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const QRgb p = At(src, x, y);
      EXPECT_EQ(At(r90, H - 1 - y, x), p) << x << "," << y;  // clockwise
      EXPECT_EQ(At(r180, W - 1 - x, H - 1 - y), p) << x << "," << y;
      EXPECT_EQ(At(r270, y, W - 1 - x), p) << x << "," << y;
    }
  }
}

TEST(RotateBitmap, LargeAndOddSizesTurnExactly) {
  // Larger than one tile of the pixel mover, with odd and even sides.
  const QImage src = Distinct(131, 70);
  QImage img = src;
  for (int i = 0; i < 4; ++i) {
    TTransform2::RotateBitmapPLG(img, RotationRads(Angel90), true, Qt::black);
    EXPECT_EQ(img.size(), i % 2 == 0 ? QSize(70, 131) : QSize(131, 70));
  }
  EXPECT_EQ(img.convertToFormat(QImage::Format_RGB32), src);
  TTransform2::RotateBitmapPLG(img, RotationRads(Angel90), true, Qt::black);
  EXPECT_EQ(At(img, 69, 0), At(src, 0, 0));
  EXPECT_EQ(At(img, 0, 130), At(src, 130, 69));
}

TEST(RotateBitmap, KeptSizeCentresAndClipsWithTheBackground) {
  const QImage src = Distinct(5, 3);
  QImage img = src;
  TTransform2::RotateBitmapPLG(img, RotationRads(Angel90), false, Qt::blue);
  ASSERT_EQ(img.size(), QSize(5, 3));
  // The centre pixel stays where it was; the turned picture is 3 wide.
  EXPECT_EQ(At(img, 2, 1), At(src, 2, 1));
  EXPECT_EQ(At(img, 3, 1), At(src, 2, 0));  // source (x, y) -> (3 - y, x - 1)
  EXPECT_EQ(At(img, 1, 2), At(src, 3, 2));
  EXPECT_EQ(At(img, 0, 1), qRgb(0, 0, 255));
  EXPECT_EQ(At(img, 4, 1), qRgb(0, 0, 255));
}

TEST(RotateBitmap, OtherFormatsAndAnglesStillTurn) {
  QImage rgb24 = Distinct(4, 2, QImage::Format_RGB888);
  TTransform2::RotateBitmapPLG(rgb24, RotationRads(Angel270), true, Qt::black);
  ASSERT_EQ(rgb24.size(), QSize(2, 4));
  EXPECT_EQ(At(rgb24, 0, 3), qRgb(0, 0, 7));

  // 45 degrees: the bounding square of the turned picture, corners background.
  QImage diag(10, 10, QImage::Format_RGB32);
  diag.fill(Qt::white);
  TTransform2::RotateBitmapPLG(diag, 0.785398f, true, Qt::black);
  EXPECT_EQ(diag.size(), QSize(14, 14));
  EXPECT_EQ(At(diag, 0, 0), qRgb(0, 0, 0));
  EXPECT_EQ(At(diag, 7, 7), qRgb(255, 255, 255));

  QImage none;
  TTransform2::RotateBitmapPLG(none, 1.0f, true, Qt::black);
  EXPECT_TRUE(none.isNull());
}

TEST(FlipBitmap, MirrorsColumnsOrRows) {
  const QImage src = Distinct(4, 3);
  QImage h = src;
  TTransform2::FlipBitmapPLG(h, FlipMode::HORIZONTAL);
  QImage v = src;
  TTransform2::FlipBitmapPLG(v, FlipMode::VERTICAL);
  ASSERT_EQ(h.size(), src.size());
  ASSERT_EQ(v.size(), src.size());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      EXPECT_EQ(At(h, 3 - x, y), At(src, x, y));
      EXPECT_EQ(At(v, x, 2 - y), At(src, x, y));
    }
  }
}
