// MPEG-2, H.264 and HEVC video, as elementary streams and in program,
// transport and MP4 containers, against ffmpeg's own decode of the same
// stream, in order and out of order, and streams that are cut, damaged or
// disagree with their header.
#include <tuple>

#include <gtest/gtest.h>

#include "pixels/CodecTable.h"
#include "pixels/codecs/Video.h"
#include "video_fixtures.h"

namespace {

using namespace videotest;
using codectest::ReadBytes;
using codectest::WriteBytes;

void RequireTools() {
  if (!testsupport::HaveTool("ffmpeg")) FAIL() << "the ffmpeg tool is not installed";
  if (!testsupport::HavePythonModules("pydicom"))
    FAIL() << "/usr/bin/python3 cannot import pydicom";
}

class VideoOracle : public ::testing::TestWithParam<std::tuple<const Kind*, int>> {};

// Every frame, decoded in order, within 2 grey levels of ffmpeg's rgb24
// decode; one fragment, or several split inside access units.
TEST_P(VideoOracle, EveryFrameMatchesFfmpeg) {
  RequireTools();
  const auto [kind, fragments] = GetParam();
  const std::string dir = testsupport::TempDir(std::string("video-oracle-") + kind->name + "-" +
                                               std::to_string(fragments));
  const Video v = MakeVideo(dir, *kind, 192, 108, 40, fragments);
  const Header hdr = ReadVideoHeader(v.dicom);
  ASSERT_TRUE(hdr.ok);
  ASSERT_EQ(hdr.h.XYZdim[2], v.frames);
  std::string why;
  EXPECT_TRUE(FrameFormatSupported(hdr.h, &why)) << why;
  const Bytes reference = ReadBytes(v.reference);
  const size_t frameBytes = size_t(v.columns) * size_t(v.rows) * 3;
  ASSERT_EQ(reference.size(), frameBytes * size_t(v.frames));
  int worst = 0;
  for (int k = 1; k <= v.frames; ++k) {
    DecodedFrame f;
    ASSERT_TRUE(Decode(v.dicom, hdr.h, k, f, &why)) << "frame " << k << ": " << why;
    EXPECT_TRUE(f.buff8.empty() && f.buff16.empty());
    EXPECT_FALSE(f.incomplete) << k;
    worst = std::max(worst, MaxDifference(reference, frameBytes, k, f.buff24));
    // The header names a YBR model (and Main 10 sixteen bits): the held
    // buffer is R, G, B bytes, and says so.
    EXPECT_TRUE(f.held.differs);
    EXPECT_EQ(f.held.monochrome, 3);
    EXPECT_EQ(f.held.samples, 3);
    EXPECT_EQ(f.held.allocBits, 8);
  }
  EXPECT_LE(worst, 2);
  RecordProperty("max_difference", worst);
}

INSTANTIATE_TEST_SUITE_P(Streams, VideoOracle,
                         ::testing::Combine(::testing::Values(&kMpeg2, &kH264, &kHevc8, &kHevc10),
                                            ::testing::Values(1, 7)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)->name) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_fragments";
                         });

// Containers with an audio track: the first video stream's frames, split
// over fragments at points that fall inside the container's packets.
INSTANTIATE_TEST_SUITE_P(Containers, VideoOracle,
                         ::testing::Combine(::testing::Values(&kMpeg2Ps, &kH264Ts, &kH264Mp4,
                                                              &kH264Mp4Fast, &kHevcMp4),
                                            ::testing::Values(1, 7)),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param)->name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + "_" + std::to_string(std::get<1>(info.param)) +
                                  "_fragments";
                         });

