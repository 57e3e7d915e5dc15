// The one entry point every codec of the table offers: the compressed bytes of
// one frame in, the samples of that frame out, in the layout an uncompressed
// little-endian file would hold them once read into memory:
//
//   pixels row by row, top row first, left to right; the samples of a pixel
//   interleaved (R, G, B for colour, whatever planar configuration the file
//   declares); each sample in SampleBytes(bitsAllocated) bytes in machine byte
//   order (1 for up to 8 bits, 2 for up to 16, 4 for up to 32, 8 for 64);
//   1-bit data one byte per pixel, 0 or 1.
//
// The output block is zero-filled by the caller and holds exactly one frame of
// that layout. A codec writes only inside it and reads only inside its input.
// A stream whose own size, components or precision disagree with the header
// is decoded into what fits, or refused with a reason. Fixes that apply after
// any codec (colour models, palettes, deeper samples) happen once, after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// What the header says one frame holds.
struct FrameSpec {
  int64_t columns = 0;
  int64_t rows = 0;
  int samples = 1;        // samples per pixel
  int bitsAllocated = 8;  // per sample
  int bitsStored = 8;     // per sample, at most bitsAllocated
  bool isSigned = false;  // pixel representation 1
  // The photometric's colour model, which decides a JPEG stream's colour
  // transform as DCMTK decides it: a YBR model (FULL, FULL_422, PARTIAL)
  // converts YCbCr to RGB, any other model keeps the samples as coded,
  // whatever the stream's markers say.
  bool rgbPhotometric = false;  // not a YBR model
  bool ybrPhotometric = false;  // YBR_FULL, YBR_FULL_422, YBR_PARTIAL_*
  // Uncompressed data only: colour stored plane by plane, YBR_FULL_422 as
  // stored (Y1 Y2 Cb Cr for each pair of pixels, two bytes per pixel), and 12
  // bits allocated packed two samples to three bytes (ACR-NEMA).
  bool planar = false;
  bool ybr422 = false;
  bool packed12 = false;
  int threads = 1;  // threads a codec may use inside the frame

  int64_t pixels() const { return columns * rows; }
};

inline int SampleBytes(int bitsAllocated) {
  return bitsAllocated <= 8 ? 1 : bitsAllocated <= 16 ? 2 : bitsAllocated <= 32 ? 4 : 8;
}

// Writes the low bits of v as one sample of `width` bytes in machine order.
inline void StoreSample(uint8_t* dst, int width, uint64_t v) {
  switch (width) {
    case 1:
      *dst = uint8_t(v);
      break;
    case 2: {
      const auto w = uint16_t(v);
      std::memcpy(dst, &w, 2);
      break;
    }
    case 4: {
      const auto w = uint32_t(v);
      std::memcpy(dst, &w, 4);
      break;
    }
    default:
      std::memcpy(dst, &v, 8);
      break;
  }
}

// Bytes of one frame in the layout above.
inline int64_t NativeFrameBytes(const FrameSpec& s) {
  return s.pixels() * s.samples * SampleBytes(s.bitsAllocated);
}

struct CodecOutput {
  uint8_t* data = nullptr;  // NativeFrameBytes(spec) bytes, zero-filled
  size_t size = 0;
  bool rgb = false;  // colour samples are R, G, B: the codec undid the stream's colour transform
  bool incomplete = false;  // the stream ended before its last sample; the rest stays zero
  std::string why;          // the one-line reason of a failure
};

// Returns false with out.why when the frame cannot be decoded.
using FrameCodec = bool (*)(const uint8_t* data, size_t size, const FrameSpec& spec,
                            CodecOutput& out);

// Reads the stream's own header (frame header, SIZ, segment table) and checks
// it against the frame: size, components and depth as the codec takes them,
// and that the stream is long enough to honestly expand to the frame. Nothing
// the stream sizes is allocated; the caller makes the frame's buffers only
// after it passes. False with a one-line reason.
using FrameCheck = bool (*)(const uint8_t* data, size_t size, const FrameSpec& spec,
                            std::string& why);
