// Palette lookups through tables whose descriptors may lie: the first twelve
// bytes are the three descriptors (entries, first mapped value, bits), the
// next byte says which tables are segmented and how wide the indices are, the
// rest is split between the tables' data and a frame of indices. Every lookup
// must stay inside its table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pixels/HeldLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 13) return 0;
  DICOMdata h;
  h.little_endian = 1;
  TPixelModule& m = h.Pixel;
  const auto word = [&](size_t at) { return int(data[at] | data[at + 1] << 8); };
  const uint8_t flags = data[12];
  const size_t rest = size - 13;
  const size_t part = rest / 4;
  for (size_t c = 0; c < 3; ++c) {
    TPaletteLut& t = m.palette[c];
    t.entries = word(4 * c);
    t.firstMapped = int16_t(word(4 * c + 2) & 0xFFFF) % 4096;
    t.bits = (data[4 * c + 2] & 1) ? 16 : 8;
    t.segmented = (flags >> c) & 1;
    const uint8_t* from = data + 13 + c * part;
    t.data = std::make_shared<std::vector<uint8_t>>(from, from + part);
  }
  m.bitsAllocated = m.bitsStored = (flags & 8) ? 16 : 8;
  m.samplesPerPixel = 1;
  m.photometric = "PALETTE COLOR";
  const size_t width = (flags & 8) ? 2 : 1;
  const size_t pixels = std::max<size_t>(1, (rest - 3 * part) / width);
  h.XYZdim = {int(pixels), 1, 1, 1};
  StoredFormat s;
  std::string why;
  if (!DescribeStoredFormat(h, s, why) || !s.palette) return 0;
  ExpandedPalette palette;
  if (!ExpandPalette(h, palette, &why)) return 0;
  std::vector<uint8_t> native(pixels * width, 0);
  std::copy(data + 13 + 3 * part, data + 13 + 3 * part + std::min(native.size(), rest - 3 * part),
            native.begin());
  std::vector<uint8_t> grey, rgb(3 * pixels);
  std::vector<int16_t> words;
  ConvertToHeld(s, h, native.data(), SampleRange{}, palette, grey, words, rgb);
  return 0;
}
