// What a pixel measures: Pixel Spacing, Imager Pixel Spacing, ultrasound
// regions and enhanced images' functional groups, and nothing when nothing
// is given.
#include <gtest/gtest.h>

#include <functional>

#include "dicom/Calibration.h"
#include "dicom/DicomElements.h"
#include "dicom/dicom_values.h"
#include "support/fixtures.h"

namespace {

using fixtures::DicomWriter;

ImageCalibration Calibrate(const std::function<void(DicomWriter&)>& build) {
  DicomWriter w(true, true);
  build(w);
  const auto file = fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian);
  MemoryByteSource src(file.data(), file.size());
  return CalibrationOf(ReadTagListing(src));
}

void Region(DicomWriter& w, int x0, int y0, int x1, int y1, int units, double dx, double dy) {
  w.BeginItem();
  w.UL(0x00186018, {uint32_t(x0)}).UL(0x0018601A, {uint32_t(y0)});
  w.UL(0x0018601C, {uint32_t(x1)}).UL(0x0018601E, {uint32_t(y1)});
  w.US(0x00186024, {uint16_t(units)}).US(0x00186026, {uint16_t(units)});
  w.FD(0x0018602C, {dx}).FD(0x0018602E, {dy});
  w.EndItem();
}

TEST(Calibration, PixelSpacingThenImagerSpacingThenNothing) {
  auto c = Calibrate([](DicomWriter& w) {
    w.Text(0x00181164, "DS", "0.1\\0.1");
    w.Text(0x00280030, "DS", "0.5\\0.25");
  });
  PixelScale s = c.ScaleFor(0, 0, 1, 1);
  EXPECT_EQ(s.source, PixelScale::Source::PixelSpacing);
  EXPECT_DOUBLE_EQ(s.y, 0.5);   // the first value is the row spacing
  EXPECT_DOUBLE_EQ(s.x, 0.25);  // the second the column spacing
  EXPECT_EQ(s.LengthUnit(), "mm");
  EXPECT_EQ(s.AreaUnit(), "mm\u00B2");

  c = Calibrate([](DicomWriter& w) { w.Text(0x00181164, "DS", "0.143\\0.139"); });
  s = c.ScaleFor(0, 0, 1, 1);
  EXPECT_EQ(s.source, PixelScale::Source::ImagerPixelSpacing);
  EXPECT_DOUBLE_EQ(s.x, 0.139);
  EXPECT_EQ(s.LengthUnit(), "mm (imager)");
  EXPECT_EQ(s.AreaUnit(), "mm\u00B2 (imager)");

  // Absent, zero or unreadable spacings calibrate nothing.
  for (const char* bad : {"", "0\\0", "abc\\def", "0.5"}) {
    c = Calibrate([&](DicomWriter& w) {
      if (*bad) w.Text(0x00280030, "DS", bad);
    });
    s = c.ScaleFor(0, 0, 1, 1);
    EXPECT_FALSE(s.Calibrated()) << bad;
    EXPECT_EQ(s.LengthUnit(), "px");
    EXPECT_EQ(s.AreaUnit(), "px\u00B2");
    EXPECT_DOUBLE_EQ(s.x * s.y, 1.0);
  }
}

TEST(Calibration, UltrasoundRegionHoldingTheWholeShape) {
  const auto c = Calibrate([](DicomWriter& w) {
    w.Text(0x00080060, "CS", "US");
    w.BeginSequence(0x00186011);
    Region(w, 0, 0, 99, 199, 3, 0.02, 0.03);     // B-mode, cm per pixel
    Region(w, 100, 0, 299, 199, 4, 0.01, 0.01);  // a Doppler strip in seconds
    Region(w, 0, 200, 299, 399, 3, 0.05, 0.05);
    w.EndSequence();
  });
  ASSERT_EQ(c.regions.size(), 3u);
  PixelScale s = c.ScaleFor(10, 10, 100, 150);  // edge 100 is still the region's last pixel
  EXPECT_EQ(s.source, PixelScale::Source::UltrasoundRegion);
  EXPECT_DOUBLE_EQ(s.x, 0.2);
  EXPECT_DOUBLE_EQ(s.y, 0.3);
  EXPECT_EQ(s.LengthUnit(), "mm");
  s = c.ScaleFor(20, 250, 280, 390);
  EXPECT_DOUBLE_EQ(s.x, 0.5);
  // Across two regions, or in one that is not calibrated in centimetres: pixels.
  EXPECT_FALSE(c.ScaleFor(50, 150, 50, 250).Calibrated());
  EXPECT_FALSE(c.ScaleFor(150, 10, 200, 20).Calibrated());
}

TEST(Calibration, EnhancedImagesPerFrameThenShared) {
  const auto c = Calibrate([](DicomWriter& w) {
    w.Text(0x00080060, "CS", "CT");
    w.BeginSequence(0x52009229).BeginItem();
    w.BeginSequence(0x00289110)
        .BeginItem()
        .Text(0x00280030, "DS", "0.7\\0.7")
        .EndItem()
        .EndSequence();
    w.BeginSequence(0x00289145).BeginItem();
    w.Text(0x00281052, "DS", "-1024").Text(0x00281053, "DS", "1").EndItem().EndSequence();
    w.EndItem().EndSequence();
    w.BeginSequence(0x52009230);
    w.BeginItem().EndItem();
    w.BeginItem();
    w.BeginSequence(0x00289110)
        .BeginItem()
        .Text(0x00280030, "DS", "0.9\\0.8")
        .EndItem()
        .EndSequence();
    w.BeginSequence(0x00289145).BeginItem();
    w.Text(0x00281052, "DS", "-1000").Text(0x00281053, "DS", "2.5").EndItem().EndSequence();
    w.EndItem();
    w.EndSequence();
  });
  EXPECT_DOUBLE_EQ(c.ScaleFor(0, 0, 1, 1, 1).x, 0.7);
  EXPECT_DOUBLE_EQ(c.ScaleFor(0, 0, 1, 1, 2).x, 0.8);
  EXPECT_DOUBLE_EQ(c.ScaleFor(0, 0, 1, 1, 2).y, 0.9);
  EXPECT_DOUBLE_EQ(c.ScaleFor(0, 0, 1, 1, 7).x, 0.7);  // past the frames given: shared
  ASSERT_EQ(c.frameRescale.size(), 2u);
  EXPECT_DOUBLE_EQ(c.frameRescale[0][1], -1024);
  EXPECT_DOUBLE_EQ(c.frameRescale[1][0], 2.5);
  EXPECT_TRUE(c.rescaleGiven);
  EXPECT_EQ(c.modality, "CT");
}

}  // namespace
