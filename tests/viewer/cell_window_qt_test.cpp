// Window/level of a cell: polarity and inversion, typed windows, sane
// pictures for degenerate windows and slopes, brightness/contrast of byte
// images, and the window drags (the cell's own, with mouse events, and the
// proportional one of the all-viewers mode).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>

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
