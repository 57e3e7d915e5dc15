// View geometry of a cell: fit, zoom, pan, turns and flips of the bitmap, the
// image/view mappings, orientation kept across images, and the operations the
// all-viewers mode runs on pool threads.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <thread>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Grey;
using cellfix::Image;

namespace {

class CellView : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Size(800, 600);
  }
  void TearDown() override { cellfix::ClearTree(); }
  void Size(int w, int h) {
    cell.resize(w, h);
    cell.ResizeImage();
  }
  // An 8-bit picture whose pixels all differ.
  std::string Bytes(const std::string& name, int columns, int rows) {
    Image s;
    s.columns = columns;
    s.rows = rows;
    s.bitsAllocated = 8;
    s.modality = "OT";
    for (int i = 0; i < columns * rows; ++i) s.values.push_back((10 + 30 * i) % 256);
    return cellfix::Write(dir, name, s);
  }

  std::string dir;
  TadvancedImage cell;
};

OrientationState State(Directions top, Directions right) {
  OrientationState s;
  s.Top = top;
  s.Right = right;
  s.Bottom = Directions((top + 2) % 4);
  s.Left = Directions((right + 2) % 4);
  return s;
}

}  // namespace

TEST_F(CellView, FitAndZoomFloor) {
  const std::tuple<int, int, int> cases[] = {{512, 512, 117}, {1000, 500, 80}, {100, 50, 1200}};
  for (auto [w, h, zoom] : cases) {
    ASSERT_TRUE(cell.LoadFile(Bytes("fit.dcm", w, h), 1));
    cell.Pan(30, 40);
    cell.FitImage();
    EXPECT_EQ(cell.zoomFactor, zoom) << w << " x " << h;
    EXPECT_EQ(cell.imageCenter, cell.viewerCenter);
  }
  cell.Zoom(100 - cell.zoomFactor);
  cell.Zoom(-500);
  EXPECT_EQ(cell.zoomFactor, 1);
  cell.Zoom(INT_MAX);
  cell.Zoom(INT_MAX);  // saturates instead of wrapping
  EXPECT_EQ(cell.zoomFactor, INT_MAX);
  cell.RenderViewer();  // a huge zoom still renders
}

TEST_F(CellView, TurnsAndFlipsMoveBitmapPixelsExactly) {
  ASSERT_TRUE(cell.LoadFile(Bytes("t.dcm", 4, 2), 1));
  const QImage orig = cell.Bitmap();
  cell.Rotate90();
  QImage b = cell.Bitmap();
  ASSERT_EQ(b.size(), QSize(2, 4));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(b.pixel(1 - y, x), orig.pixel(x, y));
  EXPECT_EQ(cell.orientation, State(DrLeft, DrTop));
  for (int i = 0; i < 3; ++i) cell.Rotate90();
  EXPECT_EQ(cell.Bitmap(), orig);
  EXPECT_EQ(cell.orientation, OrientationState{});
  cell.Rotate90();
  cell.Flip(flHorizontal);
  EXPECT_EQ(cell.orientation, State(DrLeft, DrBottom));
  b = cell.Bitmap();
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(b.pixel(y, x), orig.pixel(x, y));
}

// In all eight states the mappings are exact inverses, and the surface shows
// each image pixel where ImageToView puts it.
TEST_F(CellView, MappingsFollowThePictureInEveryState) {
  Size(200, 160);
  ASSERT_TRUE(cell.LoadFile(Bytes("m.dcm", 4, 2), 1));
  const QImage orig = cell.Bitmap();
  const std::vector<std::function<void()>> steps = {[] {},
                                                    [&] { cell.Flip(flHorizontal); },
                                                    [&] { cell.Flip(flVertical); },
                                                    [&] { cell.Rotate180(); },
                                                    [&] { cell.Rotate90(); },
                                                    [&] {
                                                      cell.Rotate90();
                                                      cell.Flip(flHorizontal);
                                                    },
                                                    [&] { cell.Rotate270(); },
                                                    [&] {
                                                      cell.Rotate270();
                                                      cell.Flip(flHorizontal);
                                                    }};
  std::vector<OrientationState> seen;
  for (const auto& step : steps) {
    cell.ResetImage();
    step();
    seen.push_back(cell.orientation);
    cell.Zoom(1000 - cell.zoomFactor);
    cell.Pan(3, -7);
    cell.IsMouseDown = true;  // plain stretch: pixel values arrive unblended
    cell.RenderViewer();
    cell.IsMouseDown = false;
    const QImage surface = cell.Surface();
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 4; ++x) {
        const QPoint a(x - 2, y - 1);  // image space: offsets from the centre
        const QPoint v = (cell.ImageToView(a) + cell.ImageToView(a + QPoint(1, 1))) / 2;
        EXPECT_EQ(surface.pixel(v), orig.pixel(x, y)) << x << "," << y;
      }
    }
    for (QPoint p : {QPoint(0, 0), QPoint(-3, 5), QPoint(17, -2)})
      EXPECT_EQ(cell.ViewToImage(cell.ImageToView(p)), p);
    cell.Zoom(100 - cell.zoomFactor);
    for (QPoint v : {QPoint(0, 0), QPoint(150, 20), QPoint(33, 141)})
      EXPECT_EQ(cell.ImageToView(cell.ViewToImage(v)), v);
  }
  std::sort(seen.begin(), seen.end(),
            [](auto& l, auto& r) { return std::pair(l.Top, l.Right) < std::pair(r.Top, r.Right); });
  EXPECT_EQ(std::unique(seen.begin(), seen.end()) - seen.begin(), 8);
}

