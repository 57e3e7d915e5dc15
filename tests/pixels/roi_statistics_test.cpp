// Region statistics against a brute-force count over every pixel, the
// modality values they are taken in, and the label texts.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "pixels/RoiStatistics.h"

namespace {

struct Frame {
  std::vector<int16_t> words;
  ModalityFrame m;
};

Frame Ramp(int columns, int rows, double slope = 1, double intercept = 0) {
  Frame f;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) f.words.push_back(int16_t(c + 10 * r - 20));
  f.m.words = f.words.data();
  f.m.columns = columns;
  f.m.rows = rows;
  f.m.isSigned = true;
  f.m.slope = slope;
  f.m.intercept = intercept;
  return f;
}

// Every pixel whose centre is inside, the slow way.
RoiStats Reference(const ModalityFrame& m, RoiShape shape, double x0, double y0, double x1,
                   double y1) {
  const double lx = std::min(x0, x1), hx = std::max(x0, x1), ly = std::min(y0, y1),
               hy = std::max(y0, y1);
  const double a = (hx - lx) / 2, b = (hy - ly) / 2, ex = (lx + hx) / 2, ey = (ly + hy) / 2;
  std::vector<double> v;
  for (int64_t r = 0; r < m.rows; ++r)
    for (int64_t c = 0; c < m.columns; ++c) {
      const double cx = c + 0.5, cy = r + 0.5;
      const bool in =
          shape == RoiShape::Rectangle
              ? cx >= lx && cx <= hx && cy >= ly && cy <= hy
              : a > 0 && b > 0 &&
                    ((cx - ex) / a) * ((cx - ex) / a) + ((cy - ey) / b) * ((cy - ey) / b) <= 1;
      if (in) v.push_back(m.Value(c, r));
    }
  RoiStats s;
  s.pixels = int64_t(v.size());
  if (v.empty()) return s;
  double sum = 0;
  for (double x : v) sum += x;
  s.mean = sum / v.size();
  double sq = 0;
  for (double x : v) sq += (x - s.mean) * (x - s.mean);
  s.sd = std::sqrt(sq / v.size());
  s.min = *std::min_element(v.begin(), v.end());
  s.max = *std::max_element(v.begin(), v.end());
  return s;
}

TEST(RoiStatistics, RectangleCountsPixelsWhoseCentresAreInside) {
  const Frame f = Ramp(8, 6, 2, -5);
  const RoiStats s = ComputeRoiStats(f.m, RoiShape::Rectangle, 1, 1, 4, 3);
  EXPECT_EQ(s.pixels, 6);  // columns 1..3, rows 1..2
  // Stored c + 10 r - 20 over those pixels, then x 2 - 5.
  EXPECT_DOUBLE_EQ(s.min, (1 + 10 - 20) * 2 - 5);
  EXPECT_DOUBLE_EQ(s.max, (3 + 20 - 20) * 2 - 5);
  EXPECT_DOUBLE_EQ(s.mean, (2 + 15 - 20) * 2 - 5);
  // Corners in either order are the same region.
  const RoiStats t = ComputeRoiStats(f.m, RoiShape::Rectangle, 4, 3, 1, 1);
  EXPECT_EQ(t.pixels, s.pixels);
  EXPECT_DOUBLE_EQ(t.sd, s.sd);
}

TEST(RoiStatistics, AnyBoxAgreesWithTheSlowCount) {
  const Frame f = Ramp(37, 23, 0.5, 100);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coord(-10, 50);
  for (int i = 0; i < 2000; ++i) {
    const double x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
    for (RoiShape shape : {RoiShape::Rectangle, RoiShape::Ellipse}) {
      const RoiStats ours = ComputeRoiStats(f.m, shape, x0, y0, x1, y1);
      const RoiStats ref = Reference(f.m, shape, x0, y0, x1, y1);
      ASSERT_EQ(ours.pixels, ref.pixels) << x0 << "," << y0 << "," << x1 << "," << y1;
      if (!ref.pixels) continue;
      EXPECT_NEAR(ours.mean, ref.mean, 1e-9);
      EXPECT_NEAR(ours.sd, ref.sd, 1e-9);
      EXPECT_EQ(ours.min, ref.min);
      EXPECT_EQ(ours.max, ref.max);
    }
  }
  // Whole-pixel ellipse inscribed in a 4 x 4 box: the 12 pixels of a disc.
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Ellipse, 0, 0, 4, 4).pixels, 12);
}

