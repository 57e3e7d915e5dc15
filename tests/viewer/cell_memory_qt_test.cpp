// The cell and the frame cache: stepping and cine through more frames than the
// budget holds, frames on display pinned, frames decoded again equal to the
// first decode, and files that vanish or change after they were loaded.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>

#include "cell_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "support/qt_wait.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int kSide = 256;  // 128 KiB per frame: 16 in a 2 MiB budget

// Image k: first pixel 10 k, the rest a ramp that differs from image to image.
Image Slice(int k, int frames = 0) {
  Image s;
  s.columns = s.rows = kSide;
  s.frames = frames;
  s.windowCenter = "2000";
  s.windowWidth = "4000";
  const int n = kSide * kSide;
  for (int f = 0; f < std::max(frames, 1); ++f)
    for (int i = 0; i < n; ++i) s.values.push_back(i == 0 ? (k + f) * 10 : (i * 3 + k + f) & 0xFFF);
  return s;
}

class CellMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    budget = FrameCache::Shared().Budget();
    FrameCache::Shared().SetBudget(2 * kMiB);
    restricted = gRestrictedLoad.exchange(true);
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (TadvancedImage* c : {&a, &b}) {
      c->resize(200, 150);
      c->ResizeImage();
    }
  }
  void TearDown() override {
    a.Clear();
    b.Clear();
    cellfix::ClearTree();
    FrameCache::Shared().SetBudget(budget);
    gRestrictedLoad = restricted;
  }
  std::vector<std::string> Series(int n, int frames = 0) {
    std::vector<std::string> paths;
    for (int k = 0; k < n; ++k)
      paths.push_back(cellfix::Write(dir, "im" + std::to_string(k) + ".dcm", Slice(k, frames)));
    return paths;
  }
  static void Open(TadvancedImage& c, int image) {
    c.ImageIndex = image;
    ASSERT_TRUE(c.OpenCurrentImage(true)) << c.LastLoadError();
  }
  static int Shown(const TadvancedImage& c) { return c.Buffers().buff16.at(0) / 10; }
  static std::vector<int16_t> Decoded(const std::string& path, int frame = 1) {
    FrameSourcePtr s = ReadFrameSource(path);
    DecodedFrame f;
    EXPECT_TRUE(s && DecodeFrame(path, s->header, s->framePos, s->frameSize, frame, f));
    return f.buff16;
  }

  int64_t budget = 0;
  bool restricted = false;
  std::string dir;
  TadvancedImage a, b;
};

}  // namespace

TEST_F(CellMemory, SteppingASeriesLargerThanTheBudgetStaysWithinItAndKeepsWhatIsShown) {
  const std::vector<std::string> paths = Series(60);  // 7.5 MiB decoded
  cellfix::MakeTree({paths});
  FrameCache& cache = FrameCache::Shared();
  Open(a, 59);  // another cell shows the last image all along
  Open(b, 0);
  std::vector<std::vector<int16_t>> first(60);
  first[0] = b.Buffers().buff16;
  for (int pass = 0; pass < 2; ++pass) {
    for (int k = 1; k < 60; ++k) {
      if (pass == 0)
        b.NextImage();
      else
        b.PrevImage();
      const int at = pass == 0 ? k : 59 - k;
      ASSERT_EQ(b.ImageIndex, at);
      ASSERT_EQ(Shown(b), at);
      EXPECT_LE(cache.BytesHeld(), cache.Budget());
      // Frames on display are never evicted, whatever the other cell does.
      EXPECT_TRUE(cache.Contains(paths[59], 1));
      EXPECT_TRUE(cache.Contains(paths[size_t(at)], 1));
      if (pass == 0)
        first[size_t(at)] = b.Buffers().buff16;
      else
        EXPECT_EQ(b.Buffers().buff16, first[size_t(at)]) << at;  // decoded again, the same
    }
  }
  EXPECT_EQ(first[17], Decoded(paths[17]));
  FramePrefetcher::Shared().WaitIdle();
  EXPECT_LE(cache.BytesHeld(), cache.Budget());
  EXPECT_GT(cache.GetStats().evictions, 60u);  // the series did not fit
  EXPECT_EQ(cache.GetStats().bytesPinned, 2 * kSide * kSide * 2);
}

