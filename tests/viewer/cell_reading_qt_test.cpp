// Reading aids of a cell: the frame in the corner texts, the cine rate a file
// asks for by any of its three elements, a stack of single-frame images
// playing over its series, the right click that opens the cell's menu, and
// what the cell tells the main window about its window and zoom.
#include <gtest/gtest.h>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;
using cellfix::Mouse;

namespace {

class CellReading : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    restricted = gRestrictedLoad.exchange(false);
    byUser = FrameRateSetByUser.exchange(false);
    multi = gProcessAllViewers.exchange(false);
    cell.resize(400, 300);
    cell.ResizeImage();
  }
  void TearDown() override {
    gRestrictedLoad = restricted;
    FrameRateSetByUser = byUser;
    gProcessAllViewers = multi;
    cellfix::ClearTree();
  }
  static Image Frames(int frames) {
    Image s;
    s.columns = 2;
    s.rows = 1;
    s.frames = frames;
    s.windowCenter = "50";
    s.windowWidth = "100";
    s.values.assign(size_t(2 * std::max(frames, 1)), 0);
    return s;
  }
  std::string File(const std::string& name, const Image& s) { return cellfix::Write(dir, name, s); }
  void Open(int series, int image) {
    cell.SeriesIndex = series;
    cell.ImageIndex = image;
    cell.OpenCurrentImage(true);
    cell.PauseCine();
  }

  bool restricted = false, byUser = false, multi = false;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellReading, TheFrameShowsWithTheCornerTexts) {
  cellfix::MakeTree({{File("cine.dcm", Frames(40)), File("one.dcm", Frames(0))}});
  Open(0, 0);
  EXPECT_EQ(cell.FrameLabel(), "Frame : 1 / 40");
  for (int i = 0; i < 11; ++i) cell.NextFrame();
  EXPECT_EQ(cell.FrameLabel(), "Frame : 12 / 40");
  cell.PrevFrame();
  EXPECT_EQ(cell.FrameLabel(), "Frame : 11 / 40");
  // Drawn above the series line, with the other corner texts only (this
  // cell is narrow: the block stands above the ruler).
  const QColor info = gSettings().InformationColor;
  const auto top = [&] {
    return cellfix::Ink(cell.Surface(), info, QRect(10, 170, 100, 130)).top();
  };
  const int withFrame = top();
  cell.setShowInfo(false);
  EXPECT_TRUE(cellfix::Ink(cell.Surface(), info, QRect(10, 170, 100, 130)).isEmpty());
  cell.setShowInfo(true);
  Open(0, 1);  // a single frame has none: the block is a line lower
  EXPECT_EQ(cell.FrameLabel(), "");
  EXPECT_GE(top() - withFrame, 13);
}

TEST_F(CellReading, RateFromFrameTimeCineRateOrRecommendedRate) {
  Image timed = Frames(3), cine = Frames(3), recommended = Frames(3), both = Frames(3);
  timed.frameTime = "33.3";
  cine.cineRate = "25";
  recommended.displayRate = "10";
  both.frameTime = "50";  // the time between frames counts first
  both.cineRate = "25";
  cellfix::MakeTree({{File("t.dcm", timed), File("c.dcm", cine), File("r.dcm", recommended),
                      File("b.dcm", both), File("none.dcm", Frames(3))}});
  const unsigned expected[] = {30, 25, 10, 20, 20};  // a file without a rate keeps the last
  for (int i = 0; i < 5; ++i) {
    Open(0, i);
    EXPECT_EQ(cell.CineFrameRate(), expected[i]) << i;
  }
  FrameRateSetByUser = true;  // the user's pick holds
  cell.setCineFrameRate(8);
  Open(0, 1);
  EXPECT_EQ(cell.CineFrameRate(), 8u);
}

