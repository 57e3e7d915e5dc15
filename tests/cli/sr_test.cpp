// tavrolen-dicom sr: the content tree of every SR sample of pydicom and of
// reports written by pydicom agrees with DCMTK's dsrdump item by item
// (position, relationship, value type, concept name, value); text output
// reads as a document; a file that is no report fails with one reason.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;
const std::string kSource = TAVROLEN_SOURCE_DIR;

class SrCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testsupport::TempDir("sr_command");
    std::string out;
    written_ = testsupport::HavePythonModules("pydicom, numpy") &&
               fixtures::RunCommand("/usr/bin/python3 '" + kSource +
                                        "/tests/reports/sr_fixtures.py' '" + dir_ + "' 2>&1",
                                    &out) == 0;
  }
  void SetUp() override {
    ASSERT_TRUE(written_) << "/usr/bin/python3 with pydicom and numpy writes the fixtures";
  }
  static int Run(const std::string& args, std::string* out) {
    return fixtures::RunCommand("'" + kTool + "' sr " + args + " 2>&1", out);
  }
  static inline std::string dir_;
  static inline bool written_ = false;
};

TEST_F(SrCommand, JsonAgreesWithDsrdumpOnEveryItem) {
  REQUIRE_TOOL("dsrdump");
  REQUIRE_SAMPLES();
  const std::string files[] = {
      testsupport::SamplePath("test-SR.dcm"),
      testsupport::SamplePath("reportsi.dcm"),
      testsupport::SamplePath("reportsi_with_empty_number_tags.dcm"),
      dir_ + "/tid1500.dcm",
      dir_ + "/loop.dcm",
      dir_ + "/nowhere.dcm",
      dir_ + "/dose.dcm",
  };
  for (const std::string& f : files) {
    std::string out;
    EXPECT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + kSource + "/tests/cli/sr_oracle.py' '" +
                                       kTool + "' '" + f + "' 2>&1",
                                   &out),
              0)
        << f << "\n"
        << out;
  }
}

TEST_F(SrCommand, TextReadsAsADocument) {
  std::string out;
  ASSERT_EQ(Run("'" + dir_ + "/tid1500.dcm'", &out), 0) << out;
  EXPECT_NE(out.find("Document: Comprehensive SR\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nImaging Measurement Report\n"
                     "  [has obs context] Person Observer Name: \xc3\x85str\xc3\xb6m Eva\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n      Long Axis: 12.5 mm\n"
                     "        [inferred from] Spatial coordinates: POLYLINE, 2 point(s)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("      Volume: Measurement failure\n"), std::string::npos) << out;
}

TEST_F(SrCommand, FailuresSayWhyOnce) {
  std::string out;
  EXPECT_EQ(Run("'" + dir_ + "/ct.dcm'", &out), 1);
  EXPECT_EQ(out, "tavrolen-dicom sr: " + dir_ + "/ct.dcm: not a structured report (SOP class " +
                     "1.2.840.10008.5.1.4.1.1.2)\n");
  EXPECT_EQ(Run("'" + dir_ + "/deep.dcm' --json", &out), 1);
  EXPECT_NE(out.find("nest deeper than 64 levels"), std::string::npos) << out;
  EXPECT_EQ(Run("", &out), 2);
  EXPECT_EQ(Run("a b", &out), 2);
}

}  // namespace
