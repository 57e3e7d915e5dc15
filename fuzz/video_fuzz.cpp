// Video session glue on arbitrary elementary streams and containers (program
// stream, transport stream, MP4, recognised by their first bytes as in a
// file): the first byte picks the codec (MPEG-2, H.264, HEVC; a container's
// own stream decides) and, with the second and third, the frame size the
// header would announce; every frame found is decoded and converted through
// the same code as a file's.
#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Video.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const VideoCodec kCodecs[3] = {VideoCodec::kMpeg2, VideoCodec::kH264, VideoCodec::kHevc};
  FrameSpec spec;
  spec.columns = 16 * (int64_t{data[1] & 0x1F} + 1);
  spec.rows = 16 * (int64_t{data[2] & 0x1F} + 1);
  spec.samples = 3;
  DecodeVideoBytes(kCodecs[data[0] % 3], data + 3, size - 3, spec, 16);
  return 0;
}