TEST_F(CellMemory, PrefetchHasTheNextImagesInTheDirectionOfTravel) {
  const std::vector<std::string> paths = Series(20);
  cellfix::MakeTree({paths});
  FrameCache& cache = FrameCache::Shared();
  Open(b, 10);
  b.NextImage();  // travelling on: 12, 13, ... are fetched
  FramePrefetcher::Shared().WaitIdle();
  EXPECT_TRUE(cache.Contains(paths[12], 1));
  EXPECT_TRUE(cache.Contains(paths[14], 1));
  b.PrevImage();
  b.PrevImage();  // now back: 8, 7, ... are fetched
  FramePrefetcher::Shared().WaitIdle();
  EXPECT_TRUE(cache.Contains(paths[8], 1));
  EXPECT_TRUE(cache.Contains(paths[7], 1));
  // Four frames ahead at most: a quarter of the budget.
  EXPECT_FALSE(cache.Contains(paths[4], 1));
  b.PrevImage();
  EXPECT_EQ(Shown(b), 8);
}

TEST_F(CellMemory, ACineOverMoreFramesThanTheBudgetPlaysOnAndOneThatFitsIsPinned) {
  const std::string big = cellfix::Write(dir, "big.dcm", Slice(0, 40));     // 5 MiB
  const std::string small = cellfix::Write(dir, "small.dcm", Slice(0, 6));  // 750 KiB
  cellfix::MakeTree({{big}, {small}});
  FrameCache& cache = FrameCache::Shared();
  // Plays until `frames` frame changes or until ms pass; the budget holds throughout.
  const auto play = [&](int frames, int ms) {
    int changes = 0, last = b.CurrentFrame;
    testsupport::WaitUntil(
        [&] {
          if (b.CurrentFrame != last) ++changes;
          last = b.CurrentFrame;
          EXPECT_LE(cache.BytesHeld(), cache.Budget());
          return changes >= frames;
        },
        ms);
    return changes;
  };
  Open(b, 0);
  ASSERT_TRUE(b.InCineMode);
  b.setCineFrameRate(20);
  // 30 frames due in 1.5 s; a third is plenty on a loaded machine, and far
  // more than a cine that stalls on every evicted frame would show.
  EXPECT_GE(play(10, 1500), 10);
  EXPECT_EQ(cache.Reserved(), 0);  // too large to pin: prefetch keeps ahead
  EXPECT_EQ(b.Buffers().buff16.at(0), b.CurrentFrame * 10 - 10);
  EXPECT_EQ(b.Buffers().buff16, Decoded(big, b.CurrentFrame));

  b.SeriesIndex = 1;
  Open(b, 0);
  b.setCineFrameRate(30);
  ASSERT_TRUE(b.InCineMode);
  EXPECT_GE(play(12, 10000), 12);  // two passes of six frames
  EXPECT_GT(cache.Reserved(), 0);
  EXPECT_EQ(cache.GetStats().bytesPinned, 6 * kSide * kSide * 2);
  // Pinned frames stay whatever else is decoded meanwhile.
  for (int k = 1; k <= 40; ++k) cache.Acquire(*ReadFrameSource(big), k);
  for (int k = 1; k <= 6; ++k) EXPECT_TRUE(cache.Contains(small, k)) << k;
  b.PauseCine();
  EXPECT_EQ(cache.Reserved(), 0);
  EXPECT_EQ(cache.GetStats().bytesPinned, kSide * kSide * 2);  // the frame on display
}

