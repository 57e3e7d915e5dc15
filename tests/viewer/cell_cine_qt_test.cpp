// Frames and images of a cell and cine playback: stepping and its
// wrap-around rules, the frame rate from the header or the user, the timer
// driving playback, the frame bar and the cine panel, and what must neither
// hang nor crash (a range without a cine, missing frames, a cell destroyed
// while it plays).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>

#include "cell_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameCache.h"
#include "pixels/ThdTimer.h"
#include "support/qt_wait.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;

using testsupport::WaitUntil;

namespace {

// Frames whose first pixel tells their number (frame k: 10 k).
Image Frames(int frames, const std::string& frameTime = "") {
  Image s;
  s.columns = 2;
  s.rows = 1;
  s.frames = frames;
  s.frameTime = frameTime;
  s.windowCenter = "50";
  s.windowWidth = "100";
  for (int f = 1; f <= std::max(frames, 1); ++f) s.values.insert(s.values.end(), {f * 10, 0});
  return s;
}

class CellCine : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    restricted = gRestrictedLoad.exchange(false);
    byUser = FrameRateSetByUser.exchange(false);
    cell.resize(200, 150);
    cell.ResizeImage();
  }
  void TearDown() override {
    gRestrictedLoad = restricted;
    FrameRateSetByUser = byUser;
    cellfix::ClearTree();
  }
  std::string File(const std::string& name, const Image& s) { return cellfix::Write(dir, name, s); }
  // Opens the tree image at (series, image), paused.
  void Open(TadvancedImage& c, int series, int image) {
    c.SeriesIndex = series;
    c.ImageIndex = image;
    c.OpenCurrentImage(true);
    c.PauseCine();
  }
  int Shown(const TadvancedImage& c) const { return c.Buffers().buff16.at(0) / 10; }
  // The state a multi-frame image's cine is in when it moves on to the next image.
  static void CineModeOn(TadvancedImage& c) { c.InCineMode = true; }

  bool restricted = false, byUser = false;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellCine, FrameAndImageSteppingWrapAround) {
  const std::string a = File("a.dcm", Frames(10)), b = File("b.dcm", Frames(10));
  const std::string c = File("c.dcm", Frames(0));
  cellfix::MakeTree({{a, b}, {c}});
  // Whoever depends on the image shown hears of every new one, not of frames.
  std::vector<std::string> shown;
  QObject::connect(&cell, &TadvancedImage::ImageShown,
                   [&](TadvancedImage* c) { shown.push_back(c->CurrentOpenedPath); });
  Open(cell, 0, 0);
  EXPECT_TRUE(cell.HasImage);
  cell.PrevFrame();  // from frame 1 to the last frame of the same image
  EXPECT_EQ(cell.CurrentFrame, 10);
  EXPECT_EQ(Shown(cell), 10);
  EXPECT_EQ(cell.CurrentOpenedPath, a);
  cell.NextFrame();  // past the last frame: frame 1 of the next image
  EXPECT_EQ(cell.CurrentOpenedPath, b);
  EXPECT_EQ(cell.CurrentFrame, 1);
  EXPECT_EQ(Shown(cell), 1);
  EXPECT_TRUE(cell.InCineMode);  // opening a multi-frame image plays it
  EXPECT_EQ(shown, (std::vector<std::string>{a, b}));
  cell.PauseCine();
  // Loading another frame of the image on display is a frame step: a paused
  // cine stays paused.
  ASSERT_TRUE(cell.LoadFile(b, 3));
  EXPECT_EQ(Shown(cell), 3);
  EXPECT_FALSE(cell.InCineMode);
  EXPECT_EQ(shown.size(), 2u);

  gRestrictedLoad = true;  // the last image wraps within its series
  // Its frame 1 is shown once: the picture its load made stays on display.
  qint64 loaded = 0;
  const auto onShown = QObject::connect(&cell, &TadvancedImage::ImageShown,
                                        [&](TadvancedImage* s) { loaded = s->bmp.cacheKey(); });
  cell.CurrentFrame = 10;
  cell.NextFrame();
  QObject::disconnect(onShown);
  EXPECT_EQ(cell.ImageIndex, 0);
  EXPECT_EQ(cell.SeriesIndex, 0);
  EXPECT_EQ(cell.CurrentFrame, 1);
  EXPECT_EQ(Shown(cell), 1);
  EXPECT_NE(loaded, 0);
  EXPECT_EQ(cell.bmp.cacheKey(), loaded);
  gRestrictedLoad = false;
  cell.PauseCine();
  cell.NextImage();
  cell.PauseCine();  // playing, the single-frame image would be passed over
  cell.NextImage();  // on into the next series
  EXPECT_EQ(cell.SeriesIndex, 1);
  EXPECT_EQ(cell.CurrentOpenedPath, c);
  cell.NextFrame();  // a single frame: nothing
  cell.PrevFrame();
  EXPECT_EQ(cell.CurrentOpenedPath, c);
  EXPECT_EQ(cell.CurrentFrame, 1);
  cell.NextImage();  // from the last series to the first
  EXPECT_EQ(cell.SeriesIndex, 0);
  EXPECT_EQ(cell.ImageIndex, 0);
  cell.PauseCine();
  cell.PrevImage();  // and back: the last image of the last series
  EXPECT_EQ(cell.SeriesIndex, 1);
  EXPECT_EQ(cell.CurrentOpenedPath, c);
}

