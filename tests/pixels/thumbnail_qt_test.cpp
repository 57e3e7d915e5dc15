#include <gtest/gtest.h>

#include <QImage>
#include <vector>

#include "pixels/ImageUtilities.h"

namespace {

QImage Uniform(int w, int h, int v) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(qRgb(v, v, v));
  return img;
}

QSize ThumbSize(int w, int h) {
  QImage dest;
  TImageHandler::CreateThumbnail(Uniform(w, h, 50), dest, 100);
  return dest.size();
}

int Channel(const QImage& img, int x, int y, int c) {
  return img.constScanLine(y)[3 * x + c];
}

}  // namespace

TEST(Thumbnail, TargetSizes) {
  EXPECT_EQ(ThumbSize(512, 512), QSize(100, 100));
  EXPECT_EQ(ThumbSize(640, 480), QSize(100, 75));
  EXPECT_EQ(ThumbSize(256, 1024), QSize(25, 100));
  EXPECT_EQ(ThumbSize(101, 30), QSize(100, 29));  // trunc(29.7)
  // Too thin for one pixel across at this size: one pixel is kept.
  EXPECT_EQ(ThumbSize(1, 1000), QSize(1, 100));
}

TEST(Thumbnail, SmallImagesAreCopiedUnchanged) {
  QImage src(80, 60, QImage::Format_RGB32);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) src.setPixel(x, y, qRgb(x, y, (x * y) & 255));
  QImage dest;
  TImageHandler::CreateThumbnail(src, dest, 100);
  ASSERT_EQ(dest.size(), QSize(80, 60));
  EXPECT_EQ(dest.depth(), 24);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) ASSERT_EQ(dest.pixel(x, y), src.pixel(x, y)) << x << "," << y;

  TImageHandler::CreateThumbnail(QImage(), dest, 100);
  EXPECT_TRUE(dest.isNull());
}

TEST(Thumbnail, UniformBoxesComeOutOneLevelLower) {
  // 640 x 480 has boxes of 6 x 6 and 7 x 6 pixels; every level v >= 1 becomes
  // v - 1 through the truncated reciprocal, and the sharpening keeps uniform areas.
  for (int v : {0, 1, 100, 255}) {
    QImage dest;
    TImageHandler::CreateThumbnail(Uniform(640, 480, v), dest, 100);
    ASSERT_EQ(dest.size(), QSize(100, 75));
    const int expected = v == 0 ? 0 : v - 1;
    for (int y = 0; y < dest.height(); ++y)
      for (int x = 0; x < dest.width(); ++x)
        ASSERT_EQ(dest.pixel(x, y), qRgb(expected, expected, expected)) << v << " at " << x;
  }
}

TEST(Thumbnail, VeryWideBoxesAreStillAveraged) {
  // 30000 x 300 gives one row of 300 x 300 boxes: too many pixels for the
  // reciprocal, so the plain mean is taken instead of a black thumbnail.
  QImage dest;
  TImageHandler::CreateThumbnail(Uniform(30000, 300, 100), dest, 100);
  ASSERT_EQ(dest.size(), QSize(100, 1));
  EXPECT_EQ(dest.pixel(50, 0), qRgb(100, 100, 100));
}

TEST(Thumbnail, SharpeningWorksInPlaceTopToBottom) {
  // 200 x 200 -> 2 x 2 boxes: background 101 -> 100, one box of 201 -> 200,
  // and one dark box 0 among the bright.
  QImage src = Uniform(200, 200, 101);
  for (int y = 100; y < 102; ++y)
    for (int x = 100; x < 102; ++x) src.setPixel(x, y, qRgb(201, 201, 201));
  for (int y = 20; y < 22; ++y)
    for (int x = 20; x < 22; ++x) src.setPixel(x, y, qRgb(0, 0, 0));
  src.setPixel(160, 160, qRgb(255, 0, 101));  // one channel at a time
  src.setPixel(161, 160, qRgb(255, 0, 101));
  src.setPixel(160, 161, qRgb(255, 0, 101));
  src.setPixel(161, 161, qRgb(255, 0, 101));
  QImage dest;
  TImageHandler::CreateThumbnail(src, dest, 100);
  ASSERT_EQ(dest.size(), QSize(100, 100));

  // The row above is sharpened first and sees the bright pixel unchanged...
  EXPECT_EQ(Channel(dest, 49, 49, 0), 87);  // (12 x 100 - (3 x 100 + 200)) / 8 = 87.5
  EXPECT_EQ(Channel(dest, 51, 49, 0), 87);
  // ... the bright pixel sees its upper neighbours already sharpened ...
  EXPECT_EQ(Channel(dest, 50, 50, 0), 253);  // (12 x 200 - (87 + 87 + 100 + 100)) / 8
  // ... and the row below sees the bright pixel sharpened.
  EXPECT_EQ(Channel(dest, 49, 51, 0), 80);  // (1200 - (253 + 3 x 100)) / 8 = 80.9
  EXPECT_EQ(Channel(dest, 51, 51, 0), 80);
  EXPECT_EQ(Channel(dest, 50, 49, 0), 100);  // straight neighbours play no part

  EXPECT_EQ(Channel(dest, 10, 10, 0), 0);    // (0 - 400) / 8 limited to 0
  EXPECT_EQ(Channel(dest, 80, 80, 0), 255);  // (12 x 254 - 400) / 8 limited to 255
  EXPECT_EQ(Channel(dest, 80, 80, 1), 0);
  EXPECT_EQ(Channel(dest, 80, 80, 2), 100);
  // Borders are not sharpened.
  EXPECT_EQ(Channel(dest, 0, 0, 0), 100);
  EXPECT_EQ(Channel(dest, 99, 50, 0), 100);
}

