// Window/level of a cell: polarity and inversion, typed windows, sane
// pictures for degenerate windows and slopes, brightness/contrast of byte
// images, and the window drags (the cell's own, with mouse events, and the
// proportional one of the all-viewers mode).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <set>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;
using cellfix::Row;

namespace {

class CellWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cell.resize(300, 200);
    cell.ResizeImage();
    multi = gProcessAllViewers.exchange(false);
  }
  void TearDown() override { gProcessAllViewers = multi; }

  Image Grey(int width, int center) {
    Image s;
    s.columns = 3;
    s.rows = 1;
    s.windowWidth = std::to_string(width);
    s.windowCenter = std::to_string(center);
    s.values = {0, 100, 200};
    return s;
  }
  bool Load(const Image& s, const std::string& name = "i.dcm") {
    return cell.LoadFile(cellfix::Write(dir, name, s), 1);
  }
  void Mouse(QEvent::Type type, Qt::MouseButton button, QPoint at) {
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, at, cell.mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : button,
                  held, Qt::NoModifier);
    QCoreApplication::sendEvent(&cell, &e);
  }

  bool multi = false;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellWindow, PolarityInvertAndTypedWindows) {
  Image s = Grey(200, 100);
  s.photometric = "MONOCHROME1";
  ASSERT_TRUE(Load(s));
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{255, 127, 0}));
  cell.Invert();
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255}));
  cell.Invert();

  s.photometric = "MONOCHROME2";
  ASSERT_TRUE(Load(s, "m2.dcm"));
  cell.SetWwWl(100, 150);
  EXPECT_EQ(cell.DeltaWW, -100);
  EXPECT_EQ(cell.DeltaWL, 50);
  cell.createBitmap();
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 0, 255}));
  EXPECT_EQ(cell.windowWidth, 100);
  cell.ResetWwWL();
  EXPECT_EQ(cell.windowWidth, 200);
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255}));

  // A width of 0 thresholds at the level; zero and negative slopes still map.
  cell.SetWwWl(0, 100);
  ASSERT_TRUE(cell.createBitmap());
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255}));
  // (The reader takes such slopes as 1; a header can still carry them.)
  cell.ResetWwWL();
  cell.gDicomData.IntenScale = 0.0f;
  ASSERT_TRUE(cell.createBitmap());
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{128, 128, 128}));
  cell.gDicomData.IntenScale = -1.0f;
  cell.gDicomData.WindowWidth = 200;
  cell.gDicomData.WindowCenter = -100;
  ASSERT_TRUE(cell.createBitmap());
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{255, 128, 0}));  // rescaled 0, -100, -200
}

TEST_F(CellWindow, BrightnessAndContrastOfByteImages) {
  Image s;
  s.columns = 4;
  s.rows = 1;
  s.bitsAllocated = 8;
  s.values = {0, 64, 128, 255};
  ASSERT_TRUE(Load(s));
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 64, 128, 255}));
  cell.brightness = 300;
  cell.createBitmap();
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{255, 255, 255, 255}));
  cell.brightness = 0;
  cell.contrast = 300;
  cell.createBitmap();
  const std::vector<int> steep = Row(cell.Bitmap(), 0);
  cell.contrast = 256;
  cell.createBitmap();
  EXPECT_EQ(Row(cell.Bitmap(), 0), steep);
  EXPECT_EQ(steep, (std::vector<int>{0, 0, 128, 255}));
}

TEST_F(CellWindow, CellDragStepsByTenWithTheRightButton) {
  ASSERT_TRUE(Load(Grey(400, 40)));
  cell.Action = VALine;
  Mouse(QEvent::MouseButtonPress, Qt::RightButton, {100, 100});
  EXPECT_EQ(cell.Action, VAWWWL);
  Mouse(QEvent::MouseMove, Qt::RightButton, {110, 100});  // not more than 10: nothing
  EXPECT_EQ(cell.windowWidth, 400);
  Mouse(QEvent::MouseMove, Qt::RightButton, {111, 89});
  EXPECT_EQ(cell.windowWidth, 410);
  EXPECT_EQ(cell.windowLevel, 30);
  EXPECT_EQ(cell.contrast, 10);
  Mouse(QEvent::MouseButtonRelease, Qt::RightButton, {111, 89});
  EXPECT_EQ(cell.Action, VAPan);  // a passing drag
  EXPECT_FALSE(cell.IsMouseDown);

  // The width never drops below 10.
  ASSERT_TRUE(Load(Grey(10, 40), "narrow.dcm"));
  cell.lastX = 100;
  cell.lastY = 100;
  cell.WindowDrag(89, 100);
  EXPECT_EQ(cell.windowWidth, 10);
  EXPECT_EQ(cell.DeltaWW, 0);
}

TEST_F(CellWindow, ProportionalDragOfTheAllViewersMode) {
  cell.LockWwWl(false);  // each load starts from the header's window
  const std::pair<int, int> cases[] = {{400, 10}, {4000, 100}, {300, 7}};
  int n = 0;
  for (auto [width, step] : cases) {
    ASSERT_TRUE(Load(Grey(width, 100), "w" + std::to_string(n++) + ".dcm"));
    cell.WwWL(11, 0, 10);
    EXPECT_EQ(cell.DeltaWW, step) << width;
    EXPECT_EQ(cell.windowWidth, width + step);
    cell.WwWL(10, 10, 10);  // within the sensitivity: nothing
    EXPECT_EQ(cell.DeltaWW, step);
  }
}

