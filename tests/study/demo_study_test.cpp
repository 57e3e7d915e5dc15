#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "loader_fixtures.h"
#include "study/DemoStudy.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;

namespace {

// An RLE file of one frame built with our encoder, decoded by DCMTK's
// dcmdrle: the samples must come back byte for byte.
void ExpectDcmdrleRoundTrip(const std::string& name, const std::vector<uint8_t>& samples, int rows,
                            int columns, int samplesPerPixel, int bitsAllocated) {
  SCOPED_TRACE(name);
  dicomwriter::DicomWriter w(true, true);
  w.US(0x00280002, {static_cast<uint16_t>(samplesPerPixel)});
  w.Text(0x00280004, "CS", samplesPerPixel == 3 ? "RGB" : "MONOCHROME2");
  if (samplesPerPixel == 3) w.US(0x00280006, {0});
  w.US(0x00280010, {static_cast<uint16_t>(rows)});
  w.US(0x00280011, {static_cast<uint16_t>(columns)});
  w.US(0x00280100, {static_cast<uint16_t>(bitsAllocated)});
  w.US(0x00280101, {static_cast<uint16_t>(bitsAllocated)});
  w.US(0x00280102, {static_cast<uint16_t>(bitsAllocated - 1)});
  w.US(0x00280103, {0});
  w.Encapsulated(
      {}, {demo::EncodeRleFrame(samples.data(), rows, columns, samplesPerPixel, bitsAllocated)});
  dicomwriter::DicomFileOptions options;
  options.transferSyntax = dicomwriter::kRLELossless;
  const std::string dir = testsupport::TempDir("rle_" + name);
  const std::string in = loadfx::Write(dir, "in.dcm", dicomwriter::BuildDicomFile(w, options));
  const std::string out = dir + "/out.dcm";
  ASSERT_EQ(fixtures::RunCommand("dcmdrle +te '" + in + "' '" + out + "' 2>&1"), 0);
  const fixtures::Bytes decoded = fixtures::ReadFile(out);
  const long at = fixtures::FindTag(decoded, 0x7FE00010);
  ASSERT_GT(at, 0);
  const size_t start = static_cast<size_t>(at) + 12;  // OB/OW header in explicit VR
  ASSERT_GE(decoded.size(), start + samples.size());
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), decoded.begin() + start));
}

TEST(DemoRle, EncoderMatchesDcmtkDecoderOnRunsLiteralsAndEdges) {
  std::mt19937 rng(5);
  // 8-bit grey: runs of 2, 3, 128, 129, 300, literals of 127, 128, 129, a
  // width of 1 and an odd width.
  for (int columns : {1, 7, 300}) {
    std::vector<uint8_t> px;
    const int rows = 9;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c) {
        const int kind = r % 3;
        px.push_back(kind == 0   ? static_cast<uint8_t>(c / 129)
                     : kind == 1 ? static_cast<uint8_t>(rng())
                                 : static_cast<uint8_t>((c % 5 < 2) ? 9 : c));
      }
    ExpectDcmdrleRoundTrip("grey8_" + std::to_string(columns), px, rows, columns, 1, 8);
  }
  // 16-bit grey with a high byte that is mostly constant (CT-like).
  std::vector<uint8_t> words;
  for (int k = 0; k < 64 * 33; ++k) {
    const uint16_t v = static_cast<uint16_t>(k % 64 < 20 ? 0 : 1000 + rng() % 60);
    words.push_back(static_cast<uint8_t>(v));
    words.push_back(static_cast<uint8_t>(v >> 8));
  }
  ExpectDcmdrleRoundTrip("grey16", words, 33, 64, 1, 16);
  // RGB by pixel.
  std::vector<uint8_t> rgb;
  for (int k = 0; k < 50 * 20; ++k)
    for (int ch = 0; ch < 3; ++ch) rgb.push_back(static_cast<uint8_t>(ch == 1 ? 200 : rng()));
  ExpectDcmdrleRoundTrip("rgb", rgb, 20, 50, 3, 8);
}

class DemoStudy : public ::testing::Test {
 protected:
  void SetUp() override { loadfx::ResetLoadingState(); }
  void TearDown() override { loadfx::ResetLoadingState(); }
};

DICOMdata ReadHeader(const std::string& path) {
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, true, h, hdrOK, imgOK);
  EXPECT_TRUE(imgOK) << path;
  return h;
}