// Frames asked for out of order (a cold session, seeks back and forth across
// key frames) equal the same frames decoded in order.
TEST(Video, RandomOrderEqualsSequential) {
  RequireTools();
  for (const Kind* kind : {&kMpeg2, &kMpeg2Closed, &kH264, &kHevc8, &kHevcClosed, &kMpeg2Ps,
                           &kH264Ts, &kH264Mp4, &kHevcMp4}) {
    const std::string dir = testsupport::TempDir(std::string("video-random-") + kind->name);
    const Video v = MakeVideo(dir, *kind, 192, 108, 60, 3);
    const Header hdr = ReadVideoHeader(v.dicom);
    ASSERT_TRUE(hdr.ok);
    const Bytes reference = ReadBytes(v.reference);
    const size_t frameBytes = size_t(v.columns) * size_t(v.rows) * 3;
    for (int k : {41, 4, 40, 1, 60, 13, 12, 59, 25}) {
      DecodedFrame f;
      std::string why;
      ASSERT_TRUE(Decode(v.dicom, hdr.h, k, f, &why))
          << kind->name << " frame " << k << ": " << why;
      EXPECT_LE(MaxDifference(reference, frameBytes, k, f.buff24), 2)
          << kind->name << " frame " << k;
    }
  }
}

// A full-HD stream: the size the decoder and converter see in real files.
TEST(Video, FullHdH264) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-1080");
  const Video v = MakeVideo(dir, kH264, 1920, 1080, 6, 4);
  const Header hdr = ReadVideoHeader(v.dicom);
  ASSERT_TRUE(hdr.ok);
  const Bytes reference = ReadBytes(v.reference);
  const size_t frameBytes = size_t(v.columns) * size_t(v.rows) * 3;
  for (int k : {6, 1, 2}) {
    DecodedFrame f;
    std::string why;
    ASSERT_TRUE(Decode(v.dicom, hdr.h, k, f, &why)) << why;
    EXPECT_LE(MaxDifference(reference, frameBytes, k, f.buff24), 2) << k;
  }
}

// A file cut inside its last fragment shows the frames it holds and refuses
// the rest with one reason; more frames announced than the stream holds are
// refused the same way.
TEST(Video, CutStreamsAndMissingFramesAreRefusedWithAReason) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-cut");
  const Video whole = MakeVideo(dir, kH264, 192, 108, 40, 2);
  const Bytes file = ReadBytes(whole.dicom);
  const std::string cut = dir + "/cut.dcm";
  WriteBytes(cut, Bytes(file.begin(), file.end() - int64_t(file.size() / 3)));
  const Header hdr = ReadVideoHeader(cut);
  ASSERT_TRUE(hdr.ok);
  ASSERT_EQ(hdr.h.XYZdim[2], 40);
  int decoded = 0;
  std::string firstRefusal;
  for (int k = 1; k <= 40; ++k) {
    DecodedFrame f;
    std::string why;
    if (Decode(cut, hdr.h, k, f, &why)) {
      EXPECT_EQ(firstRefusal, "") << "frame " << k << " decoded after a refused one";
      ++decoded;
    } else if (firstRefusal.empty()) {
      firstRefusal = why;
    }
  }
  EXPECT_GT(decoded, 10);
  EXPECT_LT(decoded, 40);
  EXPECT_NE(firstRefusal.find("past the end"), std::string::npos) << firstRefusal;

  const std::string more = dir + "/more.dcm";
  ASSERT_EQ(fixtures::RunCommand(
                "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' '" +
                whole.stream + "' '" + more + "' 1.2.840.10008.1.2.4.102 108 192 50"),
            0);
  const Header h50 = ReadVideoHeader(more);
  ASSERT_EQ(h50.h.XYZdim[2], 50);
  DecodedFrame f;
  std::string why;
  EXPECT_TRUE(Decode(more, h50.h, 40, f, &why)) << why;
  EXPECT_FALSE(Decode(more, h50.h, 45, f, &why));
  EXPECT_EQ(why, "frame 45 is past the end of the video (40 frames)");
  EXPECT_TRUE(f.buff24.empty());
}

