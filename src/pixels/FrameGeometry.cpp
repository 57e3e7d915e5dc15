#include "pixels/FrameGeometry.h"

#include <algorithm>

FrameGeometry ComputeFrameGeometry(const DICOMdata& h) {
  FrameGeometry g;
  g.columns = std::max<int64_t>(0, h.XYZdim[0]);
  g.rows = std::max<int64_t>(0, h.XYZdim[1]);
  g.pixelCount = g.columns * g.rows;  // both below 2^31: no overflow in 64 bits
  g.bitProduct = h.Allocbits_per_pixel * h.SamplesPerPixel;
  // P / 8 rounded to nearest with ties to even: 12 -> 2 (1.5 -> 2), 4 -> 0 (0.5 -> 0).
  const int q = g.bitProduct / 8, r = g.bitProduct % 8;
  g.bytesPerPixel = (r > 4 || (r == 4 && (q % 2) == 1)) ? q + 1 : q;
  if (g.bitProduct < 0) g.bytesPerPixel = 0;
  g.frameBytes = g.pixelCount * g.bytesPerPixel;
  return g;
}
