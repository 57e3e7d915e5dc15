// Display bitmap of a 512 x 512 16-bit CT frame: the min/max scan, the default
// window check, the window table, the per-pixel mapping and the 32-bit bitmap.
// Goal: at most 1 ms median per bitmap.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "bench_run.h"
#include "pixels/DisplayBitmap.h"

namespace {

constexpr int kSize = 512;

// A CT slice in stored units (slope 1, intercept -1024): air around a body
// ellipse of soft tissue with a bony ring, all with noise.
DecodedFrame MakeCtFrame() {
  DecodedFrame f;
  f.buff16.resize(size_t(kSize) * kSize);
  uint32_t seed = 12345;
  auto noise = [&seed](int amplitude) {
    seed = seed * 1664525u + 1013904223u;
    return int((seed >> 16) % uint32_t(2 * amplitude + 1)) - amplitude;
  };
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double dx = (x - 256) / 200.0, dy = (y - 270) / 150.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      int v;
      if (r > 1.0)
        v = 24 + noise(20);  // air
      else if (r > 0.9)
        v = 1700 + noise(300);  // bone
      else
        v = 1060 + noise(40);  // soft tissue
      f.buff16[size_t(y) * kSize + x] = int16_t(v);
    }
  }
  return f;
}

DICOMdata CtHeader() {
  DICOMdata h;
  h.XYZdim = {kSize, kSize, 1, 1};
  h.Allocbits_per_pixel = 16;
  h.SamplesPerPixel = 1;
  h.pixel_representation = 0;
  h.IntenScale = 1.0f;
  h.IntenIntercept = -1024.0f;
  h.WindowWidth = 400;
  h.WindowCenter = 40;
  return h;
}

void BM_CreateCellBitmap(benchmark::State& state) {
  const DecodedFrame f = MakeCtFrame();
  DICOMdata h = CtHeader();
  CellGreyState s;
  for (auto _ : state) {
    CellBitmap b = CreateCellBitmap(h, f, s);
    benchmark::DoNotOptimize(b.bmp.constBits());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_CreateCellBitmap)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(benchrun::Iterations(11))
    ->ReportAggregatesOnly(true);

// The same frame without a header window: the window spans the data, so the
// table covers the whole stored range of the frame.
void BM_CreateCellBitmapDefaultWindow(benchmark::State& state) {
  const DecodedFrame f = MakeCtFrame();
  DICOMdata h = CtHeader();
  CellGreyState s;
  for (auto _ : state) {
    h.WindowWidth = 0;
    CellBitmap b = CreateCellBitmap(h, f, s);
    benchmark::DoNotOptimize(b.bmp.constBits());
  }
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}
BENCHMARK(BM_CreateCellBitmapDefaultWindow)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(benchrun::Iterations(11))
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
