// tavrolen-dicom render --save-state: the annotations drawn and the window
// used, written as a presentation state that pydicom reads as the test expects.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

class SaveState : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fixtures::ImageSpec s;  // fitted at zoom 100: view points are pixel coordinates;
                            // columns 0.25 mm apart
    s.columns = 300;
    s.rows = 200;
    file = fixtures::WriteFile(dir, "ct.dcm", fixtures::SmallImageFile(s));
  }
  int Run(const std::string& args, std::string* out = nullptr) {
    return fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + file +
                                    " --size 300x200 --no-info " + args + " 2>&1",
                                out);
  }
  std::string dir, file;
};

TEST_F(SaveState, PydicomReadsWhatWasDrawn) {
  if (!testsupport::HavePythonModules("pydicom")) REQUIRE_OR_SKIP("pydicom is missing");
  std::string out;
  ASSERT_EQ(Run("--ww 400 --wl 40 --annotate \"line 10,150 290,150\" "
                "--annotate \"measure 20,20 120,20\" --annotate \"rect 200,40 260,90\" "
                "--annotate \"ellipse 20,60 90,120\" --annotate \"angle 150,60 150,120 200,120\" "
                "--annotate \"text 160,160 290,190 Left kidney\" --save-state " +
                    dir + "/state.dcm",
                &out),
            0)
      << out;
  const std::string expected = R"({
    "sop_class": "1.2.840.10008.5.1.4.1.1.11.1", "center": 40, "width": 400,
    "graphics": [
      {"type": "POLYLINE", "points": [10, 150, 290, 150]},
      {"type": "POLYLINE", "points": [20, 20, 120, 20]},
      {"type": "POLYLINE", "points": [200, 40, 260, 40, 260, 90, 200, 90, 200, 40]},
      {"type": "ELLIPSE", "points": [20, 90, 90, 90, 55, 60, 55, 120]},
      {"type": "POLYLINE", "points": [150, 60, 150, 120, 200, 120]}],
    "texts": [
      {"contains": "25.00 mm", "anchor": [120, 20]},
      {"contains": "90.00", "anchor": [150, 120]},
      {"contains": "Mean", "anchor": [200, 40]},
      {"contains": "Mean", "anchor": [20, 90]},
      {"contains": "Area", "anchor": [200, 40]},
      {"contains": "Left kidney", "box": [160, 160, 290, 190]}]
  })";
  std::ofstream(dir + "/expected.json") << expected;
  out.clear();
  EXPECT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                     "/tests/cli/state_oracle.py gsps " + dir + "/state.dcm " +
                                     file + " " + dir + "/expected.json 2>&1",
                                 &out),
            0)
      << out;
}

TEST_F(SaveState, AloneOrWithAPictureAndRefusals) {
  // The state alone, or beside the picture.
  ASSERT_EQ(Run("--annotate \"line 1,1 20,20\" --save-state " + dir + "/a.dcm"), 0);
  ASSERT_EQ(
      Run("--annotate \"line 1,1 20,20\" --save-state " + dir + "/b.dcm -o " + dir + "/b.png"), 0);
  EXPECT_GT(fixtures::ReadFile(dir + "/b.png").size(), 8u);
  // A folder that is not there: refused before anything is drawn.
  std::string out;
  EXPECT_EQ(Run("--annotate \"line 1,1 20,20\" --save-state " + dir + "/missing/c.dcm", &out), 1);
  EXPECT_NE(out.find("missing"), std::string::npos) << out;
  EXPECT_EQ(Run("--save-state"), 2);
  EXPECT_EQ(Run(""), 2);  // neither a picture nor a state
}

}  // namespace
