// Presentation states on a cell: the grey table the state's transformations
// make, shutters painted where the image is, and the state dropped with its
// image.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/CellPresentation.h"

namespace {

uint8_t At(const WordGreyTable& t, int word) {
  return t[uint16_t(int16_t(word))];
}

TEST(PresentationTable, WindowFunctionsTablesAndPolarity) {
  TPresentationState ps;
  TVoiWindow w;
  w.center = 0;
  w.width = 100;
  // A LINEAR window needs no table of its own: the cell's window does it.
  EXPECT_EQ(PresentationWordTable(ps, &w, 1, 0, false, true), nullptr);
  w.function = "LINEAR_EXACT";
  auto t = PresentationWordTable(ps, &w, 1, 0, false, true);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(At(*t, -50), 0);
  EXPECT_EQ(At(*t, 0), 128);
  EXPECT_EQ(At(*t, 25), 191);
  EXPECT_EQ(At(*t, 51), 255);
  // The state's rescale, not the image's, leads into its window.
  ps.hasRescale = true;
  ps.rescaleIntercept = -1000;
  t = PresentationWordTable(ps, &w, 1, 0, false, true);
  EXPECT_EQ(At(*t, 1000), 128);
  ps.presentationShape = "INVERSE";
  t = PresentationWordTable(ps, &w, 1, 0, false, true);
  EXPECT_EQ(At(*t, 950), 255);
  EXPECT_EQ(At(*t, 1050), 0);

  // A VOI table whose first value was written unsigned: for signed data
  // 65535 is -1. Inputs beyond either end take the end's entry.
  TPresentationState plain;
  TVoiWindow lut;
  lut.hasLut = true;
  lut.lut.first = 65535;
  lut.lut.firstAmbiguous = true;
  lut.lut.bits = 8;
  lut.lut.data = {10, 20, 30};
  t = PresentationWordTable(plain, &lut, 1, 0, false, true);
  EXPECT_EQ(At(*t, -5), 10);
  EXPECT_EQ(At(*t, 0), 20);
  EXPECT_EQ(At(*t, 9), 30);
  t = PresentationWordTable(plain, &lut, 1, 0, true, false);  // unsigned: 65535 it is
  EXPECT_EQ((*t)[65535], 10);
  EXPECT_EQ((*t)[0], 10);

  // A presentation table after the window: 0 ... 1 spread over its entries.
  plain.hasPresentationLut = true;
  plain.presentationLut.bits = 8;
  plain.presentationLut.data = {255, 0};
  t = PresentationWordTable(plain, &w, 1, 0, false, true);
  EXPECT_EQ(At(*t, -100), 255);
  EXPECT_EQ(At(*t, 100), 0);
}

class CellPresentation : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    fixtures::ImageSpec s;
    s.columns = 40;
    s.rows = 20;
    first = fixtures::WriteFile(dir, "a.dcm", fixtures::SmallImageFile(s));
    std::string why;
    ASSERT_TRUE(ReadSourceInfo(first, source, why)) << why;
    cell.resize(200, 200);
    cell.ResizeImage();
    ASSERT_TRUE(cell.LoadFile(first, 1)) << cell.LastLoadError();
    cell.PauseCine();
  }
  TPresentationState State(const std::string& instance) {
    TPresentationState ps;
    ps.manufacturer = "Another Viewer";
    ps.series = {{source.seriesInstanceUid, {{source.sopClassUid, instance, {}}}}};
    return ps;
  }
  std::string dir, first;
  TSourceInfo source;
  TadvancedImage cell;
};

TEST_F(CellPresentation, ShutterTurnsWithTheImageAndLeavesWithIt) {
  TPresentationState ps = State(source.sopInstanceUid);
  ps.shutter.rectangular = true;
  ps.shutter.left = 11, ps.shutter.right = 40, ps.shutter.top = 1, ps.shutter.bottom = 20;
  ps.shutter.grey = 0x8000;
  ps.rotation = 90;
  std::string why;
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "state.dcm", why)) << why;
  const QImage bmp = cell.Bitmap();
  ASSERT_EQ(bmp.size(), QSize(20, 40));  // turned a quarter
  // Columns 1 ... 10 of the image are the top ten rows of the turned bitmap.
  for (int x = 0; x < 20; ++x) {
    EXPECT_EQ(bmp.pixel(x, 5), qRgb(128, 128, 128)) << x;
    EXPECT_NE(bmp.pixel(x, 15), qRgb(128, 128, 128)) << x;
  }
  // Another image shown: the state is gone, with its turn and shutter.
  fixtures::ImageSpec s;
  s.columns = 40;
  s.rows = 20;
  s.seriesUid = "1.2.3.4.6";
  const std::string second = fixtures::WriteFile(dir, "b.dcm", fixtures::SmallImageFile(s));
  ASSERT_TRUE(cell.LoadFile(second, 1));
  EXPECT_EQ(cell.presentation, nullptr);
}

