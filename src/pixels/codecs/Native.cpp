#include "pixels/codecs/Native.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

void SwapSamples(uint8_t* p, size_t bytes, int width) {
  if (width < 2) return;
  for (size_t i = 0; i + size_t(width) <= bytes; i += size_t(width))
    std::reverse(p + i, p + i + width);
}

// Y1 Y2 Cb Cr per pair of pixels to Y Cb Cr per pixel, backwards so each
// pair is read before the wider output reaches it.
void Expand422(uint8_t* px, int64_t pixels) {
  for (int64_t p = pixels / 2 - 1; p >= 0; --p) {
    const uint8_t y1 = px[4 * p], y2 = px[4 * p + 1], cb = px[4 * p + 2], cr = px[4 * p + 3];
    uint8_t* o = px + 6 * p;
    o[0] = y1, o[1] = cb, o[2] = cr, o[3] = y2, o[4] = cb, o[5] = cr;
  }
}

}  // namespace

int64_t StoredFrameBits(const FrameSpec& spec) {
  if (spec.bitsAllocated == 1) return spec.pixels() * spec.samples;
  if (spec.packed12) return spec.pixels() * spec.samples * 12;
  return 8 * StoredFrameBytes(spec);
}

int64_t StoredFrameBytes(const FrameSpec& spec) {
  if (spec.bitsAllocated == 1 || spec.packed12) return (StoredFrameBits(spec) + 7) / 8;
  if (spec.ybr422) return 2 * spec.pixels();
  return NativeFrameBytes(spec);
}

bool NativeBytesToSamples(const uint8_t* data, size_t size, int bitOffset, const FrameSpec& spec,
                          bool bigEndian, CodecOutput& out) {
  const int64_t need = NativeFrameBytes(spec);
  if (need <= 0 || out.size < size_t(need)) {
    out.why = "the frame has no samples";
    return false;
  }
  if (spec.bitsAllocated == 1) {
    const int64_t bits = spec.pixels() * spec.samples;
    const int64_t have = int64_t(size) * 8 - bitOffset;
    const int64_t n = std::clamp<int64_t>(have, 0, bits);
    for (int64_t i = 0; i < n; ++i) {
      const int64_t b = i + bitOffset;
      out.data[i] = (data[b >> 3] >> (b & 7)) & 1;
    }
    out.incomplete = n < bits;
    return true;
  }
  if (spec.packed12) {
    // Sample i at bit 12 i: a whole byte and the low nibble of the next, or
    // the high nibble and the next byte.
    const int64_t samples = spec.pixels() * spec.samples;
    const int64_t have = (int64_t(size) * 8 - bitOffset) / 12;
    const int64_t n = std::clamp<int64_t>(have, 0, samples);
    for (int64_t i = 0; i < n; ++i) {
      const int64_t b = bitOffset + 12 * i;
      const uint8_t* p = data + (b >> 3);
      const uint16_t v =
          (b & 7) == 0 ? uint16_t(p[0] | (p[1] & 0x0F) << 8) : uint16_t(p[0] >> 4 | p[1] << 4);
      std::memcpy(out.data + 2 * i, &v, 2);
    }
    out.incomplete = n < samples;
    return true;
  }
  const int64_t stored = StoredFrameBytes(spec);
  const size_t n = size_t(std::min<int64_t>(int64_t(size), stored));
  out.incomplete = int64_t(n) < stored;
  const int width = SampleBytes(spec.bitsAllocated);
  if (spec.ybr422) {
    std::memcpy(out.data, data, n);
    Expand422(out.data, spec.pixels());
    return true;
  }
  if (spec.planar && spec.samples == 3) {
    const size_t plane = size_t(spec.pixels()) * size_t(width);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < size_t(spec.pixels()); ++i) {
        const size_t from = c * plane + i * size_t(width);
        if (from + size_t(width) > n) break;
        std::memcpy(out.data + (3 * i + c) * size_t(width), data + from, size_t(width));
      }
    }
  } else {
    std::memcpy(out.data, data, n);
  }
  if (bigEndian) SwapSamples(out.data, size_t(need), width);
  return true;
}

bool DecodeUncompressedFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                             CodecOutput& out) {
  return NativeBytesToSamples(data, size, 0, spec, false, out);
}