TEST_F(CellReading, AStackOfSingleFramesPlaysOverItsSeries) {
  cellfix::MakeTree({{File("1.dcm", Frames(0)), File("2.dcm", Frames(0)), File("3.dcm", Frames(0))},
                     {File("other.dcm", Frames(0))}});
  Open(0, 0);
  EXPECT_TRUE(cell.CanPlayCine());
  cell.PlayCine();
  EXPECT_TRUE(cell.InCineMode);
  EXPECT_TRUE(cell.PlaysStack());
  // Each tick is the next image, round the series (not on into the next one).
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) {
    cell.CineTick();
    seen.push_back(cell.ImageIndex);
    EXPECT_EQ(cell.SeriesIndex, 0);
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 0, 1}));
  // A step by hand ends it where it is and steps as usual.
  cell.NextImage();
  EXPECT_FALSE(cell.InCineMode);
  EXPECT_FALSE(cell.PlaysStack());
  EXPECT_EQ(cell.ImageIndex, 2);

  // A series of one single-frame image has nothing to play.
  Open(1, 0);
  EXPECT_FALSE(cell.CanPlayCine());
}

TEST_F(CellReading, ARightClickAsksForTheMenuAndARightDragWindows) {
  cellfix::MakeTree({{File("1.dcm", Frames(0))}});
  Open(0, 0);
  std::vector<QPoint> menu;
  QObject::connect(&cell, &TadvancedImage::MenuRequested,
                   [&](TadvancedImage*, QPoint at) { menu.push_back(at); });
  Mouse(cell, QEvent::MouseButtonPress, Qt::RightButton, {100, 100});
  Mouse(cell, QEvent::MouseButtonRelease, Qt::RightButton, {101, 101});
  ASSERT_EQ(menu.size(), 1u);
  EXPECT_EQ(menu[0], cell.mapToGlobal(QPoint(101, 101)));
  const int width = cell.windowWidth;
  cellfix::Drag(cell, {100, 100}, {160, 100}, Qt::RightButton);
  EXPECT_EQ(menu.size(), 1u);
  EXPECT_NE(cell.windowWidth, width);
  cellfix::Drag(cell, {100, 100}, {101, 100}, Qt::LeftButton);
  EXPECT_EQ(menu.size(), 1u);
}

TEST_F(CellReading, TellsWhatWindowAndZoomItShows) {
  cellfix::MakeTree({{File("1.dcm", Frames(0))}});
  int shown = 0;
  QObject::connect(&cell, &TadvancedImage::ViewShown, [&](TadvancedImage*) { ++shown; });
  Open(0, 0);
  EXPECT_GE(shown, 1);
  shown = 0;
  cell.RenderViewer();  // nothing changed: nothing said
  EXPECT_EQ(shown, 0);
  cell.SetWwWl(300, 40);
  cell.createBitmap();
  cell.RenderViewer();
  EXPECT_EQ(shown, 1);
  cell.Zoom(10);
  EXPECT_EQ(shown, 2);
  cell.Clear();
  EXPECT_EQ(shown, 3);
}

TEST_F(CellReading, ATypedWindowOnBytesReplacesBrightnessAndContrast) {
  Image s;
  s.columns = 3;
  s.rows = 1;
  s.bitsAllocated = 8;
  s.modality = "US";
  s.values = {0, 50, 200};
  Image t = s;
  t.values = {50, 100, 0};
  cellfix::MakeTree({{File("a.dcm", s), File("b.dcm", t)}});
  Open(0, 0);
  ASSERT_TRUE(cell.IsByteImage());
  EXPECT_EQ(cellfix::Row(cell.Bitmap(), 0),
            (std::vector<int>{0, 50, 200}));  // the bytes as they are
  cell.SetWwWl(100, 50);
  cell.createBitmap();
  cell.RenderViewer();
  EXPECT_TRUE(cell.ByteWindowOn());
  EXPECT_EQ(cellfix::Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255}));
  EXPECT_EQ(cell.windowWidth, 100);
  EXPECT_EQ(cell.windowLevel, 50);
  // The next image of the series keeps it (the window lock is on).
  cell.NextImage();
  EXPECT_EQ(cellfix::Row(cell.Bitmap(), 0), (std::vector<int>{128, 255, 0}));
  // A drag moves the typed window, not the brightness.
  cell.lastX = 0;
  cell.lastY = 0;
  cell.WindowDrag(20, 0);
  EXPECT_EQ(cell.windowWidth, 110);
  EXPECT_EQ(cell.brightness, 0);
  cell.ResetWwWL();
  EXPECT_FALSE(cell.ByteWindowOn());
  EXPECT_EQ(cellfix::Row(cell.Bitmap(), 0), (std::vector<int>{50, 100, 0}));
}
