#include <gtest/gtest.h>

#include <QImage>
#include <vector>

#include "pixels/DisplayBitmap.h"

namespace {

DICOMdata WordHeader(int columns, int rows) {
  DICOMdata h;
  h.XYZdim = {columns, rows, 1, 1};
  h.Allocbits_per_pixel = 16;
  h.SamplesPerPixel = 1;
  return h;
}

DecodedFrame Words(std::vector<int> values) {
  DecodedFrame f;
  for (int v : values) f.buff16.push_back(int16_t(v));
  return f;
}

// Grey level of a pixel, checking that it is grey.
int GreyAt(const QImage& img, int x, int y) {
  const QRgb c = img.pixel(x, y);
  EXPECT_EQ(qRed(c), qGreen(c));
  EXPECT_EQ(qGreen(c), qBlue(c));
  return qRed(c);
}

std::vector<int> Row(const QImage& img, int y) {
  std::vector<int> r;
  for (int x = 0; x < img.width(); ++x) r.push_back(GreyAt(img, x, y));
  return r;
}

}  // namespace

TEST(CellBitmap, CtWindowTopRowFirst) {
  DICOMdata h = WordHeader(3, 2);
  h.IntenIntercept = -1024.0f;
  h.WindowWidth = 400;
  h.WindowCenter = 40;
  const DecodedFrame f = Words({0, 864, 1064, 1264, 1265, 4000});
  const CellBitmap b = CreateCellBitmap(h, f, {});
  ASSERT_FALSE(b.bmp.isNull());
  EXPECT_EQ(b.bmp.format(), QImage::Format_RGB32);
  EXPECT_EQ(b.bmp.size(), QSize(3, 2));
  EXPECT_TRUE(b.wordImage);
  EXPECT_EQ(Row(b.bmp, 0), (std::vector<int>{0, 0, 128}));
  EXPECT_EQ(Row(b.bmp, 1), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(h.WindowWidth, 400);  // inside the data: kept

  // The user's offsets move the window in effect.
  CellGreyState s;
  s.DeltaWW = 400;
  s.DeltaWL = 200;
  const CellBitmap moved = CreateCellBitmap(h, f, s);
  EXPECT_EQ(moved.windowWidth, 800);
  EXPECT_EQ(moved.windowLevel, 240);
  EXPECT_EQ(GreyAt(moved.bmp, 2, 0), 64);  // (40 - -160) / 800 x 255 = 63.75
}

TEST(CellBitmap, Monochrome1AndInvert) {
  DICOMdata h = WordHeader(3, 1);
  h.WindowWidth = 200;
  h.WindowCenter = 100;
  h.Monochrome = 1;
  const DecodedFrame f = Words({0, 100, 200});
  EXPECT_EQ(Row(CreateCellBitmap(h, f, {}).bmp, 0), (std::vector<int>{255, 127, 0}));
  CellGreyState inverted;
  inverted.Inverted = true;
  EXPECT_EQ(Row(CreateCellBitmap(h, f, inverted).bmp, 0), (std::vector<int>{0, 128, 255}));
  h.Monochrome = 2;
  EXPECT_EQ(Row(CreateCellBitmap(h, f, inverted).bmp, 0), (std::vector<int>{255, 127, 0}));
}

TEST(CellBitmap, DefaultWindowIsWrittenBackIntoTheHeader) {
  DICOMdata h = WordHeader(2, 1);
  h.pixel_representation = 1;
  const DecodedFrame f = Words({-2000, 3000});
  CellGreyState s;
  s.DeltaWW = 10;
  const CellBitmap b = CreateCellBitmap(h, f, s);
  EXPECT_EQ(h.WindowWidth, 5000);
  EXPECT_EQ(h.WindowCenter, 500);
  EXPECT_EQ(b.windowWidth, 5010);
  EXPECT_EQ(b.windowLevel, 500);
  EXPECT_EQ(b.min16, -2000);
  EXPECT_EQ(b.max16, 3000);

  // A header centre outside the data (in rescaled units) is replaced too; a
  // lung window inside the rescaled CT data is kept.
  DICOMdata ct = WordHeader(2, 1);
  ct.IntenIntercept = -1024.0f;
  ct.WindowWidth = 1500;
  ct.WindowCenter = -600;
  CreateCellBitmap(ct, Words({0, 3000}), {});
  EXPECT_EQ(ct.WindowWidth, 1500);
  EXPECT_EQ(ct.WindowCenter, -600);
  ct.WindowCenter = 2500;
  CreateCellBitmap(ct, Words({0, 3000}), {});
  EXPECT_EQ(ct.WindowWidth, 3000);
  EXPECT_EQ(ct.WindowCenter, 476);
}

TEST(CellBitmap, UnsignedDataAbove32767IsNotWashedOut) {
  DICOMdata h = WordHeader(3, 1);
  h.pixel_representation = 0;
  const CellBitmap b = CreateCellBitmap(h, Words({30000, 45000, 60000}), {});
  EXPECT_EQ(h.WindowWidth, 30000);
  EXPECT_EQ(h.WindowCenter, 45000);
  EXPECT_EQ(Row(b.bmp, 0), (std::vector<int>{0, 128, 255}));
}

TEST(CellBitmap, LookupTableRangeJudgesTheDefaultWindow) {
  DICOMdata h = WordHeader(2, 1);
  h.Lut.LutSize = 3;
  h.Lut.Lutdata = {0, 500, 1000};
  const CellBitmap b = CreateCellBitmap(h, Words({250, 750}), {});
  EXPECT_EQ(h.WindowWidth, 1000);
  EXPECT_EQ(h.WindowCenter, 500);
  EXPECT_EQ(b.min16, 0);
  EXPECT_EQ(Row(b.bmp, 0), (std::vector<int>{64, 191}));
}

TEST(CellBitmap, ZeroWidthAndFlatSlopeStillShowAPicture) {
  // A uniform frame without a header window: the window has width 0.
  DICOMdata h = WordHeader(2, 2);
  const CellBitmap uniform = CreateCellBitmap(h, Words({700, 700, 700, 700}), {});
  ASSERT_FALSE(uniform.bmp.isNull());
  EXPECT_EQ(uniform.windowWidth, 0);
  EXPECT_EQ(GreyAt(uniform.bmp, 1, 1), 128);

  DICOMdata flat = WordHeader(2, 1);
  flat.IntenScale = 0.0f;
  flat.IntenIntercept = 30.0f;
  flat.WindowWidth = 100;
  flat.WindowCenter = 30;
  EXPECT_EQ(Row(CreateCellBitmap(flat, Words({-5, 9000}), {}).bmp, 0),
            (std::vector<int>{128, 128}));
}

TEST(CellBitmap, ByteImagesUseBrightnessAndContrast) {
  DICOMdata h = WordHeader(2, 1);
  h.Allocbits_per_pixel = 8;
  DecodedFrame f;
  f.buff8 = {10, 200};
  CellGreyState s;
  s.brightness = 20;
  const CellBitmap grey = CreateCellBitmap(h, f, s);
  EXPECT_FALSE(grey.wordImage);
  EXPECT_EQ(Row(grey.bmp, 0), (std::vector<int>{30, 220}));
  h.Monochrome = 1;
  EXPECT_EQ(Row(CreateCellBitmap(h, f, {}).bmp, 0), (std::vector<int>{245, 55}));

  DICOMdata rgb = WordHeader(2, 1);
  rgb.Allocbits_per_pixel = 8;
  rgb.SamplesPerPixel = 3;
  DecodedFrame c;
  c.buff24 = {255, 0, 10, 1, 2, 3};
  const QImage img = CreateCellBitmap(rgb, c, s).bmp;
  ASSERT_FALSE(img.isNull());
  EXPECT_EQ(img.pixel(0, 0), qRgb(255, 20, 30));
  EXPECT_EQ(img.pixel(1, 0), qRgb(21, 22, 23));
}

TEST(CellBitmap, MissingOrShortBuffersGiveNoBitmap) {
  DICOMdata h = WordHeader(4, 4);
  EXPECT_TRUE(CreateCellBitmap(h, Words({1, 2, 3}), {}).bmp.isNull());
  h.Allocbits_per_pixel = 8;
  DecodedFrame f;
  f.buff16.resize(16);
  EXPECT_TRUE(CreateCellBitmap(h, f, {}).bmp.isNull());
  h.SamplesPerPixel = 3;
  f.buff24.resize(16 * 3 - 1);
  EXPECT_TRUE(CreateCellBitmap(h, f, {}).bmp.isNull());
  DICOMdata empty = WordHeader(0, 5);
  EXPECT_TRUE(CreateCellBitmap(empty, Words({}), {}).bmp.isNull());
}
