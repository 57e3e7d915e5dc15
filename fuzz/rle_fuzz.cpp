// RLE decoder on arbitrary frames; the first byte picks the sample layout
// (or 1-bit data through the table's check and entry point) and the pixel
// count, the output is an exact heap allocation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pixels/codecs/RleDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static const int kLayouts[][2] = {{1, 1}, {1, 2}, {3, 1}, {3, 2}, {1, 4}};
  const int pick = data[0] % 6;
  const int64_t pixels = (int64_t{data[1]} << 8 | data[2]) + 1;
  data += 3;
  size -= 3;
  const auto input = std::make_unique<uint8_t[]>(size);
  std::copy(data, data + size, input.get());
  if (pick == 5) {
    FrameSpec spec;
    spec.columns = pixels;
    spec.rows = 1;
    spec.bitsAllocated = spec.bitsStored = 1;
    const auto out = std::make_unique<uint8_t[]>(static_cast<size_t>(pixels));
    CodecOutput o;
    o.data = out.get();
    o.size = static_cast<size_t>(pixels);
    std::string why;
    if (CheckRleFrame(input.get(), size, spec, why)) DecodeRleFrame(input.get(), size, spec, o);
    return 0;
  }
  const auto& layout = kLayouts[pick];
  const auto out = std::make_unique<uint8_t[]>(static_cast<size_t>(pixels) * layout[0] * layout[1]);
  DecodeRle(input.get(), size, layout[0], layout[1], pixels, out.get());
  return 0;
}
