// JPEG-LS frames through the CharLS glue (see codec_fuzz.h).
#include "codec_fuzz.h"
#include "pixels/codecs/JpegLs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzFrameCodec(DecodeJpegLsFrame, data, size);
}
