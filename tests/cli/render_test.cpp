// tavrolen-dicom render, run as a user would: the cell's surface or display
// bitmap written as a picture file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using fixtures::Bytes;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  int Grey(int x, int y) const { return rgb.at(size_t(3 * (y * width + x))); }
};

// Reads a binary PPM as Qt writes it ("P6\nW H\n255\n" and RGB triples).
Picture ReadPpm(const std::string& path) {
  Picture p;
  const Bytes b = fixtures::ReadFile(path);
  int maxval = 0, consumed = 0;
  const std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &consumed) != 3)
    return {};
  p.rgb.assign(b.begin() + consumed + 1, b.end());
  return p;
}

int RenderTool(const std::string& args) {
  return fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + args +
                              " 2>/dev/null");
}

class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    // A build without Qt has no render command.
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fixtures::ImageSpec s;
    s.columns = 4;
    s.rows = 2;
    s.windowCenter = "14";
    s.windowWidth = "28";
    file = fixtures::WriteFile(dir, "ct.dcm", fixtures::SmallImageFile(s));  // values 0, 7, ... 49
  }
  std::string dir, file;
};

}  // namespace

TEST_F(Render, SurfaceIsTheCellAndPngByName) {
  ASSERT_EQ(RenderTool(file + " --size 300x200 -o " + dir + "/cell.png"), 0);
  const Bytes png = fixtures::ReadFile(dir + "/cell.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  EXPECT_EQ((png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19]), 300);
  EXPECT_EQ((png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23]), 200);

  ASSERT_EQ(RenderTool(file + " --size 300x200 --no-info -o " + dir + "/cell.ppm"), 0);
  const Picture p = ReadPpm(dir + "/cell.ppm");
  EXPECT_EQ(p.width, 300);
  EXPECT_EQ(p.Grey(0, 0), 0);  // black around the fitted image
  // Fitted at zoom 10000: pixel (1, 0), stored 7, covers x 50 ... 149, y 0 ... 99.
  EXPECT_NEAR(p.Grey(100, 50), 64, 2);
}

TEST_F(Render, BitmapWithWindowTurnsAndFlips) {
  ASSERT_EQ(RenderTool(file + " --bitmap -o " + dir + "/b.ppm"), 0);
  Picture p = ReadPpm(dir + "/b.ppm");
  ASSERT_EQ(p.width, 4);
  EXPECT_EQ(p.Grey(0, 0), 0);
  EXPECT_EQ(p.Grey(2, 0), 128);  // stored 14 = the level
  EXPECT_EQ(p.Grey(0, 1), 255);  // stored 28 = the top of the window

  ASSERT_EQ(RenderTool(file + " --bitmap --ww 56 --wl 28 --invert -o " + dir + "/w.ppm"), 0);
  p = ReadPpm(dir + "/w.ppm");
  EXPECT_EQ(p.Grey(0, 1), 127);  // 28 at the level of the wider window, inverted
  // Real-valued windows, '.' whatever the locale: 0 ... 7.5 wide.
  ASSERT_EQ(RenderTool(file + " --bitmap --ww 7.5 --wl 3.75 -o " + dir + "/r.ppm"), 0);
  p = ReadPpm(dir + "/r.ppm");
  EXPECT_EQ(p.Grey(1, 0), 238);  // stored 7: 7 / 7.5 x 255
  EXPECT_EQ(p.Grey(2, 0), 255);

  ASSERT_EQ(RenderTool(file + " --bitmap --rotate 90 --flip h -o " + dir + "/t.ppm"), 0);
  p = ReadPpm(dir + "/t.ppm");
  ASSERT_EQ(p.width, 2);
  ASSERT_EQ(p.height, 4);
  EXPECT_EQ(p.Grey(1, 0), 255);  // transposed: stored (0, 1) at (1, 0)
}

TEST_F(Render, UsageAndFailures) {
  EXPECT_EQ(RenderTool(file), 2);  // no output
  EXPECT_EQ(RenderTool(file + " --rotate 45 -o " + dir + "/x.png"), 2);
  EXPECT_EQ(RenderTool(file + " --size 0x10 -o " + dir + "/x.png"), 2);
  EXPECT_EQ(RenderTool(file + " --ww 0 -o " + dir + "/x.png"), 2);
  EXPECT_EQ(RenderTool(file + " --ww 1e999 -o " + dir + "/x.png"), 2);
  EXPECT_EQ(RenderTool(file + " --wl 12abc -o " + dir + "/x.png"), 2);
  EXPECT_EQ(RenderTool(dir + "/missing.dcm -o " + dir + "/x.png"), 1);
  EXPECT_EQ(RenderTool(file + " --frame 99 -o " + dir + "/nodir/x.png"), 1);
}
