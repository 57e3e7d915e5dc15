// render --with STATE: presentation states written by another producer
// (pydicom, tests/cli/gsps_oracle.py) applied as the viewer applies them,
// checked pixel by pixel against plain renders of the same image.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

class RenderWithState : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "the fixtures are written with pydicom and checked with numpy";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(fixtures::RunCommand(Oracle() + " write " + dir + " 2>&1", &out), 0) << out;
  }
  static std::string Oracle() {
    return "/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/gsps_oracle.py";
  }
  // Renders the CT with args into dir/name.
  std::string Render(const std::string& args, const std::string& name) {
    std::string out;
    const std::string target = dir + "/" + name;
    EXPECT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + dir +
                                       "/ct.dcm " + args + " -o " + target + " 2>&1",
                                   &out),
              0)
        << out;
    return target;
  }
  void Check(const std::string& kind, const std::string& got, const std::string& reference = {}) {
    std::string out;
    EXPECT_EQ(
        fixtures::RunCommand(
            Oracle() + " check " + kind + " " + dir + " " + got + " " + reference + " 2>&1", &out),
        0)
        << kind << ": " << out;
  }
  std::string dir;
};

// Window, a quarter turn and a circular shutter: inside the shutter exactly
// the plain window and turn, outside the shutter's grey; the text drawn in
// its box on the turned image.
TEST_F(RenderWithState, WindowTurnCircularShutterAndText) {
  Check("circle", Render("--bitmap --with " + dir + "/circle.dcm", "state.ppm"),
        Render("--bitmap --ww 600 --wl 100 --rotate 90", "plain.ppm"));
  Check("text", Render("--size 320x320 --no-info --with " + dir + "/circle.dcm", "cell.ppm"));
}

// Rectangular and polygonal shutters together, in a CIELab colour; a VOI
// lookup table no window can imitate; an inverse presentation LUT; a line in
// DISPLAY units across the middle of the displayed area.
TEST_F(RenderWithState, ShuttersTablesInversionAndDisplayUnits) {
  const std::string plain = Render("--bitmap --ww 600 --wl 100", "plain.ppm");
  Check("rect_polygon", Render("--bitmap --with " + dir + "/rect_polygon.dcm", "rect.ppm"), plain);
  Check("voi_lut", Render("--bitmap --with " + dir + "/voi_lut.dcm", "voi.ppm"));
  Check("inverse", Render("--bitmap --with " + dir + "/inverse.dcm", "inverse.ppm"), plain);
  Check("display",
        Render("--size 320x320 --no-info --with " + dir + "/display.dcm", "display.ppm"));
}

// A later window on the command line wins over the state's window or VOI
// table; the state's shutter stays. A state for another image changes
// nothing and says so.
TEST_F(RenderWithState, CommandLineWindowOverridesAndForeignStatesAreNoted) {
  const std::string plain = Render("--bitmap --ww 300 --wl 0", "plain.ppm");
  Check("rect_polygon",
        Render("--bitmap --with " + dir + "/rect_polygon.dcm --ww 300 --wl 0", "shutters.ppm"),
        plain);
  Check("same", Render("--bitmap --with " + dir + "/voi_lut.dcm --ww 300 --wl 0", "table.ppm"),
        plain);
  // The same state against a copy of the image with another instance UID.
  std::string out;
  ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 -c \"import pydicom; d = pydicom.dcmread('" +
                                     dir + "/ct.dcm'); d.SOPInstanceUID = '1.2.3.4'; d.save_as('" +
                                     dir + "/other.dcm')\" 2>&1",
                                 &out),
            0)
      << out;
  ASSERT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + dir +
                                     "/other.dcm --bitmap --with " + dir + "/circle.dcm -o " + dir +
                                     "/other.ppm 2>&1",
                                 &out),
            0)
      << out;
  EXPECT_NE(out.find("other images"), std::string::npos) << out;
}

// Graphics, anchors and shutter vertices far beyond the image: the render
// finishes and the picture is made.
TEST_F(RenderWithState, FarOffGeometryIsDrawnWhereItCanBe) {
  const std::string out = Render("--size 320x320 --with " + dir + "/wild.dcm", "wild.png");
  EXPECT_GT(fixtures::ReadFile(out).size(), 100u);
}

}  // namespace
