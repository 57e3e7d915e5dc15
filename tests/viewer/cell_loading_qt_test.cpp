// Loading frames into a cell through the frame cache, and what the window of
// a loaded frame becomes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMouseEvent>
#include <filesystem>

#include "cell_fixtures.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"

using cellfix::Image;
using cellfix::Row;

namespace {

class CellLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cell.resize(200, 150);
    cell.ResizeImage();
  }
  void TearDown() override { cellfix::ClearTree(); }

  std::string dir;
  TadvancedImage cell;
};

Image Ct() {
  Image s;
  s.columns = 3;
  s.rows = 2;
  s.intercept = "-1024";
  s.windowCenter = "40";
  s.windowWidth = "400";
  s.values = {0, 864, 1064, 1264, 1265, 4000};
  return s;
}

// Frames whose first pixel tells their number.
Image MultiFrame(int frames) {
  Image s;
  s.columns = 2;
  s.rows = 1;
  s.frames = frames;
  s.windowCenter = "50";
  s.windowWidth = "100";
  for (int f = 1; f <= frames; ++f) s.values.insert(s.values.end(), {f * 10, 0});
  return s;
}

}  // namespace

TEST_F(CellLoading, CtWindowAndBothByteOrders) {
  for (bool little : {true, false}) {
    Image s = Ct();
    s.littleEndian = little;
    ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, little ? "le.dcm" : "be.dcm", s), 1))
        << cell.LastLoadError();
    const QImage b = cell.Bitmap();
    EXPECT_EQ(Row(b, 0), (std::vector<int>{0, 0, 128}));
    EXPECT_EQ(Row(b, 1), (std::vector<int>{255, 255, 255}));
    EXPECT_EQ(cell.windowWidth, 400);
    EXPECT_EQ(cell.windowLevel, 40);
    EXPECT_TRUE(cell.HasImage);
  }
}

TEST_F(CellLoading, FramesAreLimitedAndReadAtTheirOffsets) {
  const std::string path = cellfix::Write(dir, "mf.dcm", MultiFrame(5));
  const std::pair<int, int> cases[] = {{0, 1}, {3, 3}, {99, 5}};
  for (auto [asked, shown] : cases) {
    ASSERT_TRUE(cell.LoadFile(path, asked));
    EXPECT_EQ(cell.CurrentFrame, shown);
    EXPECT_EQ(cell.Buffers().buff16.at(0), shown * 10);
  }
  EXPECT_EQ(cell.frameCount, 5);
  EXPECT_TRUE(cell.IsCine());
}

TEST_F(CellLoading, LookupTableMapsRescaledValuesOnEveryFrame) {
  Image s;
  s.columns = 3;
  s.rows = 1;
  s.frames = 2;
  s.pixelRepresentation = 1;
  s.intercept = "-1024";
  s.windowCenter = "2000";
  s.windowWidth = "4000";
  s.lut = true;
  s.lutFirst = -1024;
  for (int i = 0; i < 4096; ++i) s.lutData.push_back(uint16_t(i + 5));
  // Rescaled: -2024 (below the table), 0, 4000 (above); frame 2 the same.
  s.values = {-1000, 1024, 5024, -1000, 1024, 5024};
  const std::string path = cellfix::Write(dir, "lut.dcm", s);
  cellfix::MakeTree({{path}});
  ASSERT_TRUE(cell.LoadFile(path, 1)) << cell.LastLoadError();
  const std::vector<int16_t> want = {5, 1024 + 5, 4095 + 5};
  EXPECT_EQ(cell.Buffers().buff16, want);
  EXPECT_EQ(cell.gDicomData.IntenScale, 1.0f);
  EXPECT_EQ(cell.gDicomData.IntenIntercept, 0.0f);
  {
    // The tree keeps the file's header: the table step is the cell's own.
    std::lock_guard lock(gPatientsMutex);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].images[0].Cache.DICOM.IntenIntercept, -1024.0f);
  }
  // The next frame goes through the table from the file's rescale, not from 1 and 0.
  cell.CurrentFrame = 2;
  ASSERT_TRUE(cell.DisplayImage()) << cell.LastLoadError();
  EXPECT_EQ(cell.Buffers().buff16, want);
  // Also from the cache, and when frame 2 was evicted and is decoded again.
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.CurrentFrame = 2;
  ASSERT_TRUE(cell.DisplayImage()) << cell.LastLoadError();
  EXPECT_EQ(cell.Buffers().buff16, want);
  ASSERT_TRUE(cell.LoadFile(path, 1));
  FramePrefetcher::Shared().WaitIdle();
  FrameCache::Shared().Forget(path);
  cell.CurrentFrame = 2;
  ASSERT_TRUE(cell.DisplayImage()) << cell.LastLoadError();
  EXPECT_EQ(cell.Buffers().buff16, want);
  // The cache holds the stored words; the table copy is the cell's.
  EXPECT_EQ(FrameCache::Shared().Find(path, 2)->buff16, (std::vector<int16_t>{-1000, 1024, 5024}));
}

