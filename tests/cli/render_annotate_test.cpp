// tavrolen-dicom render --annotate and JPEG output, run as a user would.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using fixtures::Bytes;

struct Ppm {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return &rgb.at(size_t(3 * (y * width + x))); }
  bool Red(int x, int y) const { return At(x, y)[0] > 200 && At(x, y)[1] < 60; }
  int RedIn(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) n += Red(x, y);
    return n;
  }
};

Ppm ReadPpm(const std::string& path) {
  Ppm p;
  const Bytes b = fixtures::ReadFile(path);
  int maxval = 0, consumed = 0;
  const std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &consumed) != 3)
    return {};
  p.rgb.assign(b.begin() + consumed + 1, b.end());
  return p;
}

class RenderAnnotate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fixtures::ImageSpec s;  // fitted at zoom 100: view and image pixels agree
    s.columns = 300;
    s.rows = 200;
    file = fixtures::WriteFile(dir, "ct.dcm", fixtures::SmallImageFile(s));
  }
  int Run(const std::string& args) {
    return fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + file +
                                " --size 300x200 --no-info " + args + " 2>/dev/null");
  }
  std::string dir, file;
};

}  // namespace

TEST_F(RenderAnnotate, EveryKindIsDrawnWhereAsked) {
  ASSERT_EQ(Run("-o " + dir + "/plain.ppm"), 0);
  const Ppm plain = ReadPpm(dir + "/plain.ppm");
  ASSERT_EQ(plain.width, 300);
  EXPECT_EQ(plain.RedIn(0, 0, 300, 200), 0);

  ASSERT_EQ(Run("--annotate \"line 10,150 290,150\" --annotate \"measure 20,20 120,20\" "
                "--annotate \"rect 200,40 260,90\" --annotate \"ellipse 20,60 90,120\" "
                "--annotate \"angle 150,60 150,120 200,120\" "
                "--annotate \"text 160,160 290,190 Left kidney\" -o " +
                dir + "/a.ppm"),
            0);
  const Ppm p = ReadPpm(dir + "/a.ppm");
  ASSERT_EQ(p.width, 300);
  EXPECT_GT(p.RedIn(100, 148, 140, 153), 30);  // the line
  EXPECT_GT(p.RedIn(121, 18, 200, 40), 10);    // the measurement's label at its end
  EXPECT_GT(p.RedIn(198, 38, 203, 92), 40);    // the rectangle's left edge
  EXPECT_GT(p.RedIn(18, 80, 24, 100), 5);      // the ellipse's left side
  EXPECT_GT(p.RedIn(170, 117, 195, 123), 15);  // the angle's second arm
  EXPECT_GT(p.RedIn(161, 161, 289, 189), 10);  // the label's text
  EXPECT_EQ(p.RedIn(60, 126, 140, 145), 0);    // and nothing elsewhere
}

TEST_F(RenderAnnotate, JpegExportAndUsage) {
  ASSERT_EQ(Run("--annotate \"measure 20,20 120,20\" -o " + dir + "/cell.jpg"), 0);
  const Bytes j = fixtures::ReadFile(dir + "/cell.jpg");
  ASSERT_GT(j.size(), 4u);
  EXPECT_EQ(j[0], 0xFF);
  EXPECT_EQ(j[1], 0xD8);
  size_t sof = 0;
  for (size_t i = 2; i + 9 < j.size() && !sof; ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xC0) sof = i;  // baseline
  ASSERT_NE(sof, 0u);
  EXPECT_EQ(j[sof + 5] << 8 | j[sof + 6], 200);  // height
  EXPECT_EQ(j[sof + 7] << 8 | j[sof + 8], 300);  // width
  EXPECT_EQ(j[sof + 9], 3);                      // colour

  for (const char* bad : {"circle 1,1 2,2", "line 1,1", "line 1,1 2", "line 1,1 2,2 3,3",
                          "angle 1,1 2,2", "text 1,1 2,2", "measure 1,1 x,2", ""})
    EXPECT_EQ(Run(std::string("--annotate \"") + bad + "\" -o " + dir + "/x.png"), 2) << bad;
  EXPECT_EQ(Run("--bitmap -o " + dir + "/b.jpg"), 2);
  EXPECT_EQ(Run("-o " + dir + "/missing/c.jpg"), 1);
}