TEST_F(CellCine, ImageSteppingPassesOverPresentationStates) {
  const std::string a = File("a.dcm", Frames(0)), c = File("c.dcm", Frames(0));
  const std::string pr = File("pr.dcm", Frames(0));
  cellfix::MakeTree({{a}, {pr}, {c}});
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses[1].modality = "PR";
  }
  Open(cell, 0, 0);
  cell.NextImage();
  EXPECT_EQ(cell.SeriesIndex, 2);
  EXPECT_EQ(cell.CurrentOpenedPath, c);
  cell.PrevImage();
  EXPECT_EQ(cell.SeriesIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, a);
}

TEST_F(CellCine, FrameRateFromHeaderOrUser) {
  const std::string fast = File("fast.dcm", Frames(3, "33.3"));
  const std::string slow = File("slow.dcm", Frames(3, "2000"));
  cellfix::MakeTree({{fast, slow}});
  Open(cell, 0, 0);
  EXPECT_EQ(cell.CineFrameRate(), 30u);
  ASSERT_TRUE(cell.CineTimer);
  EXPECT_EQ(cell.CineTimer->Interval(), 33u);
  Open(cell, 0, 1);
  EXPECT_EQ(cell.CineFrameRate(), 1u);  // over a second a frame: 1 fps, not 0
  EXPECT_EQ(cell.CineTimer->Interval(), 1000u);

  // The user's pick holds for later images until something is opened anew.
  FrameRateSetByUser = true;
  cell.setCineFrameRate(8);
  Open(cell, 0, 0);
  EXPECT_EQ(cell.CineFrameRate(), 8u);
  FrameRateSetByUser = false;
  Open(cell, 0, 1);
  Open(cell, 0, 0);  // cached now: still its own frame time
  EXPECT_EQ(cell.CineFrameRate(), 30u);

  // A change while playing takes effect at once.
  cell.PlayCine();
  cell.setCineFrameRate(60);
  EXPECT_TRUE(cell.CineTimer->Enabled());
  EXPECT_EQ(cell.CineTimer->Interval(), 16u);
  int changes = 0, last = cell.CurrentFrame;
  EXPECT_TRUE(WaitUntil(
      [&] {
        changes += cell.CurrentFrame != last;
        last = cell.CurrentFrame;
        return changes >= 6;
      },
      5000));
  cell.PauseCine();
  EXPECT_FALSE(cell.CineTimer->Enabled());
}

