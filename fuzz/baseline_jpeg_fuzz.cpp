// Baseline and extended JPEG frames through the libjpeg-turbo glue, to RGB and
// to grey. The first two bytes pick the expected pixel count, so pictures that
// do and do not match the frame are tried, and their top bit whether the image
// says RGB (three components may then be taken as stored). The outputs are
// exact heap allocations, so a write past them is caught.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pixels/codecs/BaselineJpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int64_t pixels = (int64_t{data[0]} << 8 | data[1]) + 1;
  const bool rgbPhotometric = (data[0] & 0x80) != 0;
  data += 2;
  size -= 2;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  const auto n = static_cast<size_t>(pixels);
  const auto rgb = std::make_unique<uint8_t[]>(3 * n);
  const auto grey = std::make_unique<uint8_t[]>(n);
  DecodeJpegToRgb(input.get(), size, rgb.get(), pixels, nullptr, rgbPhotometric);
  DecodeJpegToGrey(input.get(), size, grey.get(), pixels);
  return 0;
}