namespace {

size_t GreyLevels(const QImage& img) {
  std::set<int> levels;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) levels.insert(cellfix::Grey(img, x, y));
  return levels.size();
}

}  // namespace

TEST_F(CellWindow, RealValuedDataShowsEveryGreyLevelItHolds) {
  // A float parametric map over 4e-4 units: 4096 values, all 256 levels.
  Image map;
  map.modality = "MR";
  map.columns = map.rows = 64;
  map.bitsAllocated = 32;
  for (int i = 0; i < 64 * 64; ++i) map.floats.push_back(0.1f + float(i) * 1e-7f);
  ASSERT_TRUE(Load(map, "map.dcm")) << cell.LastLoadError();
  EXPECT_EQ(GreyLevels(cell.Bitmap()), 256u);
  EXPECT_NEAR(cell.windowWidth, 4095 * 1e-7, 1e-6);
  EXPECT_NEAR(cell.windowLevel, 0.1 + 2048 * 1e-7, 1e-6);
  // 100 distinct values of the map: 100 levels, none merged.
  for (int i = 0; i < 64 * 64; ++i) map.floats[size_t(i)] = -3.0f + float(i % 100) * 1e-5f;
  ASSERT_TRUE(Load(map, "map100.dcm"));
  EXPECT_EQ(GreyLevels(cell.Bitmap()), 100u);

  // A PET with slope 5.9e-8: 200 stored values 0 ... 3383 span 2e-4 units.
  Image pet;
  pet.modality = "PT";
  pet.columns = 20;
  pet.rows = 10;
  pet.slope = "5.9e-8";
  for (int i = 0; i < 200; ++i) pet.values.push_back(i * 17);
  ASSERT_TRUE(Load(pet, "pet.dcm"));
  EXPECT_EQ(GreyLevels(cell.Bitmap()), 200u);
  EXPECT_GT(cell.windowWidth, 1.9e-4);
  EXPECT_LT(cell.windowWidth, 2.0e-4);
  // Typed real-valued windows act as given: the lower half of the range.
  cell.SetWwWl(1e-4, 5e-5);
  ASSERT_TRUE(cell.createBitmap());
  const QImage half = cell.Bitmap();
  EXPECT_EQ(cellfix::Grey(half, 0, 0), 0);
  EXPECT_EQ(cellfix::Grey(half, 19, 9), 255);
  EXPECT_GT(GreyLevels(half), 90u);
}

TEST_F(CellWindow, FileWindowOfWidthZeroOrBelowIsIgnored) {
  cell.LockWwWl(false);  // each load starts from the file's window
  for (const char* width : {"0", "-40"}) {
    Image s = Grey(0, 100);
    s.windowWidth = width;
    ASSERT_TRUE(Load(s, std::string("w") + width + ".dcm"));
    // The data's range: 0 ... 200.
    EXPECT_EQ(cell.windowWidth, 200) << width;
    EXPECT_EQ(cell.windowLevel, 100) << width;
    EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255})) << width;
    // A drag starts from that window, not from 0.
    cell.lastX = cell.lastY = 100;
    cell.WindowDrag(111, 100);
    EXPECT_EQ(cell.windowWidth, 210) << width;
  }
}

TEST_F(CellWindow, DragsOnTinyRangesMoveBySensibleFractions) {
  // An RT image: stored 0 ... 2100 by 1e-4, window 0.21 wide.
  Image s;
  s.columns = 3;
  s.rows = 1;
  s.modality = "RTIMAGE";
  s.slope = "0.0001";
  s.windowWidth = "0.21";
  s.windowCenter = "0.105";
  s.values = {0, 1050, 2100};
  ASSERT_TRUE(Load(s));
  EXPECT_EQ(cell.windowWidth, 0.21);
  const std::vector<int> row = Row(cell.Bitmap(), 0);
  EXPECT_EQ(row[0], 0);
  EXPECT_NEAR(row[1], 128, 1);  // 127.5 up to the slope's single precision
  EXPECT_EQ(row[2], 255);
  cell.lastX = cell.lastY = 100;
  cell.WindowDrag(111, 111);
  // One step is a few percent of the window, not 10 whole units.
  EXPECT_NEAR(cell.windowWidth, 0.215, 1e-9);
  EXPECT_NEAR(cell.windowLevel, 0.11, 1e-9);
  cell.ResetWwWL();
  cell.WwWL(11, 0, 10);
  EXPECT_GT(cell.windowWidth, 0.21);
  EXPECT_LT(cell.windowWidth, 0.23);
  // Integer CT data keeps its whole steps (CellDragStepsByTenWithTheRightButton).
  ASSERT_TRUE(Load(Grey(400, 40), "ct.dcm"));
  EXPECT_EQ(cell.windowUnit, 1);
}
