// 12-bit DCT JPEG frames through the GDCM IJG glue (see codec_fuzz.h).
#include "codec_fuzz.h"
#include "pixels/codecs/Jpeg12.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzFrameCodec(DecodeJpeg12Frame, data, size);
}
