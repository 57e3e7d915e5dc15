#include "pixels/codecs/RleDecoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kHeaderSize = 64;
constexpr int kMaxSegments = 15;

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// PackBits: a control byte n in 0 ... 127 copies n + 1 literal bytes, -1 ...
// -127 repeats the next byte 1 - n times, -128 does nothing. Returns the
// bytes written; stops at whichever of input or output ends first.
size_t UnpackBits(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  size_t i = 0, o = 0;
  while (i < inSize && o < outSize) {
    const int n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      size_t count = static_cast<size_t>(n) + 1;
      if (count > inSize - i) count = inSize - i;
      if (count > outSize - o) count = outSize - o;
      std::memcpy(out + o, in + i, count);
      i += static_cast<size_t>(n) + 1;
      o += count;
    } else if (n != -128) {
      if (i >= inSize) break;
      size_t count = static_cast<size_t>(1 - n);
      if (count > outSize - o) count = outSize - o;
      std::memset(out + o, in[i++], count);
      o += count;
    }
  }
  return o;
}

bool Fail(std::string* reason, const char* text) {
  if (reason) *reason = text;
  return false;
}

}  // namespace

bool DecodeRle(const uint8_t* data, size_t size, int samplesPerPixel, int bytesPerSample,
               int64_t pixelCount, uint8_t* out, std::string* reason, bool* incomplete) {
  if (samplesPerPixel < 1 || bytesPerSample < 1 || pixelCount <= 0 || !out) {
    return Fail(reason, "RLE frame has no samples to decode");
  }
  const int segments = samplesPerPixel * bytesPerSample;
  if (segments > kMaxSegments) return Fail(reason, "RLE frame needs more than 15 segments");
  if (!data || size < kHeaderSize) return Fail(reason, "RLE frame header is truncated");
  const uint32_t declared = Le32(data);
  if (declared < static_cast<uint32_t>(segments) || declared > kMaxSegments) {
    return Fail(reason, "RLE frame has the wrong number of segments");
  }
  uint32_t offsets[kMaxSegments + 1];
  for (uint32_t s = 0; s < declared; ++s) offsets[s] = Le32(data + 4 + 4 * s);

  const size_t plane = static_cast<size_t>(pixelCount);
  if (incomplete) *incomplete = false;
  if (segments == 1) {
    const size_t begin = offsets[0];
    if (begin < kHeaderSize || begin > size) return Fail(reason, "RLE segment offset is invalid");
    size_t end = declared > 1 ? offsets[1] : size;
    if (end > size || end < begin) end = size;
    const size_t got = UnpackBits(data + begin, end - begin, out, plane);
    std::memset(out + got, 0, plane - got);
    if (incomplete) *incomplete = got < plane;
    return true;
  }

  // Every segment into its own plane first (runs become memset and memcpy),
  // then one pass that interleaves them.
  auto planes = std::make_unique_for_overwrite<uint8_t[]>(plane * static_cast<size_t>(segments));
  for (int s = 0; s < segments; ++s) {
    const size_t begin = offsets[s];
    // A segment ends where the next begins, or at the end of the data when
    // the offsets are out of order.
    size_t end = static_cast<uint32_t>(s) + 1 < declared ? offsets[s + 1] : size;
    if (end > size || end < begin) end = size;
    if (begin < kHeaderSize || begin > size) return Fail(reason, "RLE segment offset is invalid");
    uint8_t* dst = planes.get() + plane * static_cast<size_t>(s);
    const size_t got = UnpackBits(data + begin, end - begin, dst, plane);
    std::memset(dst + got, 0, plane - got);
    if (incomplete && got < plane) *incomplete = true;
  }

  const uint8_t* p = planes.get();
  if (samplesPerPixel == 1 && bytesPerSample == 2) {
    const uint8_t* hi = p;
    const uint8_t* lo = p + plane;
    for (size_t i = 0; i < plane; ++i) {
      const uint16_t w = static_cast<uint16_t>(hi[i] << 8 | lo[i]);
      std::memcpy(out + 2 * i, &w, 2);
    }
  } else if (samplesPerPixel == 3 && bytesPerSample == 1) {
    const uint8_t* r = p;
    const uint8_t* g = p + plane;
    const uint8_t* b = p + 2 * plane;
    for (size_t i = 0; i < plane; ++i) {
      out[3 * i] = r[i];
      out[3 * i + 1] = g[i];
      out[3 * i + 2] = b[i];
    }
  } else {
    // Segment s holds byte s % bytesPerSample (most significant first) of
    // sample s / bytesPerSample.
    const size_t pixelBytes = static_cast<size_t>(segments);
    for (int s = 0; s < segments; ++s) {
      const int significance = s % bytesPerSample;
      const int byteInSample = std::endian::native == std::endian::little
                                   ? bytesPerSample - 1 - significance
                                   : significance;
      uint8_t* dst = out + (s / bytesPerSample) * bytesPerSample + byteInSample;
      const uint8_t* src = p + plane * static_cast<size_t>(s);
      for (size_t i = 0; i < plane; ++i) dst[i * pixelBytes] = src[i];
    }
  }
  return true;
}