TEST_F(CellCine, FrameBarAndCinePanel) {
  const std::string a = File("a.dcm", Frames(6));
  cellfix::MakeTree({{a}});
  TViewer viewer;
  viewer.resize(300, 200);
  TadvancedImage& c = *viewer.AdvancedImage();
  c.setCineFrameRate(60);
  ASSERT_TRUE(c.LoadFile(a, 1));
  EXPECT_TRUE(c.InCineMode);
  ASSERT_TRUE(WaitUntil([&] { return c.CurrentFrame >= 3; }, 5000));
  EXPECT_EQ(viewer.CineTrackBar->value(), c.CurrentFrame);

  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewer.CinePanel, &press);
  EXPECT_FALSE(c.InCineMode);

  c.PlayCine();
  int seen = 0;
  QObject::connect(&viewer, &TViewer::CineTrackBarChange, [&](TViewer*, int v) { seen = v; });
  viewer.CineTrackBar->setValue(c.CurrentFrame == 4 ? 5 : 4);  // the user seeks
  EXPECT_FALSE(c.InCineMode);
  EXPECT_EQ(c.CurrentFrame, seen);
  EXPECT_EQ(Shown(c), seen);
}

TEST_F(CellCine, CineModePassesOverSingleFramesWithoutShowingThem) {
  // Headers in the tree as a folder load files them.
  const std::string s1 = File("1.dcm", Frames(0)), s2 = File("2.dcm", Frames(0));
  const std::string s3 = File("3.dcm", Frames(0)), s4 = File("4.dcm", Frames(0));
  const std::string cine = File("cine.dcm", Frames(4));
  cellfix::MakeTree({{s1, s2, s3, s4, cine}});
  {
    std::lock_guard lock(gPatientsMutex);
    for (TImg& im : gPatients[0].studies[0].serieses[0].images) {
      bool hdrOK = false, imgOK = false;
      ReadDicomHeader(im.imagePath, true, im.Cache.DICOM, hdrOK, imgOK, [](const std::string&) {});
      ASSERT_TRUE(imgOK);
      im.Cache.DICOM.referenceFile = im.imagePath;
    }
  }
  std::vector<std::string> shown;
  QObject::connect(&cell, &TadvancedImage::ImageShown,
                   [&](TadvancedImage* c) { shown.push_back(c->CurrentOpenedPath); });
  Open(cell, 0, 0);
  // Cine mode reaching a single-frame image (a stack's own cine is apart):
  // the next image step looks for a cine.
  CineModeOn(cell);
  cell.NextImage();
  EXPECT_TRUE(cell.InCineMode);
  EXPECT_EQ(cell.CurrentOpenedPath, cine);
  EXPECT_EQ(cell.ImageIndex, 4);
  // The image asked for is shown; those after it are passed over unshown.
  EXPECT_EQ(shown, (std::vector<std::string>{s1, s2, cine}));
  cell.PauseCine();

  // Records without headers (a DICOMDIR's): the files' headers tell.
  cellfix::MakeTree({{s1, s2, s3, s4, cine}});
  Open(cell, 0, 0);
  shown.clear();
  CineModeOn(cell);
  cell.NextImage();
  EXPECT_EQ(cell.CurrentOpenedPath, cine);
  EXPECT_EQ(shown, (std::vector<std::string>{s2, cine}));
  cell.PauseCine();

  // Nothing to play in the range: the cine stops on the image asked for.
  std::filesystem::remove(cine);
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses[0].images.pop_back();
  }
  Open(cell, 0, 0);
  shown.clear();
  CineModeOn(cell);
  cell.NextImage();
  EXPECT_FALSE(cell.InCineMode);
  EXPECT_EQ(cell.ImageIndex, 1);
  EXPECT_EQ(cell.CurrentOpenedPath, s2);
  EXPECT_EQ(shown, (std::vector<std::string>{s2}));
}

