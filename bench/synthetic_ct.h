// The synthetic CT both 3D benchmarks draw: air around a trunk of fat and
// soft tissue with ribs, spine, lungs and contrast-filled vessels, noise of
// a few HU everywhere; stored as HU + 1024 in 12 bits, 0.7 x 0.7 mm pixels
// (for 512 columns) and 300 mm of stack.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "volume/Parallel.h"
#include "volume/Volume.h"

namespace synthct {

// Hounsfield units at fractions (x, y) of the slice and z of the stack.
inline int Tissue(double x, double y, double z) {
  const double bx = (x - 0.5) / 0.39, by = (y - 0.53) / 0.29;  // the trunk
  const double r = std::sqrt(bx * bx + by * by);
  if (r > 1) return -1000;
  // Aorta and a vessel winding round it, with contrast.
  const double ax = (x - 0.53) / 0.025, ay = (y - 0.62) / 0.025;
  if (ax * ax + ay * ay < 1) return 320;
  const double vx = x - (0.45 + 0.05 * std::sin(z * 12)), vy = y - (0.5 + 0.04 * std::cos(z * 9));
  if (vx * vx + vy * vy < 0.008 * 0.008) return 280;
  // Spine: a cortical shell round cancellous bone.
  const double sx = (x - 0.5) / 0.045, sy = (y - 0.72) / 0.045, s = sx * sx + sy * sy;
  if (s < 1) return s > 0.6 ? 1100 : 250;
  // Ribs: an elliptic shell broken into bands along the stack.
  if (r > 0.8 && r < 0.86 && std::fmod(z * 24, 1.0) < 0.45) return 900;
  // Lungs in the upper half.
  if (z > 0.5 && r < 0.78) {
    const double lx = (std::abs(x - 0.5) - 0.16) / 0.12, ly = (y - 0.5) / 0.2;
    if (lx * lx + ly * ly < 1) return -850;
  }
  return r > 0.93 ? -100 : 40;  // fat under the skin, soft tissue inside
}

inline std::shared_ptr<TVolume> MakeCt(int kSide, int kSlices) {
  auto v = std::make_shared<TVolume>();
  TVolumeGeometry& g = v->geometry;
  g.columns = g.rows = kSide;
  g.slices = kSlices;
  g.rowDir = {1, 0, 0}, g.colDir = {0, 1, 0}, g.normal = {0, 0, 1};
  g.columnSpacing = g.rowSpacing = 0.7 * 512 / kSide;
  g.sliceSpacing = 300.0 / kSlices;
  for (int k = 0; k < kSlices; ++k) {
    g.origin.push_back({-179, -179, -300 + g.sliceSpacing * k});
    g.depth.push_back(g.sliceSpacing * k);
  }
  v->isSigned = false;
  v->bitsStored = 12;
  v->header.IntenScale = 1;
  v->header.IntenIntercept = -1024;
  v->voxels.resize(v->SliceSize() * size_t(kSlices));
  ParallelFor(size_t(kSlices), [&](size_t k) {
    uint32_t seed = 99u + uint32_t(k) * 7919u;
    int16_t* slice = v->Slice(int(k));
    for (int j = 0; j < kSide; ++j)
      for (int i = 0; i < kSide; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const int noise = int((seed >> 16) % 21) - 10;
        const int hu = Tissue((i + 0.5) / kSide, (j + 0.5) / kSide, (k + 0.5) / kSlices);
        slice[size_t(j) * size_t(kSide) + size_t(i)] =
            int16_t(uint16_t(std::clamp(hu + noise + 1024, 0, 4095)));
      }
  });
  v->minValue = 4095, v->maxValue = 0;
  for (int16_t w : v->voxels) {
    v->minValue = std::min(v->minValue, int(uint16_t(w)));
    v->maxValue = std::max(v->maxValue, int(uint16_t(w)));
  }
  return v;
}

}  // namespace synthct