TEST_F(CellMemory, AFileGoneAfterLoadingIsRefusedWithAReasonAndPassedOver) {
  std::vector<std::string> paths = Series(5);
  cellfix::MakeTree({paths});
  {
    // Images 3 and 4 are filed with their headers, as a folder load files them.
    std::lock_guard lock(gPatientsMutex);
    for (size_t k : {size_t(3), size_t(4)}) {
      TImg& im = gPatients[0].studies[0].serieses[0].images[k];
      bool hdrOK = false, imgOK = false;
      ReadDicomHeader(im.imagePath, true, im.Cache.DICOM, hdrOK, imgOK, [](const std::string&) {});
      im.Cache.DICOM.referenceFile = im.imagePath;
    }
  }
  std::vector<std::pair<QString, QString>> refused;
  QObject::connect(&b, &TadvancedImage::ImageRefused,
                   [&](TadvancedImage*, const QString& p, const QString& r) {
                     refused.push_back({p, r});
                   });
  Open(b, 2);
  Open(b, 0);
  FramePrefetcher::Shared().WaitIdle();
  FrameCache::Shared().Clear();  // everything not on display is evicted
  std::filesystem::remove(paths[1]);
  std::filesystem::remove(paths[3]);
  const QImage before = b.Bitmap();
  b.NextImage();  // 1 is gone: on to 2
  EXPECT_EQ(b.ImageIndex, 2);
  EXPECT_EQ(Shown(b), 2);
  b.NextImage();  // 3 is gone too (its header is in the tree): on to 4
  EXPECT_EQ(b.ImageIndex, 4);
  EXPECT_EQ(Shown(b), 4);
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].first.toStdString(), paths[1]);
  EXPECT_EQ(refused[1].first.toStdString(), paths[3]);
  for (const auto& r : refused)
    EXPECT_TRUE(r.second.contains("cannot be found")) << r.second.toStdString();
  // Nothing else is lost: the tree keeps every record and the rest still show.
  b.PrevImage();
  EXPECT_EQ(b.ImageIndex, 2);
  b.PrevImage();  // over 1
  EXPECT_EQ(b.ImageIndex, 0);
  EXPECT_EQ(b.Bitmap(), before);
  {
    std::lock_guard lock(gPatientsMutex);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].images.size(), 5u);
  }
  // With every other file gone, a step keeps the image on display.
  for (size_t k : {size_t(2), size_t(4)}) std::filesystem::remove(paths[k]);
  FrameCache::Shared().Clear();
  refused.clear();
  b.NextImage();
  EXPECT_EQ(refused.size(), 4u);
  EXPECT_EQ(b.ImageIndex, 0);
  EXPECT_EQ(b.Bitmap(), before);
}

TEST_F(CellMemory, AFileChangedAfterItsFramesWereReadIsRefused) {
  std::vector<std::string> paths = Series(3);
  cellfix::MakeTree({paths});
  QString reason;
  QObject::connect(&b, &TadvancedImage::ImageRefused,
                   [&](TadvancedImage*, const QString&, const QString& r) { reason = r; });
  Open(b, 0);
  b.NextImage();  // image 1's frame is decoded, its header kept in the tree
  b.PrevImage();
  FramePrefetcher::Shared().WaitIdle();
  // Other frames push image 1's out of the cache.
  const std::vector<std::string> others = {cellfix::Write(dir, "x.dcm", Slice(9, 20))};
  for (int k = 1; k <= 20; ++k) FrameCache::Shared().Acquire(*ReadFrameSource(others[0]), k);
  ASSERT_FALSE(FrameCache::Shared().Contains(paths[1], 1));
  // Rewritten with other dimensions: the tree's frame tables no longer fit it.
  // A later time stamp too, even where the clock or the file system is coarse.
  const auto written = std::filesystem::last_write_time(paths[1]);
  Image other = Slice(7);
  other.columns = 128;
  other.values.resize(128 * kSide);
  cellfix::Write(dir, "im1.dcm", other);
  std::filesystem::last_write_time(paths[1], written + std::chrono::seconds(1));
  b.NextImage();
  EXPECT_EQ(b.ImageIndex, 2);
  EXPECT_TRUE(reason.contains("changed after it was loaded")) << reason.toStdString();
  // Opened again (a fresh header), it shows as it is now.
  ASSERT_TRUE(b.LoadFile(paths[0], 1));
  b.ImageIndex = 0;
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses[0].images[1].Cache = TCache{};
  }
  b.ImageIndex = 1;
  ASSERT_TRUE(b.LoadFile(paths[1], 1)) << b.LastLoadError();
  EXPECT_EQ(Shown(b), 7);
  EXPECT_EQ(b.gDicomData.XYZdim[0], 128);
}
