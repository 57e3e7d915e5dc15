// HTJ2K frames through the OpenJPH glue and its OpenJPEG fallback (see
// codec_fuzz.h).
#include "codec_fuzz.h"
#include "pixels/codecs/OpenJph.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzFrameCodec(DecodeHtj2kFrame, data, size);
}
