// One step through a segmented CT: the ten segments of a segmentation mapped
// onto the next 512 x 512 slice and composited into its display bitmap, as a
// cell does on each step. Goal: at most 16 ms per step (one frame at 60 Hz).
#include <benchmark/benchmark.h>

#include <QImage>
#include <cmath>
#include <cstdint>

#include "bench_run.h"
#include "derived/OverlayPlanes.h"
#include "viewer/DerivedLayer.h"

namespace {

constexpr int kSize = 512;
constexpr int kSegments = 10;

int Slices() {
  return benchrun::Smoke() ? 2 : 32;
}

// Segment s on slice k: a disc whose centre and radius drift from slice to
// slice, one frame per segment and slice, each naming its CT slice.
TSegmentation MakeSegmentation(bool referenced) {
  TSegmentation seg;
  seg.frameOfReferenceUid = "for";
  seg.rows = seg.columns = kSize;
  seg.hasOrientation = true;
  seg.orientation = {1, 0, 0, 0, 1, 0};
  seg.hasSpacing = true;
  seg.spacing = {0.7, 0.7};
  seg.sliceThickness = 2;
  for (int s = 1; s <= kSegments; ++s)
    seg.segments.push_back({s, "segment", false, SegmentPaletteColour(s)});
  const size_t frameBits = size_t(kSize) * kSize;
  seg.pixels.assign(frameBits * size_t(kSegments * Slices()) / 8, 0);
  size_t frame = 0;
  for (int k = 0; k < Slices(); ++k)
    for (int s = 0; s < kSegments; ++s, ++frame) {
      TSegmentFrame f;
      f.segment = s + 1;
      if (referenced) f.sourceSopUid = "ct." + std::to_string(k);
      f.hasPosition = true;
      // Placed by position: a grid a third of a pixel off the slice's, as
      // another tool's resampling leaves it, so every pixel is mapped.
      f.position = referenced ? std::array<double, 3>{0, 0, 2.0 * k}
                              : std::array<double, 3>{0.23, -0.23, 2.0 * k};
      seg.frames.push_back(f);
      const double cx = 100 + 35 * s + 2 * k, cy = 256 + 60 * std::sin(s + 0.1 * k);
      const double r = 30 + 3 * s;
      for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
          if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r) {
            const size_t bit = frame * frameBits + size_t(y) * kSize + size_t(x);
            seg.pixels[bit / 8] |= uint8_t(1u << (bit % 8));
          }
    }
  return seg;
}

TDisplayPlane Slice(int k) {
  TDisplayPlane p;
  p.hasGeometry = true;
  p.origin = {0, 0, 2.0 * k};
  p.row = {1, 0, 0};
  p.column = {0, 1, 0};
  p.columnSpacing = p.rowSpacing = 0.7;
  p.thickness = 2;
  p.rows = p.columns = kSize;
  p.frameOfReferenceUid = "for";
  p.sopInstanceUid = "ct." + std::to_string(k);
  return p;
}

void Step(benchmark::State& state, bool referenced) {
  const TSegmentation seg = MakeSegmentation(referenced);
  QImage grey(kSize, kSize, QImage::Format_RGB32);
  grey.fill(qRgb(90, 90, 90));
  int k = 0;
  for (auto _ : state) {
    QImage bmp = grey.copy();  // the freshly built bitmap of the new slice
    const TSegmentationOnPlane on = SegmentationOnPlane(seg, Slice(k));
    std::vector<TSegmentPaint> paints;
    for (const TSegmentCoverage& c : on.segments)
      paints.push_back({&c.coverage, seg.segments[c.segment].rgb, 0.4});
    CompositeSegments(bmp, kSize, kSize, OrientationState{}, paints);
    benchmark::DoNotOptimize(bmp.constBits());
    if (on.segments.size() != size_t(kSegments)) state.SkipWithError("segments missing");
    k = (k + 1) % Slices();
  }
}

// Frames found by the slice's SOP instance.
void BM_SegmentStepReferenced(benchmark::State& state) {
  Step(state, true);
}
BENCHMARK(BM_SegmentStepReferenced)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(benchrun::Iterations(5))
    ->ReportAggregatesOnly(true);

// Frames found by frame of reference and position, resampled through
// patient coordinates pixel by pixel.
void BM_SegmentStepByPosition(benchmark::State& state) {
  Step(state, false);
}
BENCHMARK(BM_SegmentStepByPosition)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(benchrun::Iterations(5))
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
