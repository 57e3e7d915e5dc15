// Video files for the tests: streams made by the ffmpeg tool, wrapped into
// DICOM by make_video.py, and ffmpeg's own R, G, B decode of the same stream
// as the oracle.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace videotest {

using codectest::Bytes;

struct Kind {
  const char* name;
  const char* uid;
  const char* encoder;     // ffmpeg arguments after the input
  int bits = 8;            // Bits Allocated the header states
  const char* input = "";  // a second ffmpeg input (an audio track)
};

inline const Kind kMpeg2{"mpeg2", "1.2.840.10008.1.2.4.100",
                         "-c:v mpeg2video -bf 2 -g 12 -q:v 4 -f mpeg2video"};
// Closed GOPs: every I picture (IDR) is a clean start, so seeks restart
// there instead of at the first frame.
inline const Kind kMpeg2Closed{
    "mpeg2-closed", "1.2.840.10008.1.2.4.101",
    "-c:v mpeg2video -bf 2 -g 12 -flags +cgop -sc_threshold 1000000000 -q:v 4 "
    "-f mpeg2video"};
inline const Kind kHevcClosed{
    "hevc-closed", "1.2.840.10008.1.2.4.107",
    "-c:v libx265 -x265-params "
    "log-level=none:keyint=12:bframes=3:open-gop=0 -pix_fmt yuv420p -f hevc"};
inline const Kind kH264{"h264", "1.2.840.10008.1.2.4.102",
                        "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -f h264"};
inline const Kind kHevc8{"hevc8", "1.2.840.10008.1.2.4.107",
                         "-c:v libx265 -x265-params log-level=none:keyint=12:bframes=3 "
                         "-pix_fmt yuv420p -f hevc"};
inline const Kind kHevc10{"hevc10", "1.2.840.10008.1.2.4.108",
                          "-c:v libx265 -x265-params log-level=none:keyint=12:bframes=3 "
                          "-pix_fmt yuv420p10le -f hevc",
                          16};

// Containers, each with an audio track the decoder must pass over.
constexpr const char* kSine = "-f lavfi -i sine=frequency=440:sample_rate=48000";
inline const Kind kMpeg2Ps{"mpeg2-ps", "1.2.840.10008.1.2.4.100",
                           "-c:v mpeg2video -bf 2 -g 12 -q:v 4 -c:a mp2 -shortest -f vob", 8,
                           kSine};
inline const Kind kH264Ts{"h264-ts", "1.2.840.10008.1.2.4.102",
                          "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -c:a aac -shortest -f mpegts",
                          8, kSine};
inline const Kind kH264Mp4{"h264-mp4", "1.2.840.10008.1.2.4.102",
                           "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -c:a aac -shortest -f mp4", 8,
                           kSine};
inline const Kind kH264Mp4Fast{"h264-mp4-faststart", "1.2.840.10008.1.2.4.102",
                               "-c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -c:a aac -shortest "
                               "-movflags +faststart -f mp4",
                               8, kSine};
inline const Kind kHevcMp4{"hevc-mp4", "1.2.840.10008.1.2.4.107",
                           "-c:v libx265 -x265-params log-level=none:keyint=12:bframes=3 "
                           "-pix_fmt yuv420p -tag:v hvc1 -movflags +faststart -f mp4"};

struct Video {
  std::string stream;  // the elementary stream or container
  std::string dicom;
  std::string reference;  // ffmpeg's rgb24 decode of every frame
  int columns = 0, rows = 0, frames = 0;
};

// Makes `frames` frames of a moving test picture in `kind`, wrapped in
// `fragments` fragments; `extra` goes to make_video.py.
inline Video MakeVideo(const std::string& dir, const Kind& kind, int columns, int rows, int frames,
                       int fragments = 1, const std::string& extra = "") {
  Video v;
  v.columns = columns;
  v.rows = rows;
  v.frames = frames;
  const std::string base = dir + "/" + kind.name + "-" + std::to_string(fragments);
  v.stream = base + ".es";
  v.dicom = base + ".dcm";
  v.reference = base + ".rgb";
  std::string out;
  const std::string size = std::to_string(columns) + "x" + std::to_string(rows);
  int status = fixtures::RunCommand(
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=" + size + ":rate=25 " + kind.input +
          " -frames:v " + std::to_string(frames) + " " + kind.encoder + " '" + v.stream + "' 2>&1",
      &out);
  EXPECT_EQ(status, 0) << out;
  status =
      fixtures::RunCommand("ffmpeg -v error -y -i '" + v.stream +
                               "' -map 0:v:0 -fps_mode passthrough -pix_fmt rgb24 -f rawvideo '" +
                               v.reference + "' 2>&1",
                           &out);
  EXPECT_EQ(status, 0) << out;
  status = fixtures::RunCommand(
      "/usr/bin/python3 '" TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py' '" + v.stream + "' '" +
          v.dicom + "' " + kind.uid + " " + std::to_string(rows) + " " + std::to_string(columns) +
          " " + std::to_string(frames) + " --fragments " + std::to_string(fragments) + " --bits " +
          std::to_string(kind.bits) + " " + extra + " 2>&1",
      &out);
  EXPECT_EQ(status, 0) << out;
  return v;
}

struct Header {
  DICOMdata h;
  bool ok = false;
};

inline Header ReadVideoHeader(const std::string& path) {
  Header r;
  bool hdrOK = false;
  ReadDicomHeader(path, true, r.h, hdrOK, r.ok);
  return r;
}

inline bool Decode(const std::string& path, const DICOMdata& h, int frame, DecodedFrame& f,
                   std::string* why = nullptr) {
  return DecodeFrame(path, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, frame, f, why);
}

// The largest difference of any sample between frame k (1-based) of the
// reference and `rgb`; 256 when the sizes differ.
inline int MaxDifference(const Bytes& reference, size_t frameBytes, int k, const Bytes& rgb) {
  if (rgb.size() != frameBytes || reference.size() < frameBytes * size_t(k)) return 256;
  int worst = 0;
  const uint8_t* ref = reference.data() + frameBytes * size_t(k - 1);
  for (size_t i = 0; i < frameBytes; ++i) worst = std::max(worst, std::abs(ref[i] - rgb[i]));
  return worst;
}

}  // namespace videotest
