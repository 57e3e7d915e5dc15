// JPEG 2000 frames through the OpenJPEG glue. The first three bytes pick the
// frame's width, height, samples and bits, so code streams larger and smaller
// than the frame are tried; the output is an exact heap allocation, so a write
// past it is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pixels/codecs/OpenJpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  FrameSpec spec;
  spec.columns = data[0] + 1;
  spec.rows = data[1] + 1;
  spec.samples = (data[2] & 1) ? 3 : 1;
  spec.bitsAllocated = spec.bitsStored = (data[2] & 2) ? 16 : 8;
  data += 3;
  size -= 3;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  const auto n = static_cast<size_t>(NativeFrameBytes(spec));
  const auto out = std::make_unique<uint8_t[]>(n);
  CodecOutput o;
  o.data = out.get();
  o.size = n;
  DecodeJpeg2000Frame(input.get(), size, spec, o);
  return 0;
}