// Folder and DICOMDIR scans of the demo name the same files (tests/cli); here
// the DICOMDIR load alone, for what the main window does with it.
TEST_F(DemoStudy, DicomDirLoadAsksForTheTwoByTwoGrid) {
  const std::string dir = testsupport::TempDir("demo_load");
  demo::TDemoInfo info;
  ASSERT_TRUE(demo::WriteDemoStudy(dir, &info));
  EXPECT_EQ(info.files, 37);
  EXPECT_LT(info.bytes, 8 * 1024 * 1024);
  const TLoadResult r = LoadDicomDir(info.dicomDir);
  EXPECT_EQ(r.filesFiled, 37);
  EXPECT_TRUE(r.skipped.empty());
  EXPECT_TRUE(r.messages.empty());
  // The CT study comes first and has four series: 2 x 2 with reference lines.
  EXPECT_EQ(r.firstNewStudySeriesCount, 4);
  EXPECT_TRUE(WantsTwoByTwoLayout(r, 1));
}

TEST_F(DemoStudy, GeometryLetsReferenceLinesShowAndEachImageIsWhatItClaims) {
  const std::string dir = testsupport::TempDir("demo_geometry");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  const DICOMdata coronal = ReadHeader(dir + "/CTLOC/IM0001");
  const DICOMdata sagittal = ReadHeader(dir + "/CTLOC/IM0002");
  EXPECT_EQ(coronal.IMAGE_ORIENTATION_PATIENT, (std::array<double, 6>{1, 0, 0, 0, 0, -1}));
  EXPECT_EQ(sagittal.IMAGE_ORIENTATION_PATIENT, (std::array<double, 6>{0, 1, 0, 0, 0, -1}));
  const double top = coronal.image_Postion[2];
  const double bottom = top - (coronal.XYZdim[1] - 1) * coronal.XYZmm[1];
  double lastZ = 1e9;
  for (int k = 1; k <= 24; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "/CTAX/IM%04d", k);
    const DICOMdata ax = ReadHeader(dir + name);
    EXPECT_EQ(ax.Study_Instance_UID, coronal.Study_Instance_UID);
    EXPECT_EQ(ax.IMAGE_ORIENTATION_PATIENT, (std::array<double, 6>{1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(ax.ImageNum, k);
    EXPECT_DOUBLE_EQ(ax.XYZmm[0], 1.0);
    EXPECT_DOUBLE_EQ(ax.XYZmm[2], 5.0);
    EXPECT_FLOAT_EQ(ax.IntenIntercept, -1024.0f);
    EXPECT_EQ(ax.WindowWidth, 400);
    EXPECT_EQ(ax.WindowCenter, 40);
    const double z = ax.image_Postion[2];
    if (k > 1) {
      EXPECT_NEAR(lastZ - z, 5.0, 1e-9);
    }
    lastZ = z;
    // Every axial slice cuts both localizers inside their images.
    EXPECT_LT(z, top);
    EXPECT_GT(z, bottom);
    EXPECT_GE(ax.image_Postion[0], coronal.image_Postion[0]);
    EXPECT_GE(ax.image_Postion[1], sagittal.image_Postion[1]);
  }
  const DICOMdata rle = ReadHeader(dir + "/CTRLE/IM0001");
  EXPECT_TRUE(rle.RunLengthEncoding);
  EXPECT_EQ(rle.gECATJPEG_table_entries, 1);
  const DICOMdata cine = ReadHeader(dir + "/USCINE/IM0001");
  EXPECT_EQ(cine.XYZdim[2], 24);
  EXPECT_EQ(cine.SamplesPerPixel, 3);
  EXPECT_FLOAT_EQ(cine.frame_time, 40.0f);
  EXPECT_EQ(ReadHeader(dir + "/XRAY/IM0001").Monochrome, 1);
  const DICOMdata overlay = ReadHeader(dir + "/MROVL/IM0001");
  EXPECT_EQ(overlay.overlay_rows, 256);
  EXPECT_EQ(overlay.overlay_columns, 256);
  ASSERT_EQ(overlay.overlay_data_bytes.size(), 256u * 256u / 8u);
  int bits = 0;
  for (uint8_t b : overlay.overlay_data_bytes) bits += __builtin_popcount(b);
  EXPECT_GT(bits, 300);
}

}  // namespace