TEST_F(CellPresentation, ResetDropsTheStateAndAStateForOthersIsRefused) {
  std::string why;
  EXPECT_FALSE(ApplyPresentationState(cell, State("1.2.999"), "other.dcm", why));
  EXPECT_NE(why.find("other images"), std::string::npos) << why;
  EXPECT_EQ(cell.presentation, nullptr);

  TPresentationState ps = State(source.sopInstanceUid);
  ps.presentationShape = "INVERSE";
  const QImage before = cell.Bitmap();
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "state.dcm", why)) << why;
  EXPECT_EQ(cell.Bitmap().pixel(0, 0), qRgb(255, 255, 255) - (before.pixel(0, 0) & 0xFFFFFF));
  ClearPresentationState(cell);
  EXPECT_EQ(cell.presentation, nullptr);
  EXPECT_EQ(cell.Bitmap(), before);
}

// A state for another frame of the image shows that frame; one for a frame
// the image lacks is refused.
TEST(CellPresentationFrames, AStateForAnotherFrameShowsThatFrame) {
  const std::string dir = testsupport::TempDir("cell_presentation_frames");
  fixtures::ImageSpec s;
  s.columns = 16;
  s.rows = 16;
  s.frames = 3;
  const std::string path = fixtures::WriteFile(dir, "cine.dcm", fixtures::SmallImageFile(s));
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(path, source, why)) << why;
  TadvancedImage cell;
  cell.resize(100, 100);
  cell.ResizeImage();
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.PauseCine();
  TPresentationState ps;
  ps.manufacturer = "Another Viewer";
  ps.series = {{source.seriesInstanceUid, {{source.sopClassUid, source.sopInstanceUid, {2}}}}};
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "frame2.dcm", why)) << why;
  EXPECT_EQ(cell.CurrentFrame, 2);
  ASSERT_NE(cell.presentation, nullptr);
  ps.series[0].images[0].frames = {7};  // no such frame
  EXPECT_FALSE(ApplyPresentationState(cell, ps, "frame7.dcm", why));
}

// The displayed area decides zoom and pan: a part of the image fitted with
// its middle in the middle of the view, or a fixed magnification.
TEST_F(CellPresentation, DisplayedAreaFitsOrMagnifiesItsPart) {
  TPresentationState ps = State(source.sopInstanceUid);
  TDisplayedArea area;
  area.left = 11, area.top = 1, area.right = 20, area.bottom = 10;  // 10 x 10, left of the middle
  ps.areas = {area};
  std::string why;
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "fit.dcm", why)) << why;
  EXPECT_EQ(cell.zoomFactor, 1950);  // (200 - 5) / 10 view pixels per image pixel
  // The area's middle (15, 5) lies 5 pixels left of and above the image's (20, 10).
  EXPECT_NEAR(cell.PanX, 97.5, 1);
  EXPECT_NEAR(cell.panY, 97.5, 1);
  ps.areas[0].sizeMode = "MAGNIFY";
  ps.areas[0].magnification = 2;
  ps.rotation = 180;
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "magnify.dcm", why)) << why;
  EXPECT_EQ(cell.zoomFactor, 200);
  EXPECT_NEAR(cell.PanX, -10, 1);  // turned half round: now right of and below the middle
  EXPECT_NEAR(cell.panY, -10, 1);

  // The state's pixel spacing is what the cell measures with.
  Shape line;
  line.shapeType = STMeasureLine;
  line.x1 = -5, line.y1 = 0, line.x2 = 5, line.y2 = 0;
  ps.areas[0].rowSpacing = ps.areas[0].columnSpacing = 2;
  ASSERT_TRUE(ApplyPresentationState(cell, ps, "spacing.dcm", why)) << why;
  EXPECT_EQ(cell.MeasurementLines(line).join(" ").toStdString(), "20.00 mm");
  ClearPresentationState(cell);
  EXPECT_EQ(cell.MeasurementLines(line).join(" ").toStdString(), "2.50 mm");  // the file's 0.25
}

}  // namespace
