// JPEG 2000 frames through OpenJPEG 2.5: the frame's raw J2K code stream in
// memory (a JP2 file wrapper is recognised too), default decoder parameters.
//
// Output layout: component 0's samples, row-major as the library delivers
// them, for the first pixelCount pixels. Each output that is given receives
// one value per pixel:
//   out16 - the low 16 bits of the sample (a word in machine byte order);
//   out8  - the low byte of the sample;
//   out24 - the low byte of the sample three times (R = G = B).
// Precision and signedness are not consulted: the bit pattern is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Jpeg2000Output {
  uint16_t* out16 = nullptr;
  uint8_t* out8 = nullptr;
  uint8_t* out24 = nullptr;
};

// False, with a reason, when the stream does not decode or its component 0
// holds fewer than pixelCount samples; the outputs are then untouched.
// `threads` > 1 lets the library decode code blocks in parallel.
bool DecodeJpeg2000(const uint8_t* data, size_t size, int64_t pixelCount, const Jpeg2000Output& out,
                    int threads = 1, std::string* reason = nullptr);