// Damage in the middle of the stream, and a header whose size disagrees with
// the stream: reasons, no crash, nothing allocated from the header's claim;
// an MPEG-2 program stream without audio decodes.
TEST(Video, DamagedOrMislabelledStreams) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-damaged");
  const Video v = MakeVideo(dir, kHevc8, 192, 108, 40, 3);
  Bytes file = ReadBytes(v.dicom);
  for (size_t i = file.size() / 3; i < file.size() / 3 + 3000 && i < file.size(); i += 7)
    file[i] ^= 0x5A;
  const std::string damaged = dir + "/damaged.dcm";
  WriteBytes(damaged, file);
  const Header hdr = ReadVideoHeader(damaged);
  ASSERT_TRUE(hdr.ok);
  int decoded = 0;
  for (int k = 1; k <= 40; ++k) {
    DecodedFrame f;
    std::string why;
    if (Decode(damaged, hdr.h, k, f, &why)) {
      ++decoded;
      EXPECT_EQ(f.buff24.size(), size_t(192 * 108 * 3));
    } else {
      EXPECT_NE(why, "");
    }
  }
  EXPECT_GT(decoded, 5);

  const std::string wrong = dir + "/wrong-size.dcm";
  ASSERT_EQ(fixtures::RunCommand(
                "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' '" +
                v.stream + "' '" + wrong + "' 1.2.840.10008.1.2.4.107 4000 6000 40"),
            0);
  const Header big = ReadVideoHeader(wrong);
  DecodedFrame f;
  std::string why;
  EXPECT_FALSE(Decode(wrong, big.h, 1, f, &why));
  EXPECT_EQ(why, "the video's frames are 192 x 108, the header says 6000 x 4000");
  EXPECT_TRUE(f.buff24.empty());

  const std::string ps = dir + "/program.mpg";
  std::string out;
  ASSERT_EQ(fixtures::RunCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=192x108:rate=25 "
                                 "-frames:v 10 -c:v mpeg2video -f vob '" +
                                     ps + "' 2>&1",
                                 &out),
            0)
      << out;
  const std::string wrapped = dir + "/program.dcm";
  ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" TAVROLEN_SOURCE_DIR
                                 "/tests/pixels/make_video.py' '" +
                                 ps + "' '" + wrapped + "' 1.2.840.10008.1.2.4.100 108 192 10"),
            0);
  const Header mpg = ReadVideoHeader(wrapped);
  EXPECT_TRUE(Decode(wrapped, mpg.h, 3, f, &why)) << why;
  EXPECT_EQ(f.buff24.size(), size_t(192 * 108 * 3));
}

// A container cut short shows the frames it holds, each where it belongs,
// and refuses the rest with one reason; pictures whose packets were cut away
// while later ones survive (B frames after their reference) are refused,
// not shown in another frame's place. An MP4 file whose index (at its end)
// is cut away has nothing to show and says so.
TEST(Video, CutContainers) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-cut-containers");
  for (const Kind* kind : {&kH264Ts, &kMpeg2Ps, &kH264Mp4Fast, &kH264Mp4}) {
    const Video whole = MakeVideo(dir, *kind, 192, 108, 40, 2);
    const Bytes file = ReadBytes(whole.dicom);
    const std::string cut = dir + "/" + kind->name + "-cut.dcm";
    WriteBytes(cut, Bytes(file.begin(), file.end() - int64_t(file.size() / 3)));
    const Header hdr = ReadVideoHeader(cut);
    ASSERT_TRUE(hdr.ok);
    const Bytes reference = ReadBytes(whole.reference);
    const size_t frameBytes = size_t(whole.columns) * size_t(whole.rows) * 3;
    int decoded = 0;
    std::vector<std::string> refusals;
    for (int k = 1; k <= 40; ++k) {
      DecodedFrame f;
      std::string why;
      if (Decode(cut, hdr.h, k, f, &why)) {
        ++decoded;
        if (!f.incomplete) {
          EXPECT_LE(MaxDifference(reference, frameBytes, k, f.buff24), 2)
              << kind->name << " frame " << k;
        }
      } else {
        refusals.push_back(why);
      }
    }
    ASSERT_FALSE(refusals.empty()) << kind->name;
    const std::string expected =
        kind == &kH264Mp4 ? "the video's MP4 file cannot be read" : "past the end of the video (";
    EXPECT_NE(refusals.back().find(expected), std::string::npos) << refusals.back();
    for (const std::string& why : refusals) {
      EXPECT_TRUE(why.find(expected) != std::string::npos ||
                  why.find("does not decode") != std::string::npos)
          << kind->name << ": " << why;
    }
    if (kind == &kH264Mp4) {
      EXPECT_EQ(decoded, 0);
    } else {
      EXPECT_GT(decoded, 10) << kind->name;
    }
  }
}