TEST(RoiStatistics, DegenerateAndHostileBoxesAreSafe) {
  const Frame f = Ramp(8, 6);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Ellipse, 2, 2, 2, 5).pixels, 0);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Rectangle, 2.2, 2, 2.4, 5).pixels, 0);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Rectangle, -1e300, -1e300, 1e300, 1e300).pixels, 48);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Ellipse, -1e300, -1e300, 1e300, 1e300).pixels, 48);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Rectangle, NAN, 0, 4, 4).pixels, 0);
  EXPECT_EQ(ComputeRoiStats(f.m, RoiShape::Ellipse, 0, 0, INFINITY, 4).pixels, 0);
  EXPECT_EQ(ComputeRoiStats(ModalityFrame{}, RoiShape::Rectangle, 0, 0, 4, 4).pixels, 0);
}

TEST(RoiStatistics, ModalityValuesFromTheFrameAndTheFile) {
  DICOMdata h;
  h.XYZdim = {2, 1, 1, 1};
  h.Allocbits_per_pixel = 16;
  h.modality = "CT";
  DecodedFrame f;
  f.buff16 = {int16_t(-1000), int16_t(40000 - 65536)};
  ImageCalibration cal;

  // Unsigned words above 32767 stay positive; signed ones are negative.
  h.pixel_representation = 0;
  ModalityFrame m = ModalityFrameOf(h, f, cal);
  ASSERT_TRUE(m.Valid());
  EXPECT_EQ(m.units, "HU");
  EXPECT_DOUBLE_EQ(m.Value(1, 0), 40000);
  h.pixel_representation = 1;
  EXPECT_DOUBLE_EQ(ModalityFrameOf(h, f, cal).Value(0, 0), -1000);

  // The header's single-precision slope gives way to the file's exact one.
  h.IntenScale = 0.1f;
  h.IntenIntercept = -1024;
  cal.rescaleGiven = true;
  cal.slope = 0.1;
  cal.intercept = -1024;
  EXPECT_EQ(ModalityFrameOf(h, f, cal).slope, 0.1);
  cal.slope = 0.3;  // not this header's: the header's stands
  EXPECT_EQ(ModalityFrameOf(h, f, cal).slope, double(0.1f));

  // After the modality table, words are table entries.
  h.Lut.LutSize = 2;
  h.Lut.Lutdata = {5, 6};
  m = ModalityFrameOf(h, f, cal);
  EXPECT_FALSE(m.isSigned);
  EXPECT_EQ(m.slope, 1);
  EXPECT_EQ(m.intercept, 0);

  // Colour has no single value per pixel.
  h.Lut = {};
  h.Allocbits_per_pixel = 8;
  h.SamplesPerPixel = 3;
  f.buff24 = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(ModalityFrameOf(h, f, cal).Valid());
  h.modality = "MR";
  h.SamplesPerPixel = 1;
  f.buff8 = {7, 9};
  m = ModalityFrameOf(h, f, cal);
  EXPECT_EQ(m.units, "units");
  EXPECT_DOUBLE_EQ(m.Stored(1, 0), 9);
}

TEST(RoiStatistics, LabelTexts) {
  EXPECT_EQ(FormatMeasure(50), "50.00");
  EXPECT_EQ(FormatMeasure(-3.14159), "-3.14");
  EXPECT_EQ(FormatMeasure(1234567.891), "1234567.90");
  EXPECT_EQ(FormatMeasure(123456789), "1.2345679E+08");
  EXPECT_EQ(FormatMeasure(NAN), "0.00");

  PixelScale px;
  EXPECT_EQ(LengthLabel(3, 4, px), "5.00 px");
  PixelScale mm;
  mm.source = PixelScale::Source::PixelSpacing;
  mm.x = 0.5;
  mm.y = 2;
  // Lengths follow each axis' own spacing.
  EXPECT_EQ(LengthLabel(6, 2, mm), "5.00 mm");

  const Frame f = Ramp(8, 6);
  ImageCalibration cal;
  cal.pixelSpacing = {0.5, 0.5};
  ModalityFrame m = f.m;
  m.units = "HU";
  RoiMeasurement r = MeasureRoi(m, cal, RoiShape::Rectangle, 0, 0, 4, 2);
  EXPECT_DOUBLE_EQ(r.area, 2);
  const auto lines = RoiLabelLines(r);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Area 2.00 mm\u00B2");
  EXPECT_EQ(lines[1], "Mean -13.50 HU  SD 5.12");
  EXPECT_EQ(lines[2], "Min -20.00  Max -7.00  n 8");
  // An ellipse's area is the ellipse's, not its box's.
  r = MeasureRoi(m, cal, RoiShape::Ellipse, 0, 0, 11, 21);
  EXPECT_NEAR(r.area, M_PI * 5.5 * 10.5 * 0.25, 1e-12);
  // Without a grey frame only the area is told.
  EXPECT_EQ(RoiLabelLines(MeasureRoi(ModalityFrame{}, cal, RoiShape::Rectangle, 0, 0, 1, 1)).size(),
            1u);
}

}  // namespace
