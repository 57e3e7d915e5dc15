#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fixtures.h"
#include "support/paths.h"
#include "volume/volume_fixtures.h"

namespace {

struct Result {
  int status = 0;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Result Reformat(const std::string& dir, const std::string& args) {
  Result r;
  const std::string out = dir + "/stdout.txt", err = dir + "/stderr.txt";
  const int status = std::system(
      (std::string(TAVROLEN_DICOM_TOOL) + " reformat " + args + " >'" + out + "' 2>'" + err + "'")
          .c_str());
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

// numpy and pydicom as the oracle: every plane, slab and projection of
// series written in shuffled order with scrambled instance numbers, feet
// first, prone, oblique, tilted, unevenly spaced and as enhanced images.
TEST(CliReformat, EqualsNumpySlicingOfTheSameVolume) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = testsupport::TempDir("cli-reformat-oracle");
  std::string output;
  const int status =
      fixtures::RunCommand("/usr/bin/python3 '" TAVROLEN_SOURCE_DIR
                           "/tests/cli/reformat_oracle.py' '" TAVROLEN_DICOM_TOOL "' '" +
                               dir + "' 2>&1",
                           &output);
  EXPECT_EQ(status, 0) << output;
}

TEST(CliReformat, WritesWordsAndTheJsonOfThePlane) {
  const std::string dir = testsupport::TempDir("cli-reformat");
  volfix::SeriesSpec s;
  volfix::WriteSeries(dir + "/series", s);
  const Result r =
      Reformat(dir, "'" + dir + "/series' --plane sagittal --index 3 -o '" + dir + "/s.raw'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "{\n  \"rows\": 7,\n  \"columns\": 5,\n  \"pixelSpacing\": [2.5, 0.8],\n"
            "  \"position\": [-7.9, -20, 45],\n  \"orientation\": [0, 1, 0, 0, 0, -1]\n}\n");
  const std::string raw = Slurp(dir + "/s.raw");
  ASSERT_EQ(raw.size(), size_t(7 * 5 * 2));
  int16_t first;
  std::memcpy(&first, raw.data(), 2);
  EXPECT_EQ(first, volfix::Value(s, 3, 0, 6));  // most superior slice, row 0
}

TEST(CliReformat, CompressedSeriesGoThroughTheDecodeDispatch) {
  const std::string dir = testsupport::TempDir("cli-reformat-jpeg");
  volfix::SeriesSpec s;
  s.isSigned = false;
  const std::vector<std::string> files = volfix::WriteSeries(dir + "/raw", s);
  std::filesystem::create_directories(dir + "/jpeg");
  for (size_t i = 0; i < files.size(); ++i)
    ASSERT_EQ(fixtures::RunCommand("dcmcjpeg +el '" + files[i] + "' '" + dir + "/jpeg/" +
                                   std::to_string(i) + "' >/dev/null 2>&1"),
              0);
  for (const char* plane : {"axial", "coronal", "sagittal"}) {
    const std::string args = std::string(" --plane ") + plane + " --index 2 --slab 3 -o ";
    ASSERT_EQ(Reformat(dir, "'" + dir + "/raw'" + args + "'" + dir + "/a.raw'").status, 0);
    const Result r = Reformat(dir, "'" + dir + "/jpeg'" + args + "'" + dir + "/b.raw'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Slurp(dir + "/a.raw"), Slurp(dir + "/b.raw")) << plane;
  }
}

TEST(CliReformat, WrongCommandLinesAndRefusedSeries) {
  const std::string dir = testsupport::TempDir("cli-reformat-errors");
  volfix::SeriesSpec s;
  volfix::WriteSeries(dir + "/series", s);
  const std::string series = "'" + dir + "/series'", out = " -o '" + dir + "/o.raw'";
  EXPECT_EQ(Reformat(dir, series + " --plane axial" + out).status, 2);  // no index
  EXPECT_EQ(Reformat(dir, series + " --plane oblique --index 1" + out).status, 2);
  EXPECT_EQ(Reformat(dir, series + " --plane axial --index -1" + out).status, 2);
  EXPECT_EQ(Reformat(dir, series + " --plane axial --index 1 --slab 0" + out).status, 2);
  EXPECT_EQ(Reformat(dir, series + " --plane axial --index 1 --projection avg" + out).status, 2);
  EXPECT_EQ(Reformat(dir, series + " --plane axial --index 1").status, 2);

  Result r = Reformat(dir, series + " --plane axial --index 7" + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tavrolen-dicom reformat: the axial index 7 is outside the volume (0 to 6)\n");

  volfix::SeriesSpec other = s;
  other.seriesUid += ".2";
  fixtures::WriteFile(dir + "/series", "other", volfix::SliceFile(other, 0, 1));
  r = Reformat(dir, series + " --plane axial --index 1" + out);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("holds 2 series, not one"), std::string::npos) << r.err;
  r = Reformat(dir, "'" + dir + "/nothing' --plane axial --index 1" + out);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
