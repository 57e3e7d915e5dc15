// MPEG-2, H.264 and HEVC video through FFmpeg's decoders, as elementary
// streams or in a program stream, transport stream or MP4 file (demuxed by
// FFmpeg over the fragments; the first video stream is shown). A video's pixel
// data is one compressed stream split over fragments, not one stream per
// frame, so these syntaxes bypass the per-frame codec signature: a session
// per file reads the fragments on demand, indexes the stream's access units
// as far as a request needs, and decodes frames in display order, restarting
// only from points where decoding can begin cleanly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pixels/codecs/Codec.h"

enum class VideoCodec { kNone, kMpeg2, kH264, kHevc };

// The codec a transfer syntax UID names, or kNone.
VideoCodec VideoCodecOf(std::string_view uid);

// Where the stream lies: `firstByte` is the first data byte of the first
// fragment (its item header precedes it), `length` what the frame table says
// the fragments hold together; the fragments themselves are walked to the
// sequence delimiter or the end of the file. `frames` is the header's Number
// of Frames, an upper bound: frames past the stream's end are refused.
struct VideoSource {
  std::string path;
  int64_t firstByte = 0;
  int64_t length = 0;
  VideoCodec codec = VideoCodec::kNone;
  int frames = 1;
};

// Frame `frame` (1-based, display order) as R, G, B bytes, `spec.columns` x
// `spec.rows`; the coded size must equal the header's. `incomplete` is set
// when the stream ended inside the frame's data. False with a one-line reason.
bool DecodeVideoFrame(const VideoSource& source, const FrameSpec& spec, int frame,
                      std::vector<uint8_t>& rgb, bool& incomplete, std::string& why);

// The stream's own frame rate in frames per second, 0 when it states none.
double VideoStreamFrameRate(const VideoSource& source);

// Decodes `stream` held in memory (an elementary stream or a container, no
// fragments) frame by frame through the same session glue; for the fuzz
// target. Returns the number of frames decoded.
int DecodeVideoBytes(VideoCodec codec, const uint8_t* data, size_t size, const FrameSpec& spec,
                     int maxFrames);
