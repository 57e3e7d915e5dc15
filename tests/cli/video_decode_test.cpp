// The decode command on video: every frame in one pass through one session,
// as ffmpeg decodes the same stream, and a cut file stopped with one reason.
#include <gtest/gtest.h>

#include "pixels/video_fixtures.h"

namespace {

using namespace videotest;
using codectest::Quote;
using codectest::ReadBytes;

TEST(CliVideo, AllFramesAsFfmpegDecodesThemAndACutFileStopsWithAReason) {
  ASSERT_TRUE(testsupport::HaveTool("ffmpeg"));
  ASSERT_TRUE(testsupport::HavePythonModules("pydicom"));
  const std::string dir = testsupport::TempDir("cli-video");
  const Video v = MakeVideo(dir, kH264, 192, 108, 48, 3);
  const std::string out = dir + "/out.rgb";
  std::string said;
  ASSERT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " decode " + Quote(v.dicom) +
                                     " --all-frames -o " + Quote(out) + " 2>&1",
                                 &said),
            0)
      << said;
  EXPECT_EQ(said, "");
  const Bytes reference = ReadBytes(v.reference), ours = ReadBytes(out);
  ASSERT_EQ(ours.size(), reference.size());
  const size_t frameBytes = size_t(v.columns) * size_t(v.rows) * 3;
  for (int k = 1; k <= v.frames; ++k) {
    const Bytes frame(ours.begin() + ptrdiff_t(frameBytes) * (k - 1),
                      ours.begin() + ptrdiff_t(frameBytes) * k);
    EXPECT_LE(MaxDifference(reference, frameBytes, k, frame), 2) << k;
  }

  // The header announces more frames than the stream holds.
  const std::string more = dir + "/more.dcm";
  ASSERT_EQ(fixtures::RunCommand(
                "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' " +
                Quote(v.stream) + " " + Quote(more) + " 1.2.840.10008.1.2.4.102 108 192 50"),
            0);
  EXPECT_NE(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " decode " + Quote(more) +
                                     " --all-frames -o " + Quote(out) + " 2>&1",
                                 &said),
            0);
  EXPECT_EQ(said, "tavrolen-dicom decode: " + more +
                      ": frame 49: frame 49 is past the end of the video (48 frames)\n");
}

}  // namespace