TEST_F(CellLoading, RevisitedFrameComesFromTheCacheWithoutTheFile) {
  Image a = Ct();
  Image b = Ct();
  b.values = {4000, 4000, 4000, 0, 0, 0};
  const std::string pa = cellfix::Write(dir, "a.dcm", a), pb = cellfix::Write(dir, "b.dcm", b);
  cellfix::MakeTree({{pa, pb}});
  ASSERT_TRUE(cell.LoadFile(pa, 1));
  const QImage first = cell.Bitmap();
  cell.ImageIndex = 1;
  ASSERT_TRUE(cell.LoadFile(pb, 1));
  std::filesystem::remove(pa);
  cell.ImageIndex = 0;
  ASSERT_TRUE(cell.LoadFile(pa, 1));
  EXPECT_EQ(cell.Bitmap(), first);
  EXPECT_EQ(cell.CurrentOpenedPath, pa);
  EXPECT_TRUE(FrameCache::Shared().Contains(pa, 1));
  // The record had no header: the one the cell read stays in the tree.
  std::lock_guard lock(gPatientsMutex);
  const TCache& c = gPatients[0].studies[0].serieses[0].images[0].Cache;
  EXPECT_EQ(c.DICOM.referenceFile, pa);
  EXPECT_EQ(c.DICOM.WindowWidth, 400);
}

TEST_F(CellLoading, ACellOffItsFilesPositionNeitherShowsNorFillsThatPositionsRecord) {
  Image a = Ct();
  Image b = Ct();
  b.values = {4000, 4000, 4000, 0, 0, 0};
  const std::string pa = cellfix::Write(dir, "a.dcm", a), pb = cellfix::Write(dir, "b.dcm", b);
  cellfix::MakeTree({{pa}});
  ASSERT_TRUE(cell.LoadFile(pa, 1));  // a is cached at (0, 0, 0, 0)
  const QImage first = cell.Bitmap();
  // A file that is not the one at the cell's position: its own pixels, and
  // the position's cache stays a's.
  ASSERT_TRUE(cell.LoadFile(pb, 1));
  EXPECT_EQ(cell.Buffers().buff16.at(0), 4000);
  EXPECT_NE(cell.Bitmap(), first);
  {
    std::lock_guard lock(gPatientsMutex);
    const TCache& c = gPatients[0].studies[0].serieses[0].images[0].Cache;
    EXPECT_EQ(c.DICOM.referenceFile, pa);
  }
  EXPECT_EQ(FrameCache::Shared().Find(pa, 1)->buff16.at(0), 0);
  EXPECT_EQ(FrameCache::Shared().Find(pb, 1)->buff16.at(0), 4000);
  ASSERT_TRUE(cell.LoadFile(pa, 1));
  EXPECT_EQ(cell.Bitmap(), first);
}