TEST_F(CellView, TurnsAreKeptForTheNextImageAndResizeKeepsZoom) {
  const std::string a = Bytes("a.dcm", 4, 2), b = Bytes("b.dcm", 4, 2);
  cellfix::MakeTree({{a, b}});
  ASSERT_TRUE(cell.LoadFile(a, 1));
  cell.Rotate90();
  cell.Flip(flVertical);
  const QImage turned = cell.Bitmap();
  const int zoom = cell.zoomFactor;
  cell.ImageIndex = 1;
  ASSERT_TRUE(cell.LoadFile(b, 1));
  EXPECT_EQ(cell.Bitmap(), turned);  // same pixels, same turns
  EXPECT_EQ(cell.zoomFactor, zoom);  // same series: not fitted again

  cell.Pan(10, 20);
  Size(401, 300);
  EXPECT_EQ(cell.zoomFactor, zoom);
  EXPECT_EQ(cell.viewerCenter, QPoint(200, 150));  // 200.5 rounds to even
  EXPECT_EQ(cell.imageCenter, QPoint(210, 170));

  cell.Invert();
  cell.SetWwWl(7, 7);
  cell.ResetImage();
  EXPECT_EQ(cell.orientation, OrientationState{});
  EXPECT_FALSE(cell.Inverted);
  EXPECT_EQ(cell.DeltaWW, 0);
  EXPECT_EQ(cell.Bitmap().size(), QSize(4, 2));
  EXPECT_EQ(cell.imageCenter, cell.viewerCenter);
}

// The all-viewers mode calls these from pool threads; the widget update
// arrives on the UI thread afterwards.
TEST_F(CellView, PoolThreadOperationsChangeOnlyTheirCell) {
  Image ct;
  ct.columns = 2;
  ct.rows = 2;
  ct.windowCenter = "40";
  ct.windowWidth = "400";
  ct.values = {0, 100, 200, 300};
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "ct.dcm", ct), 1));
  cell.Zoom(100 - cell.zoomFactor);
  TadvancedImage other;
  // A thread of its own: waiting for a pool task may run it on this thread.
  std::thread([&] {
    cell.Rotate90();
    cell.Flip(flHorizontal);
    cell.Invert();
    cell.WwWL(20, 20, 10);
    cell.Zoom(50);
    cell.Pan(5, 6);
    cell.ResetWwWL();
    cell.FitImage();
    cell.LockZoom(false);
    cell.LockWwWl(false);
    cell.setShowInfo(false);
    cell.setShowOverlay(false);
  }).join();
  QCoreApplication::processEvents();
  EXPECT_EQ(cell.orientation, State(DrLeft, DrBottom));
  EXPECT_TRUE(cell.Inverted);
  EXPECT_FALSE(cell._LockZoom);
  EXPECT_EQ(cell.zoomFactor, 30000);  // 600 / 2 x 100: fitted
  EXPECT_FALSE(other.HasImage);
  // The surface shows the picture as the pool thread left it.
  const QImage s = cell.Surface();
  EXPECT_EQ(Grey(s, 400 - 150, 300 - 150), 255 - 102);  // stored 0: 160 / 400 x 255, inverted

  // A reset reloads: it waits for the UI thread.
  std::thread([&] { cell.ResetImage(); }).join();
  EXPECT_EQ(cell.orientation, State(DrLeft, DrBottom));
  QCoreApplication::processEvents();
  EXPECT_EQ(cell.orientation, OrientationState{});
  EXPECT_FALSE(cell.Inverted);
}