// An MP4 file cut without re-encoding starts its edit list after a key
// frame: the packets before it are decoded as references but never shown,
// so frame 1 is the edit's first picture, as in ffmpeg's decode.
TEST(Video, Mp4EditListHidesLeadingPackets) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-edit-list");
  const std::string whole = dir + "/whole.mp4", cut = dir + "/cut.mp4", ref = dir + "/cut.rgb";
  std::string out;
  ASSERT_EQ(fixtures::RunCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=192x108:rate=25 "
                                 "-frames:v 60 -c:v libx264 -bf 3 -g 25 -pix_fmt yuv420p -f mp4 '" +
                                     whole + "' 2>&1 && ffmpeg -v error -y -ss 0.5 -i '" + whole +
                                     "' -c copy -f mp4 '" + cut +
                                     "' 2>&1 && ffmpeg -v error -y -i '" + cut +
                                     "' -map 0:v:0 -fps_mode passthrough -pix_fmt rgb24 -f "
                                     "rawvideo '" +
                                     ref + "' 2>&1",
                                 &out),
            0)
      << out;
  const Bytes reference = ReadBytes(ref);
  const size_t frameBytes = size_t(192 * 108 * 3);
  const int frames = int(reference.size() / frameBytes);
  ASSERT_GT(frames, 30);
  ASSERT_LT(frames, 60);  // the cut dropped leading frames
  const std::string path = dir + "/cut.dcm";
  ASSERT_EQ(fixtures::RunCommand(
                "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' '" + cut +
                "' '" + path + "' 1.2.840.10008.1.2.4.102 108 192 60 --fragments 3"),
            0);
  const Header hdr = ReadVideoHeader(path);
  ASSERT_TRUE(hdr.ok);
  for (int k : {frames - 15, 3, frames, 1, frames - 20, 2}) {
    DecodedFrame f;
    std::string why;
    ASSERT_TRUE(Decode(path, hdr.h, k, f, &why)) << "frame " << k << ": " << why;
    EXPECT_LE(MaxDifference(reference, frameBytes, k, f.buff24), 2) << "frame " << k;
  }
  DecodedFrame f;
  std::string why;
  EXPECT_FALSE(Decode(path, hdr.h, frames + 1, f, &why));
  EXPECT_EQ(why, "frame " + std::to_string(frames + 1) + " is past the end of the video (" +
                     std::to_string(frames) + " frames)");
}

// A valid container header followed by noise: reasons or frames, never a
// crash or a hang.
TEST(Video, GarbageAfterAContainerHeader) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-garbage-containers");
  for (const Kind* kind : {&kMpeg2Ps, &kH264Ts, &kH264Mp4Fast}) {
    const Video v = MakeVideo(dir, *kind, 192, 108, 12, 1);
    Bytes stream = ReadBytes(v.stream);
    // Two transport packets, or the pack header and the first boxes.
    stream.resize(std::min<size_t>(stream.size(), 376));
    uint32_t x = 12345;
    for (int i = 0; i < 60000; ++i) {
      x = x * 1103515245 + 12345;
      stream.push_back(uint8_t(x >> 16));
    }
    const std::string noisy = dir + "/" + kind->name + "-noise.bin";
    WriteBytes(noisy, stream);
    const std::string path = dir + "/" + kind->name + "-noise.dcm";
    ASSERT_EQ(fixtures::RunCommand(
                  "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' '" +
                  noisy + "' '" + path + "' " + kind->uid + " 108 192 12 --fragments 3"),
              0);
    const Header hdr = ReadVideoHeader(path);
    ASSERT_TRUE(hdr.ok);
    for (int k : {1, 2, 12, 5}) {
      DecodedFrame f;
      std::string why;
      if (Decode(path, hdr.h, k, f, &why)) {
        EXPECT_EQ(f.buff24.size(), size_t(192 * 108 * 3));
      } else {
        EXPECT_NE(why, "") << kind->name;
      }
    }
  }
}

