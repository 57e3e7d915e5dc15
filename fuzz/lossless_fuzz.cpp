// Lossless JPEG decoder on arbitrary streams. The output blocks are exact
// heap allocations, so a write past them is caught; the first two bytes pick
// their size, so streams whose dimensions disagree with the output are tried.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pixels/codecs/lsjpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = (size_t{data[0]} << 8 | data[1]) * 4 + 1;
  data += 2;
  size -= 2;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  const auto out16 = std::make_unique<uint16_t[]>(capacity);
  const auto out8 = std::make_unique<uint8_t[]>(capacity);
  LosslessJpegInfo info;
  ReadLosslessJpegInfo(input.get(), size, info);
  DecodeLosslessJpeg(input.get(), size, out16.get(), capacity, out8.get(), capacity, &info);
  return 0;
}
