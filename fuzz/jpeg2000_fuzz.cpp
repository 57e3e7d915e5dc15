// JPEG 2000 frames through the OpenJPEG glue, for frames larger and smaller
// than the code stream (see codec_fuzz.h).
#include "codec_fuzz.h"
#include "pixels/codecs/OpenJpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzFrameCodec(DecodeJpeg2000Frame, data, size);
}