// The fuzz target's path: a container in memory, whatever codec the caller
// guessed (the container's own stream decides), gives every frame.
TEST(Video, ContainersInMemory) {
  RequireTools();
  const std::string dir = testsupport::TempDir("video-memory-containers");
  FrameSpec spec;
  spec.columns = 192;
  spec.rows = 108;
  spec.samples = 3;
  for (const Kind* kind : {&kMpeg2Ps, &kH264Ts, &kH264Mp4, &kHevcMp4}) {
    const Video v = MakeVideo(dir, *kind, 192, 108, 12, 1);
    const Bytes stream = ReadBytes(v.stream);
    for (VideoCodec guess : {VideoCodecOf(kind->uid), VideoCodec::kMpeg2})
      EXPECT_EQ(DecodeVideoBytes(guess, stream.data(), stream.size(), spec, 40), 12) << kind->name;
  }
}

// A header without Frame Time or Cine Rate plays at the stream's own rate.
TEST(Video, StreamFrameRate) {
  RequireTools();
  for (const Kind* kind : {&kMpeg2, &kH264, &kHevc8, &kMpeg2Ps, &kH264Ts, &kH264Mp4}) {
    const std::string dir = testsupport::TempDir(std::string("video-rate-") + kind->name);
    const Video v = MakeVideo(dir, *kind, 192, 108, 8, 2);
    const Header hdr = ReadVideoHeader(v.dicom);
    ASSERT_TRUE(hdr.ok);
    EXPECT_DOUBLE_EQ(
        VideoFrameRate(v.dicom, hdr.h, hdr.h.gECATJPEG_pos_table, hdr.h.gECATJPEG_size_table), 25.0)
        << kind->name;
  }
}

// Pixel data with no fragment, or fragments of no stream: a reason, not a
// crash, from the reader's table on.
TEST(Video, EmptyOrForeignFragments) {
  const std::string dir = testsupport::TempDir("video-empty");
  fixtures::ImageSpec spec;
  spec.rows = 108;
  spec.columns = 192;
  spec.frames = 30;
  const std::vector<std::pair<std::vector<Bytes>, std::string>> cases = {
      {{}, "the video stream holds no frame"},
      // Zeros, then ones: one start code, and nothing a decoder takes.
      {fixtures::Fragments({2000, 3000}), "frame 1 does not decode"},
  };
  for (const auto& [fragments, reason] : cases) {
    const std::string path =
        fixtures::WriteFile(dir, "v" + std::to_string(fragments.size()) + ".dcm",
                            fixtures::EncapsulatedFile(spec, "1.2.840.10008.1.2.4.102", fragments));
    const Header hdr = ReadVideoHeader(path);
    ASSERT_TRUE(hdr.ok);
    DecodedFrame f;
    std::string why;
    EXPECT_FALSE(Decode(path, hdr.h, 1, f, &why));
    EXPECT_EQ(why, reason);
  }
}

TEST(Video, SyntaxesOfTheTable) {
  for (const char* uid :
       {"1.2.840.10008.1.2.4.100", "1.2.840.10008.1.2.4.100.1", "1.2.840.10008.1.2.4.101.1",
        "1.2.840.10008.1.2.4.102", "1.2.840.10008.1.2.4.103.1", "1.2.840.10008.1.2.4.104",
        "1.2.840.10008.1.2.4.105", "1.2.840.10008.1.2.4.106.1", "1.2.840.10008.1.2.4.107",
        "1.2.840.10008.1.2.4.108"}) {
    const TransferSyntaxCodec* e = FindTransferSyntax(uid);
    ASSERT_NE(e, nullptr) << uid;
    EXPECT_TRUE(e->supported()) << uid;
    EXPECT_EQ(e->encoding, PixelEncoding::kVideo) << uid;
    EXPECT_NE(VideoCodecOf(uid), VideoCodec::kNone) << uid;
  }
  EXPECT_EQ(VideoCodecOf("1.2.840.10008.1.2.4.107.1"), VideoCodec::kNone);
  EXPECT_EQ(VideoCodecOf("1.2.840.10008.1.2.4.109"), VideoCodec::kNone);
  EXPECT_EQ(VideoCodecOf("1.2.840.10008.1.2.4.110"), VideoCodec::kNone);
  EXPECT_EQ(VideoCodecOf("1.2.840.10008.1.2.4.10"), VideoCodec::kNone);
}

}  // namespace
