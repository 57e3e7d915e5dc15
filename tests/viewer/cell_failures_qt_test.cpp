// What a user sees when a frame cannot be shown: the reason across an empty
// cell, and a frame whose data ends early shown as far as it goes with an
// "incomplete image" mark.
#include <gtest/gtest.h>

#include <QColor>

#include "cell_fixtures.h"
#include "pixels/ImageUtilities.h"
#include "support/fixtures.h"
#include "viewer/AdvancedImage.h"

using cellfix::Image;

namespace {

class CellFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cell.resize(240, 180);
    cell.ResizeImage();
  }
  void TearDown() override { cellfix::ClearTree(); }

  std::string dir;
  TadvancedImage cell;
};

// A 40 x 30 ramp of words, cut to `keep` of its pixels when keep > 0.
std::string Ramp(const std::string& dir, const std::string& name, size_t keep = 0) {
  Image s;
  s.columns = 40;
  s.rows = 30;
  s.windowCenter = "600";
  s.windowWidth = "1200";
  for (int i = 0; i < 1200; ++i) s.values.push_back(i);
  std::vector<uint8_t> file = cellfix::Build(s);
  if (keep > 0) file.resize(file.size() - 2 * (1200 - keep));
  return fixtures::WriteFile(dir, name, file);
}

// Pixels in `area` painted with colour c.
int Painted(const QImage& img, QColor c, QRect area) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) n += cellfix::Painted(img.pixel(x, y), c);
  return n;
}

TEST_F(CellFailures, AnEmptyCellSaysWhyItsImageIsNotShown) {
  const std::string video = fixtures::WriteFile(
      dir, "video.dcm",
      fixtures::EncapsulatedFile({}, "1.2.840.10008.1.2.4.59", fixtures::Fragments({2000})));
  EXPECT_FALSE(cell.LoadFile(video, 1));
  EXPECT_NE(cell.LastLoadError().find("Hierarchical"), std::string::npos) << cell.LastLoadError();
  cell.ShowFailure(cell.LastLoadError());
  const QImage shown = cell.Surface();
  // Light grey text in the middle of a black cell.
  const QRect middle(24, 45, 192, 90);
  int lit = 0;
  for (int y = middle.top(); y <= middle.bottom(); ++y)
    for (int x = middle.left(); x <= middle.right(); ++x) lit += qGray(shown.pixel(x, y)) > 100;
  EXPECT_GT(lit, 50);
  // The next image replaces the reason; clearing the cell removes it.
  ASSERT_TRUE(cell.LoadFile(Ramp(dir, "ramp.dcm"), 1));
  EXPECT_TRUE(cell.FailureText().empty());
  cell.ShowFailure("not shown while an image is");
  cell.Clear();
  EXPECT_TRUE(cell.FailureText().empty());
}

TEST_F(CellFailures, AFrameWhoseDataEndsEarlyIsShownAndMarked) {
  const QColor mark(255, 160, 40);
  ASSERT_TRUE(cell.LoadFile(Ramp(dir, "whole.dcm"), 1));
  EXPECT_FALSE(cell.FrameIncomplete());
  EXPECT_EQ(Painted(cell.Surface(), mark, QRect(0, 0, 240, 30)), 0);

  const std::string cut = Ramp(dir, "cut.dcm", 500);
  cellfix::MakeTree({{cut}});
  cell.PatientIndex = cell.StudyIndex = cell.SeriesIndex = cell.ImageIndex = 0;
  ASSERT_TRUE(cell.LoadFile(cut, 1)) << cell.LastLoadError();
  EXPECT_TRUE(cell.FrameIncomplete());
  EXPECT_EQ(cell.Buffers().buff16[499], 499);  // what the file holds
  EXPECT_EQ(cell.Buffers().buff16[500], 0);    // then nothing
  EXPECT_GT(Painted(cell.Surface(), mark, QRect(0, 0, 240, 30)), 10);
  // Showing it again, from the cache or the file, keeps the mark.
  ASSERT_TRUE(cell.LoadFile(cut, 1));
  EXPECT_TRUE(cell.FrameIncomplete());
}

TEST_F(CellFailures, ThumbnailsOfFramesThatDoNotDecodeGiveTheReason) {
  TImg image;
  image.imagePath = fixtures::WriteFile(
      dir, "video.dcm",
      fixtures::EncapsulatedFile({}, "1.2.840.10008.1.2.4.102", fixtures::Fragments({2000})));
  std::string why;
  EXPECT_TRUE(MakeSeriesThumbnail(image, &why).isNull());
  // Bytes that hold nothing an H.264 decoder takes.
  EXPECT_EQ(why, "frame 1 does not decode");
  const QImage t = FailureThumbnail(why);
  ASSERT_FALSE(t.isNull());
  EXPECT_EQ(t.size(), QSize(kSeriesThumbnailSize, kSeriesThumbnailSize));
  int lit = 0;
  for (int y = 0; y < t.height(); ++y)
    for (int x = 0; x < t.width(); ++x) lit += qGray(t.pixel(x, y)) > 120;
  EXPECT_GT(lit, 30);
}

}  // namespace
