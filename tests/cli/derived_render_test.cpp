// tavrolen-dicom render --with: segmentations and structure sets drawn on the
// images they belong to (fixtures written with pydicom), checked pixel by
// pixel against the same render without them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  std::array<int, 3> At(int x, int y) const {
    const size_t i = size_t(3 * (y * width + x));
    return {rgb.at(i), rgb.at(i + 1), rgb.at(i + 2)};
  }
};

Picture ReadPpm(const std::string& path) {
  Picture p;
  const fixtures::Bytes b = fixtures::ReadFile(path);
  int maxval = 0, consumed = 0;
  const std::string head(b.begin(), b.begin() + std::min<size_t>(b.size(), 64));
  if (std::sscanf(head.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &consumed) != 3)
    return {};
  p.rgb.assign(b.begin() + consumed + 1, b.end());
  return p;
}

class RenderWith : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " help", &help);
    if (help.find("render FILE") == std::string::npos) GTEST_SKIP() << "built without Qt";
    if (!testsupport::HavePythonModules("pydicom, numpy")) REQUIRE_OR_SKIP("pydicom is missing");
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                       "/tests/cli/derived_fixtures.py " + dir + " 2>&1",
                                   &out),
              0)
        << out;
  }
  // Renders slice `slice` with args to a PPM; the tool's messages in *out.
  Picture Render(int slice, const std::string& args, std::string* out = nullptr) {
    const std::string file = dir + "/r" + std::to_string(++count) + ".ppm";
    std::string text;
    const int rc =
        fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " render " + dir + "/ct" +
                                 std::to_string(slice) + ".dcm " + args + " -o " + file + " 2>&1",
                             &text);
    EXPECT_EQ(rc, 0) << text;
    if (out) *out = text;
    return ReadPpm(file);
  }
  std::string dir;
  int count = 0;
};

// Segment fill at 40 % over grey g, as the cell blends it.
int Blend(int g, int c) {
  return (g * 153 + c * 102 + 127) / 255;
}

struct Box {
  int top, left, bottom, right;  // inclusive
  bool Inside(int x, int y) const { return y >= top && y <= bottom && x >= left && x <= right; }
  bool Edge(int x, int y) const {
    return Inside(x, y) && (y == top || y == bottom || x == left || x == right);
  }
};

// Inside each box: its outline in the segment's colour, the rest tinted 40 %
// towards it; outside every box, the plain render's pixel.
void ExpectSegments(const Picture& plain, const Picture& with, const Box boxes[2],
                    const std::array<int, 3> colours[2]) {
  ASSERT_EQ(plain.width, 64);
  ASSERT_EQ(with.width, 64);
  ASSERT_EQ(with.height, 64);
  int wrong = 0;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) {
      const std::array<int, 3> p = plain.At(x, y), w = with.At(x, y);
      std::array<int, 3> want = p;
      for (int s = 0; s < 2; ++s) {
        if (boxes[s].Edge(x, y))
          want = colours[s];
        else if (boxes[s].Inside(x, y))
          for (int i = 0; i < 3; ++i) want[size_t(i)] = Blend(p[size_t(i)], colours[s][size_t(i)]);
      }
      if (w != want && ++wrong < 5)
        ADD_FAILURE() << "pixel " << x << "," << y << ": " << w[0] << " " << w[1] << " " << w[2]
                      << ", expected " << want[0] << " " << want[1] << " " << want[2];
    }
  EXPECT_EQ(wrong, 0);
}

const Box kBoxes[2] = {{10, 10, 29, 29}, {36, 30, 53, 49}};

TEST_F(RenderWith, SegmentationOnTheSliceItNames) {
  const Picture plain = Render(2, "--bitmap");
  const Picture with = Render(2, "--bitmap --with " + dir + "/seg_ref.dcm");
  ASSERT_GT(with.width, 0);
  // Segment 1's CIELab red, segment 2 the palette's second colour.
  const std::array<int, 3> red = with.At(10, 10);
  EXPECT_GE(red[0], 250);
  EXPECT_LE(red[1], 10);
  EXPECT_LE(red[2], 10);
  const std::array<int, 3> colours[2] = {red, {60, 180, 75}};
  ExpectSegments(plain, with, kBoxes, colours);

  // The other slices: unchanged, and said so.
  for (int slice : {1, 3}) {
    std::string out;
    const Picture other = Render(slice, "--bitmap --with " + dir + "/seg_ref.dcm", &out);
    EXPECT_EQ(other.rgb, Render(slice, "--bitmap").rgb) << slice;
    EXPECT_NE(out.find("nothing in it lies on this image"), std::string::npos) << out;
  }
}

TEST_F(RenderWith, SegmentationFoundByPositionOnAnotherGrid) {
  // No source references: the frames' frame of reference and position place
  // them, from a grid of 2 mm pixels onto the CT's 1 mm ones.
  const Picture plain = Render(2, "--bitmap");
  const Picture with = Render(2, "--bitmap --with " + dir + "/seg_pos.dcm");
  ASSERT_GT(with.width, 0);
  const std::array<int, 3> colours[2] = {with.At(10, 10), {60, 180, 75}};
  ExpectSegments(plain, with, kBoxes, colours);
  EXPECT_EQ(Render(1, "--bitmap --with " + dir + "/seg_pos.dcm").rgb, Render(1, "--bitmap").rgb);
}

TEST_F(RenderWith, StructureContourOnItsSliceOnly) {
  // Cell of the image's size, fitted at zoom 100: view pixels are image pixels.
  const std::string cell = "--size 64x64 --no-info";
  const Picture plain = Render(3, cell);
  const Picture with = Render(3, cell + " --with " + dir + "/rt.dcm");
  ASSERT_EQ(with.width, 64);
  // The square (20, 20)-(40, 40) mm: pixel edges 20.5 .. 40.5, drawn yellow.
  for (int t = 22; t <= 38; t += 4)
    for (const auto& [x, y] : {std::pair{20, t}, {40, t}, {t, 20}, {t, 40}}) {
      const std::array<int, 3> p = plain.At(x, y), w = with.At(x, y);
      EXPECT_GE(w[0], p[0]) << x << "," << y;
      EXPECT_GE(w[1], p[1]) << x << "," << y;
      EXPECT_LT(w[2], p[2] - 60) << x << "," << y;
      EXPECT_GT(w[0], w[2] + 100) << x << "," << y;
    }
  // Inside and outside the square, away from its edge: untouched.
  for (const auto& [x, y] : {std::pair{30, 30}, {24, 24}, {10, 10}, {50, 30}, {30, 50}})
    EXPECT_EQ(with.At(x, y), plain.At(x, y)) << x << "," << y;
  for (int slice : {1, 2})
    EXPECT_EQ(Render(slice, cell + " --with " + dir + "/rt.dcm").rgb, Render(slice, cell).rgb)
        << slice;
}

}  // namespace
