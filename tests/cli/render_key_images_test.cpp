// tavrolen-dicom render --with KOS: the key image star and the document's
// title on an image the key object selection names, and a note (no star) on
// one it does not.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

struct Ppm {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  // The star's and caption's yellow: no grey picture holds it.
  int YellowIn(int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1 && y < height; ++y)
      for (int x = x0; x < x1 && x < width; ++x) {
        const uint8_t* p = &rgb.at(size_t(3 * (y * width + x)));
        n += p[0] > 200 && p[1] > 150 && p[2] < 80;
      }
    return n;
  }
};

Ppm ReadPpm(const std::string& path) {
  Ppm p;
  const fixtures::Bytes b = fixtures::ReadFile(path);
  int maxval = 0, consumed = 0;
  const std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &consumed) != 3)
    return {};
  p.rgb.assign(b.begin() + consumed + 1, b.end());
  return p;
}

class RenderKeyImages : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                       "/tests/cli/objects_fixture.py '" + dir + "' 2>&1",
                                   &out),
              0)
        << out;
  }
  int Render(const std::string& image, const std::string& out, std::string* text) {
    return fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render '" + dir + "/" + image +
                                    "' --size 300x200 --no-info --with '" + dir + "/kos.dcm' -o '" +
                                    out + "' 2>&1",
                                text);
  }
  std::string dir;
};

TEST_F(RenderKeyImages, StarAndTitleOnANamedImageOnly) {
  std::string text;
  ASSERT_EQ(Render("ct2.dcm", dir + "/key.ppm", &text), 0) << text;
  EXPECT_EQ(text.find("note"), std::string::npos) << text;
  const Ppm key = ReadPpm(dir + "/key.ppm");
  ASSERT_EQ(key.width, 300);
  // The cell's frame ends 6 pixels short of its edges; the star is 14 in from its corner.
  EXPECT_GT(key.YellowIn(270, 4, 290, 24), 40);  // the star
  EXPECT_GT(key.YellowIn(120, 4, 265, 24), 20);  // "For Teaching: Two lesions" left of it
  EXPECT_EQ(key.YellowIn(0, 40, 300, 200), 0);   // and nothing on the picture

  text.clear();
  ASSERT_EQ(Render("ct1.dcm", dir + "/plain.ppm", &text), 0) << text;
  EXPECT_NE(text.find("note: " + dir + "/kos.dcm: names none of the frames"), std::string::npos)
      << text;
  const Ppm plain = ReadPpm(dir + "/plain.ppm");
  ASSERT_EQ(plain.width, 300);
  EXPECT_EQ(plain.YellowIn(0, 0, 300, 200), 0);
}

}  // namespace