TEST_F(CellLoading, WindowOffsetsKeptWithinASeriesAndResetAcrossSeries) {
  const std::string p1 = cellfix::Write(dir, "1.dcm", Ct()),
                    p2 = cellfix::Write(dir, "2.dcm", Ct());
  const std::string p3 = cellfix::Write(dir, "3.dcm", Ct());
  cellfix::MakeTree({{p1, p2}, {p3}});
  ASSERT_TRUE(cell.LoadFile(p1, 1));
  cell.SetWwWl(500, 60);
  cell.createBitmap();
  cell.ImageIndex = 1;
  ASSERT_TRUE(cell.LoadFile(p2, 1));
  EXPECT_EQ(cell.DeltaWW, 100);
  EXPECT_EQ(cell.DeltaWL, 20);
  EXPECT_EQ(cell.windowWidth, 500);
  cell.LockWwWl(false);
  cell.ImageIndex = 0;
  ASSERT_TRUE(cell.LoadFile(p1, 1));
  EXPECT_EQ(cell.DeltaWW, 0);
  cell.LockWwWl(true);
  cell.SetWwWl(500, 60);
  cell.SeriesIndex = 1;
  ASSERT_TRUE(cell.LoadFile(p3, 1));
  EXPECT_EQ(cell.DeltaWW, 0);
  EXPECT_EQ(cell.windowWidth, 400);
}

TEST_F(CellLoading, DefaultWindowAndUnsignedRange) {
  // No header window: the data span becomes the window, written back into the header.
  Image s;
  s.columns = 2;
  s.rows = 1;
  s.pixelRepresentation = 1;
  s.values = {-2000, 3000};
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "span.dcm", s), 1));
  EXPECT_EQ(cell.gDicomData.WindowWidth, 5000);
  EXPECT_EQ(cell.gDicomData.WindowCenter, 500);

  // Unsigned words above 32767 span 40000 ... 60000, not a wrapped negative range.
  s.pixelRepresentation = 0;
  s.values = {40000, 50000, 60000, 60000};
  s.columns = 4;
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "unsigned.dcm", s), 1));
  EXPECT_EQ(cell.min16, 40000);
  EXPECT_EQ(cell.max16, 60000);
  EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 128, 255, 255}));

  // A lung window on CT lies inside the rescaled data: it is kept.
  Image lung = Ct();
  lung.windowCenter = "-600";
  lung.windowWidth = "1500";
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "lung.dcm", lung), 1));
  EXPECT_EQ(cell.windowWidth, 1500);
  EXPECT_EQ(cell.windowLevel, -600);

  // Window steps reuse a frame's range; another frame brings its own. Frame
  // 2 lies beyond frame 1's window, which it must not keep.
  Image frames;
  frames.columns = 2;
  frames.rows = 1;
  frames.frames = 2;
  frames.values = {0, 100, 1000, 1100};
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "frames.dcm", frames), 1));
  cell.PauseCine();
  EXPECT_EQ(cell.windowLevel, 50);
  cell.CurrentFrame = 2;
  ASSERT_TRUE(cell.DisplayImage());
  for (int step = 0; step < 2; ++step) {
    ASSERT_TRUE(cell.createBitmap());
    EXPECT_EQ(cell.min16, 1000);
    EXPECT_EQ(cell.max16, 1100);
    EXPECT_EQ(cell.windowLevel, 1050);
    EXPECT_EQ(Row(cell.Bitmap(), 0), (std::vector<int>{0, 255}));
  }
}

TEST_F(CellLoading, BadInputLeavesTheCellAsItWas) {
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "good.dcm", Ct()), 1));
  const QImage before = cell.Bitmap();
  const int zoom = cell.zoomFactor;

  Image huge = Ct();
  huge.columns = 65535;
  huge.rows = 65535;
  Image shortFrames = MultiFrame(10);
  shortFrames.values.resize(4);  // two frames of ten
  Image deep = Ct();
  deep.bitsAllocated = 4;  // no buffer holds 4-bit samples
  const std::pair<std::string, int> bad[] = {
      {dir + "/missing.dcm", 1},
      {cellfix::Write(dir, "huge.dcm", huge), 1},
      {cellfix::Write(dir, "deep.dcm", deep), 1},
      {fixtures::WriteFile(dir, "noise.dcm", std::vector<uint8_t>(1000, 0xA5)), 1},
  };
  cell.LockZoom(false);
  for (const auto& [path, frame] : bad) {
    EXPECT_FALSE(cell.LoadFile(path, frame)) << path;
    EXPECT_FALSE(cell.LastLoadError().empty());
    EXPECT_EQ(cell.Bitmap(), before);
    EXPECT_EQ(cell.zoomFactor, zoom);
    EXPECT_EQ(cell.windowWidth, 400);
  }
  // A header that announces more frames than the data holds shows the
  // frames that are there.
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "short.dcm", shortFrames), 5));
  EXPECT_EQ(cell.frameCount, 2);
  EXPECT_EQ(cell.CurrentFrame, 2);
  ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "good.dcm", Ct()), 1));
  // The cell still works.
  cell.Invert();
  EXPECT_EQ(Row(cell.Bitmap(), 1), (std::vector<int>{0, 0, 0}));
}