namespace {

DICOMdata Header(int columns, int rows, int bits = 16, int samples = 1) {
  DICOMdata h;
  h.XYZdim = {columns, rows, 1, 1};
  h.Allocbits_per_pixel = bits;
  h.SamplesPerPixel = samples;
  return h;
}

int Grey(const QImage& img, int x) {
  return qRed(img.pixel(x, 0));
}

}  // namespace

TEST(ThumbnailBitmap, WindowSpansTheDataWithoutAHeaderWindow) {
  DICOMdata h = Header(3, 1);
  DecodedFrame f;
  f.buff16 = {100, 600, 1100};
  const QImage img = BuildThumbnailBitmap(h, f);
  ASSERT_EQ(img.size(), QSize(3, 1));
  EXPECT_EQ(Grey(img, 0), 0);
  EXPECT_EQ(Grey(img, 1), 128);
  EXPECT_EQ(Grey(img, 2), 255);
  EXPECT_EQ(h.WindowWidth, 0);  // the header is not changed

  // The header window is used even when its centre misses the data.
  h.WindowWidth = 100;
  h.WindowCenter = 5000;
  EXPECT_EQ(Grey(BuildThumbnailBitmap(h, f), 2), 0);
}

TEST(ThumbnailBitmap, Monochrome1ShowsLowestValuesWhite) {
  DICOMdata h = Header(2, 1);
  h.Monochrome = 1;
  DecodedFrame f;
  f.buff16 = {0, 1000};
  const QImage img = BuildThumbnailBitmap(h, f);
  EXPECT_EQ(Grey(img, 0), 255);
  EXPECT_EQ(Grey(img, 1), 0);

  DICOMdata b = Header(2, 1, 8);
  b.Monochrome = 1;
  DecodedFrame bytes;
  bytes.buff8 = {0, 200};
  const QImage byteImg = BuildThumbnailBitmap(b, bytes);
  EXPECT_EQ(Grey(byteImg, 0), 255);
  EXPECT_EQ(Grey(byteImg, 1), 55);
}

TEST(ThumbnailBitmap, UnsignedDataAndRawColour) {
  DICOMdata h = Header(2, 1);
  h.pixel_representation = 0;
  DecodedFrame f;
  f.buff16 = {int16_t(1000), int16_t(60000 - 65536)};
  const QImage img = BuildThumbnailBitmap(h, f);
  EXPECT_EQ(Grey(img, 0), 0);
  EXPECT_EQ(Grey(img, 1), 255);

  DICOMdata c = Header(1, 1, 8, 3);
  DecodedFrame rgb;
  rgb.buff24 = {10, 20, 30};
  EXPECT_EQ(BuildThumbnailBitmap(c, rgb).pixel(0, 0), qRgb(10, 20, 30));
}

TEST(ThumbnailBitmap, NothingToShow) {
  DICOMdata h = Header(2, 2);
  DecodedFrame uniform;
  uniform.buff16 = {7, 7, 7, 7};
  EXPECT_TRUE(BuildThumbnailBitmap(h, uniform).isNull());
  DecodedFrame shortFrame;
  shortFrame.buff16 = {1, 2, 3};
  EXPECT_TRUE(BuildThumbnailBitmap(h, shortFrame).isNull());
  EXPECT_TRUE(BuildThumbnailBitmap(Header(2, 2, 8), shortFrame).isNull());
}
