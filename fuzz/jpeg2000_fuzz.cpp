// JPEG 2000 frames through the OpenJPEG glue. The first two bytes pick the
// frame's pixel count, so code streams larger and smaller than the frame are
// tried; the outputs are exact heap allocations, so a write past them is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pixels/OpenJpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int64_t pixels = (int64_t{data[0]} << 8 | data[1]) + 1;
  data += 2;
  size -= 2;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  const auto n = static_cast<size_t>(pixels);
  const auto out16 = std::make_unique<uint16_t[]>(n);
  const auto out8 = std::make_unique<uint8_t[]>(n);
  const auto out24 = std::make_unique<uint8_t[]>(3 * n);
  DecodeJpeg2000(input.get(), size, pixels, {out16.get(), out8.get(), out24.get()});
  return 0;
}