TEST_F(CellLoading, AbsurdFrameCountCostsOnlyTheFramesShown) {
  // Two frames stored, nearly 2^31 announced: caching a frame must not
  // reserve room for every announced one (tens of gigabytes).
  Image s = MultiFrame(2);
  s.frames = 2000000000;
  const std::string path = cellfix::Write(dir, "many.dcm", s);
  cellfix::MakeTree({{path}});
  ASSERT_TRUE(cell.LoadFile(path, 2)) << cell.LastLoadError();
  cell.PauseCine();
  EXPECT_EQ(cell.Buffers().buff16.at(0), 20);
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.PauseCine();
  // Prefetch tried the announced frames ahead; only the stored ones exist.
  FramePrefetcher::Shared().WaitIdle();
  EXPECT_LE(FrameCache::Shared().GetStats().frames, 2u);
  // Both frames come back from the cache.
  std::filesystem::remove(path);
  ASSERT_TRUE(cell.LoadFile(path, 2));
  cell.PauseCine();
  EXPECT_EQ(cell.Buffers().buff16.at(0), 20);
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.PauseCine();
  EXPECT_EQ(cell.Buffers().buff16.at(0), 10);
}

TEST_F(CellLoading, TrackBarsOfTheHostCellAndClear) {
  TViewer viewer;
  TadvancedImage& c = *viewer.AdvancedImage();
  const std::string p1 = cellfix::Write(dir, "1.dcm", Ct());
  const std::string p2 = cellfix::Write(dir, "2.dcm", MultiFrame(4));
  cellfix::MakeTree({{p1, p2}});
  int changes = 0;
  QObject::connect(&viewer, &TViewer::TrackBarChange, [&](TViewer*, int) { ++changes; });
  c.ImageIndex = 1;
  ASSERT_TRUE(c.LoadFile(p2, 3));
  EXPECT_EQ(viewer.TrackBar->maximum(), 2);
  EXPECT_EQ(viewer.TrackBar->value(), 2);
  EXPECT_EQ(changes, 0);  // set quietly
  EXPECT_FALSE(viewer.CineTrackBar->isHidden());
  EXPECT_EQ(viewer.CineTrackBar->maximum(), 4);
  EXPECT_EQ(viewer.CineTrackBar->value(), 3);

  // The control's mouse presses and the cine panel's clicks leave as the cell's signals.
  int downs = 0, cineClicks = 0;
  QObject::connect(&viewer, &TViewer::MouseDown,
                   [&](TViewer* v, Qt::MouseButton b, Qt::KeyboardModifiers, QPoint) {
                     downs += v == &viewer && b == Qt::LeftButton;
                   });
  QObject::connect(&viewer, &TViewer::CinePanelClick, [&](TViewer*) { ++cineClicks; });
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&c, &press);
  QCoreApplication::sendEvent(viewer.CinePanel, &press);
  EXPECT_EQ(downs, 1);
  EXPECT_EQ(cineClicks, 1);
  EXPECT_TRUE(c.IsMouseDown);

  c.Clear();
  EXPECT_FALSE(c.HasImage);
  EXPECT_TRUE(c.Bitmap().isNull());
  EXPECT_TRUE(viewer.CineTrackBar->isHidden());
  EXPECT_EQ(c.ImageIndex, 0);
  const QImage s = c.Surface();
  EXPECT_EQ(s.pixel(s.width() / 2, s.height() / 2), QColor(Qt::black).rgb());
}
