// Derived quantities of a frame, shared by every decoder, the viewer, the
// thumbnails and the command-line tool. Sizes are 64-bit so that absurd header
// dimensions cannot overflow before they are checked against the file.
#pragma once

#include <cstdint>

#include "dicom/define_types.h"

struct FrameGeometry {
  int64_t columns = 0;
  int64_t rows = 0;
  int64_t pixelCount = 0;  // N = columns x rows
  int bitProduct = 0;      // P = bits allocated x samples per pixel
  int bytesPerPixel = 0;   // P / 8, rounded to nearest, ties to even
  int64_t frameBytes = 0;  // S = N x bytes per pixel
};

FrameGeometry ComputeFrameGeometry(const DICOMdata& h);

// P selects the buffer that holds a frame: 8 grey bytes, 16 words, 24 RGB.
inline bool IsDisplayableBitProduct(int p) {
  return p == 8 || p == 16 || p == 24;
}
