// JPEG XL frames through the libjxl glue (see codec_fuzz.h): the check the
// table runs first, then the decode, which must hold whatever the check said.
#include "codec_fuzz.h"
#include "pixels/codecs/JpegXl.h"

namespace {

bool CheckThenDecode(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  std::string why;
  CheckJpegXlFrame(data, size, spec, why);
  return DecodeJpegXlFrame(data, size, spec, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FuzzFrameCodec(CheckThenDecode, data, size);
}
