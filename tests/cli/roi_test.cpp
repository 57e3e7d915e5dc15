// tavrolen-dicom roi against numpy over pydicom's pixel arrays on real CT
// and MR files, and the calibration it reports.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// The flat JSON object of one line, numbers and strings only.
std::map<std::string, std::string> Fields(const std::string& json) {
  std::map<std::string, std::string> out;
  size_t i = 0;
  while ((i = json.find('"', i)) != std::string::npos) {
    const size_t k = json.find('"', i + 1);
    const std::string key = json.substr(i + 1, k - i - 1);
    size_t v = json.find(':', k) + 1;
    while (json[v] == ' ') ++v;
    size_t e = v;
    if (json[v] == '"') {
      e = json.find('"', v + 1) + 1;
    } else {
      while (e < json.size() && json[e] != ',' && json[e] != '}') ++e;
    }
    out[key] = json.substr(v, e - v);
    i = e;
  }
  return out;
}

std::map<std::string, std::string> Ours(const std::string& file, const std::string& args,
                                        int* status = nullptr) {
  std::string out;
  const int rc = fixtures::RunCommand(
      std::string(TAVROLEN_DICOM_TOOL) + " roi " + Quote(file) + " " + args + " 2>&1", &out);
  if (status) *status = rc;
  EXPECT_TRUE(status || rc == 0) << out;
  return Fields(out);
}

std::map<std::string, std::string> Numpy(const std::string& file, int frame,
                                         const std::string& shape, const std::string& box) {
  std::string coords = box;
  for (char& c : coords)
    if (c == ',') c = ' ';
  std::string out;
  EXPECT_EQ(
      fixtures::RunCommand(
          "/usr/bin/python3 " +
              Quote(std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/pydicom_oracle.py") + " roi " +
              Quote(file) + " " + std::to_string(frame) + " " + shape + " " + coords + " 2>&1",
          &out),
      0)
      << out;
  return Fields(out);
}

void ExpectClose(const std::string& ours, const std::string& theirs, const std::string& what) {
  const double a = std::stod(ours), b = std::stod(theirs);
  EXPECT_NEAR(a, b, 1e-9 * std::max(1.0, std::fabs(b))) << what;
}

TEST(RoiCommand, EqualsNumpyOnCtAndMrSamples) {
  REQUIRE_SAMPLES();
  struct Case {
    const char* file;
    int frame;
    const char* box;
  };
  // Whole-pixel and fractional boxes, boxes past the edges, corners given
  // in either order, multi-frame files and the encodings of one MR image.
  const Case cases[] = {
      {"CT_small.dcm", 1, "10,20,60,70"},          {"CT_small.dcm", 1, "0,0,128,128"},
      {"CT_small.dcm", 1, "100.5,3.25,20.75,90"},  {"CT_small.dcm", 1, "-20,-20,30,200"},
      {"MR_small.dcm", 1, "3.5,7,50.2,41"},        {"MR_small_implicit.dcm", 1, "1,1,63,63"},
      {"MR_small_bigendian.dcm", 1, "10,5,11,40"}, {"MR_small_RLE.dcm", 1, "5,5,60,30"},
      {"MR_small_padded.dcm", 1, "0,0,64,64"},     {"MR_small_jp2klossless.dcm", 1, "8,8,40,56"},
      {"JPEG2000.dcm", 1, "200,150,700,400"},      {"rtdose_1frame.dcm", 1, "0,0,5,5"},
  };
  int compared = 0;
  for (const Case& c : cases) {
    const std::string file = testsupport::SamplePath(c.file);
    for (const char* shape : {"rect", "ellipse"}) {
      SCOPED_TRACE(std::string(c.file) + " " + shape + " " + c.box);
      int status = 0;
      const auto ours =
          Ours(file, "--frame " + std::to_string(c.frame) + " --" + shape + " " + c.box, &status);
      if (status != 0) {
        // Only images the viewer cannot show as grey may be refused.
        EXPECT_STREQ(c.file, "rtdose_1frame.dcm");
        continue;
      }
      const auto theirs = Numpy(file, c.frame, shape, c.box);
      ASSERT_EQ(ours.at("pixels"), theirs.at("pixels"));
      if (theirs.at("pixels") == "0") continue;
      for (const char* key : {"mean", "sd", "min", "max"})
        ExpectClose(ours.at(key), theirs.at(key), key);
      ++compared;
    }
  }
  EXPECT_GE(compared, 16);
}

TEST(RoiCommand, ReportsAreaCalibrationAndUnits) {
  const std::string dir = testsupport::TempDir("roi_calibration");
  fixtures::ImageSpec spec;  // 4 x 3 CT, Pixel Spacing 0.5 (rows) \ 0.25 (columns)
  const std::string ct = fixtures::WriteFile(dir, "ct.dcm", fixtures::SmallImageFile(spec));
  auto r = Ours(ct, "--rect 0,0,4,2");
  EXPECT_EQ(r.at("pixels"), "8");
  EXPECT_EQ(r.at("area_mm2"), "1");  // 4 columns x 0.25 by 2 rows x 0.5
  EXPECT_EQ(r.at("units"), "\"HU\"");
  EXPECT_EQ(r.at("calibration"), "\"PixelSpacing\"");

  spec.pixelSpacing.clear();
  spec.modality = "US";
  const std::string us = fixtures::WriteFile(dir, "us.dcm", fixtures::SmallImageFile(spec));
  r = Ours(us, "--ellipse 0,0,4,2");
  EXPECT_EQ(r.count("area_mm2"), 0u);
  EXPECT_NEAR(std::stod(r.at("area_px")), M_PI * 2, 1e-12);
  EXPECT_EQ(r.at("units"), "\"units\"");
  EXPECT_EQ(r.at("calibration"), "\"none\"");

  int status = 0;
  Ours(ct, "--rect 0,0,4", &status);
  EXPECT_EQ(status, 2);
  Ours(ct, "--rect 0,0,1,1 --ellipse 0,0,1,1", &status);
  EXPECT_EQ(status, 2);
  Ours(ct, "--frame 2 --rect 0,0,1,1", &status);
  EXPECT_EQ(status, 1);
  // A region off the image holds no pixel: statistics are null, not zero.
  r = Ours(ct, "--rect 10,10,20,20");
  EXPECT_EQ(r.at("pixels"), "0");
  EXPECT_EQ(r.at("mean"), "null");
}

}  // namespace
