// A video in a cell: its frames as ffmpeg decodes them, stepped through the
// frame cache and prefetcher like any multi-frame image, and a cine at the
// stream's own rate when the header states none; its thumbnail is its first
// frame.
#include <gtest/gtest.h>

#include "cell_fixtures.h"
#include "pixels/FramePrefetch.h"
#include "pixels/ImageUtilities.h"
#include "pixels/video_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

using namespace videotest;

TEST(VideoCell, FramesStepAndPlayAtTheStreamRate) {
  ASSERT_TRUE(testsupport::HaveTool("ffmpeg"));
  ASSERT_TRUE(testsupport::HavePythonModules("pydicom"));
  cellfix::ClearTree();
  const bool byUser = FrameRateSetByUser.exchange(false);
  const std::string dir = testsupport::TempDir("video-cell");
  const Video v = MakeVideo(dir, kHevc8, 192, 108, 30, 2);
  cellfix::MakeTree({{v.dicom}});
  // The series' thumbnail is the video's first frame.
  TImg image;
  image.imagePath = v.dicom;
  std::string why;
  EXPECT_FALSE(MakeSeriesThumbnail(image, &why).isNull()) << why;
  {
    TadvancedImage cell;
    cell.resize(200, 150);
    cell.ResizeImage();
    cell.SeriesIndex = 0;
    cell.ImageIndex = 0;
    ASSERT_TRUE(cell.OpenCurrentImage(true)) << cell.LastLoadError();
    cell.PauseCine();
    EXPECT_EQ(cell.frameCount, 30);
    EXPECT_EQ(cell.CineFrameRate(), 25u);
    const Bytes reference = codectest::ReadBytes(v.reference);
    const size_t frameBytes = size_t(v.columns) * size_t(v.rows) * 3;
    // Forward steps continue the decoder; the last wraps to the first frame.
    for (int k = 1; k <= 30; k += 3) {
      cell.NextFrame();
      cell.NextFrame();
      cell.NextFrame();
      const int shown = cell.CurrentFrame;
      EXPECT_LE(MaxDifference(reference, frameBytes, shown, cell.Buffers().buff24), 2) << shown;
    }
    cell.PauseCine();
    FramePrefetcher::Shared().WaitIdle();
  }
  FrameRateSetByUser = byUser;
  cellfix::ClearTree();
}

}  // namespace