namespace {

// A 1-bit frame is one segment of its packed bits (least significant bit
// first, the frame padded to a whole byte), as the native layout packs them.
// Some writers put one byte per pixel in the segment instead; its decoded
// length tells the two apart.
bool DecodeRleBits(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  const int64_t pixels = spec.pixels();
  const auto packed = static_cast<size_t>((pixels + 7) / 8);
  auto bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(pixels));
  const uint32_t declared = Le32(data);
  const size_t begin = Le32(data + 4);
  size_t end = declared > 1 ? Le32(data + 8) : size;
  if (end > size || end < begin) end = size;
  const size_t got = UnpackBits(data + begin, end - begin, bytes.get(), size_t(pixels));
  if (got >= size_t(pixels) && got > packed + 1) {
    for (int64_t i = 0; i < pixels; ++i) out.data[i] = bytes[size_t(i)] != 0;
    return true;
  }
  const int64_t bits = std::min<int64_t>(pixels, int64_t(got) * 8);
  for (int64_t i = 0; i < bits; ++i) out.data[i] = (bytes[size_t(i >> 3)] >> (i & 7)) & 1;
  std::memset(out.data + bits, 0, size_t(pixels - bits));
  out.incomplete = got < packed;
  return true;
}

}  // namespace

bool DecodeRleFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (spec.bitsAllocated == 1) {
    if (!CheckRleFrame(data, size, spec, out.why)) return false;
    return DecodeRleBits(data, size, spec, out);
  }
  if (spec.bitsAllocated % 8 != 0) {
    out.why =
        "RLE data with " + std::to_string(spec.bitsAllocated) + " bits allocated cannot be decoded";
    return false;
  }
  return DecodeRle(data, size, spec.samples, spec.bitsAllocated / 8, spec.pixels(), out.data,
                   &out.why, &out.incomplete);
}

bool CheckRleFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  const bool bits = spec.bitsAllocated == 1;
  if (bits && spec.samples != 1) {
    why = "1-bit RLE data of " + std::to_string(spec.samples) + " samples cannot be decoded";
    return false;
  }
  if (!bits && spec.bitsAllocated % 8 != 0) {
    why =
        "RLE data with " + std::to_string(spec.bitsAllocated) + " bits allocated cannot be decoded";
    return false;
  }
  const int64_t segments = bits ? 1 : int64_t(spec.samples) * (spec.bitsAllocated / 8);
  if (segments > kMaxSegments) {
    why = "RLE frame needs more than 15 segments";
    return false;
  }
  if (!data || size < kHeaderSize) {
    why = "RLE frame header is truncated";
    return false;
  }
  const uint32_t declared = Le32(data);
  if (declared < uint32_t(segments) || declared > kMaxSegments) {
    why = "RLE frame has " + std::to_string(declared) + " segments, the frame needs " +
          std::to_string(segments);
    return false;
  }
  for (int64_t s = 0; s < segments; ++s) {
    const uint32_t offset = Le32(data + 4 + 4 * s);
    if (offset < kHeaderSize || offset > size) {
      why = "RLE segment offset is invalid";
      return false;
    }
  }
  // Each segment byte gives at most 64 decoded bytes; a 1-bit segment holds
  // the frame's packed bits.
  const int64_t segmentBytes = bits ? (spec.pixels() + 7) / 8 : spec.pixels();
  if (int64_t(size - kHeaderSize) * 64 < segmentBytes * segments) {
    why = "the RLE frame (" + std::to_string(size) + " bytes) is too short for a " +
          std::to_string(spec.columns) + " x " + std::to_string(spec.rows) + " picture";
    return false;
  }
  return true;
}