TEST_F(CellCine, NeitherHangsNorCrashes) {
  // Cine mode over single-frame images only: one round, then it stops on
  // the image the step asked for.
  const std::string s1 = File("1.dcm", Frames(0)), s2 = File("2.dcm", Frames(0));
  const std::string s3 = File("3.dcm", Frames(0));
  // Frames missing from the file: ten announced, two stored. The header then
  // counts the two, and no step reaches a frame that is not there.
  Image shortFile = Frames(10);
  shortFile.values.resize(4);
  const std::string cut = File("cut.dcm", shortFile);
  cellfix::MakeTree({{s1, s2, s3}, {cut}});
  gRestrictedLoad = true;
  Open(cell, 0, 0);
  CineModeOn(cell);
  cell.NextImage();
  EXPECT_FALSE(cell.InCineMode);
  EXPECT_TRUE(cell.HasImage);
  EXPECT_EQ(cell.ImageIndex, 1);
  EXPECT_EQ(cell.CurrentOpenedPath, s2);

  Open(cell, 1, 0);
  ASSERT_EQ(cell.CurrentOpenedPath, cut) << cell.LastLoadError();
  EXPECT_EQ(cell.frameCount, 2);
  for (int i = 0; i < 12; ++i) {
    cell.NextFrame();
    EXPECT_EQ(cell.CurrentOpenedPath, cut);
    EXPECT_TRUE(cell.CurrentFrame == 1 || cell.CurrentFrame == 2) << cell.CurrentFrame;
    EXPECT_EQ(Shown(cell), cell.CurrentFrame);
  }
  gRestrictedLoad = false;
  cell.PauseCine();
  // The same off its tree position: the file's own frames only.
  cell.SeriesIndex = 0;
  cell.ImageIndex = 0;
  ASSERT_TRUE(cell.LoadFile(cut, 2));
  cell.PauseCine();
  EXPECT_EQ(cell.CurrentFrame, 2);
  EXPECT_EQ(Shown(cell), 2);
  cell.PrevFrame();
  EXPECT_EQ(Shown(cell), 1);

  // An image that cannot be opened is passed over; with nothing else to
  // show, the position stays with the image shown.
  std::filesystem::remove(s2);
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses[0].images[1].Cache = TCache{};  // it was shown once
  }
  Open(cell, 0, 0);
  cell.NextImage();
  EXPECT_EQ(cell.ImageIndex, 2);
  EXPECT_EQ(cell.CurrentOpenedPath, s3);
  std::filesystem::remove(s3);
  FrameCache::Shared().Clear();
  gRestrictedLoad = true;
  Open(cell, 0, 0);
  cell.NextImage();
  EXPECT_EQ(cell.SeriesIndex, 0);
  EXPECT_EQ(cell.ImageIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, s1);
  gRestrictedLoad = false;

  // A playing cell destroyed, or cleared, while a tick waits for it.
  for (bool clear : {false, true}) {
    auto* viewer = new TViewer;
    TadvancedImage& c = *viewer->AdvancedImage();
    c.PatientIndex = c.StudyIndex = 0;
    c.SeriesIndex = 1;
    c.ImageIndex = 0;
    c.setCineFrameRate(60);
    c.OpenCurrentImage(false);
    ASSERT_TRUE(c.InCineMode);
    ASSERT_TRUE(c.CineTimer);
    // Cleared or destroyed the moment a tick has been handed over, before it runs.
    testsupport::BeforeDelivery handedOver(c.CineTimer.get(), QEvent::MetaCall, [&] {
      if (clear) {
        c.Clear();
      } else {
        delete viewer;
        viewer = nullptr;
      }
      return true;  // the tick's timer is gone
    });
    ASSERT_TRUE(WaitUntil([&] { return handedOver.fired; }));
    if (clear) {
      EXPECT_FALSE(c.CineTimer);
      QCoreApplication::processEvents();
      EXPECT_FALSE(c.HasImage);
    }
    delete viewer;
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}
