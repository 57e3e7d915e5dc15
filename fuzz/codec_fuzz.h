// Shared body of the codec fuzz targets: the first four bytes describe the
// frame the header would announce (width, height, samples, bits, signedness,
// photometric), the rest is the compressed stream. The output block is an
// exact heap allocation, so a write past it is caught.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pixels/codecs/Codec.h"

inline int FuzzFrameCodec(FrameCodec codec, const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static const int kBits[4] = {8, 12, 16, 32};
  FrameSpec spec;
  spec.columns = int64_t{data[0]} + 1;
  spec.rows = int64_t{data[1]} + 1;
  spec.samples = (data[2] & 1) ? 3 : 1;
  spec.bitsAllocated = spec.bitsStored = kBits[(data[2] >> 1) & 3];
  if (spec.bitsAllocated == 12) spec.bitsAllocated = 16;
  spec.isSigned = (data[2] & 8) != 0;
  spec.rgbPhotometric = (data[2] & 16) != 0;
  spec.ybrPhotometric = !spec.rgbPhotometric && (data[2] & 32) != 0;
  spec.columns += int64_t{data[3] & 0x0F} << 8;  // up to 4096 wide, so large frames are tried
  data += 4;
  size -= 4;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  const auto n = static_cast<size_t>(NativeFrameBytes(spec));
  const auto out = std::make_unique<uint8_t[]>(n);
  CodecOutput o;
  o.data = out.get();
  o.size = n;
  codec(input.get(), size, spec, o);
  return 0;
}
