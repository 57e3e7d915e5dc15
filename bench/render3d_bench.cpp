// The CPU ray caster on a 512 x 512 x 300 CT (0.7 x 0.7 x 1 mm; air around
// a trunk of fat and soft tissue with ribs, spine, lungs and contrast-filled
// vessels, noise of a few HU everywhere), 512 x 512 pictures from the front:
//   volume rendering, bone preset                            goal <= 1.5 s
//   maximum intensity projection                             goal <= 0.5 s
// and, for reference, the soft tissue preset, an interaction frame (half
// size, twice the step), and the raw parallel MIP against numpy's max over
// the same words. A smoke run uses a 64 x 64 x 40 volume.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench_run.h"
#include "volume/Parallel.h"
#include "volume/Render3D.h"

namespace {

const int kSide = benchrun::Size(512, 64);
const int kSlices = benchrun::Size(300, 40);

// Hounsfield units at fractions (x, y) of the slice and z of the stack.
int Tissue(double x, double y, double z) {
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

std::shared_ptr<TVolume> MakeCt() {
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

const std::shared_ptr<TVolumeRenderer>& Renderer() {
  static const std::shared_ptr<TVolumeRenderer> r = [] {
    auto rr = std::make_shared<TVolumeRenderer>(MakeCt());
    // The block table is built on the first picture; not part of the figures.
    TRenderSettings s;
    s.width = s.height = 8;
    TRenderImage img;
    std::string reason;
    TransferPreset("bone", s.mode, s.tf);
    rr->Render(s, img, reason);
    return rr;
  }();
  return r;
}

void Picture(benchmark::State& state, const char* preset, int side, double stepFactor,
             double goalMs) {
  TRenderSettings s;
  if (!TransferPreset(preset, s.mode, s.tf)) {
    state.SkipWithError("no such preset");
    return;
  }
  s.width = s.height = benchrun::Size(side, 64);
  s.stepFactor = stepFactor;
  s.camera = StandardCamera(TStandardView::Anterior);
  const TVolumeRenderer& r = *Renderer();
  TRenderImage img;
  std::string reason;
  double total = 0;
  int n = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!r.Render(s, img, reason)) {
      state.SkipWithError(reason.c_str());
      return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(seconds);
    total += seconds;
    ++n;
  }
  state.counters["ms"] = n ? total / n * 1e3 : 0;
  if (goalMs > 0) state.counters["goal_ms"] = goalMs;
  state.counters["pixels"] = double(s.width) * s.height;
}

void BM_CpuVrBone512(benchmark::State& state) {
  Picture(state, "bone", 512, 1, 1500);
}
BENCHMARK(BM_CpuVrBone512)
    ->Iterations(benchrun::Iterations(5))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_CpuMip512(benchmark::State& state) {
  Picture(state, "mip", 512, 1, 500);
}
BENCHMARK(BM_CpuMip512)
    ->Iterations(benchrun::Iterations(5))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_CpuVrSoftTissue512(benchmark::State& state) {
  Picture(state, "soft tissue", 512, 1, 0);
}
BENCHMARK(BM_CpuVrSoftTissue512)
    ->Iterations(benchrun::Iterations(3))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What the cell draws while the mouse moves: half the size, twice the step.
void BM_CpuVrBoneInteraction(benchmark::State& state) {
  Picture(state, "bone", 256, 2, 0);
}
BENCHMARK(BM_CpuVrBoneInteraction)
    ->Iterations(benchrun::Iterations(10))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The raw parallel MIP from the front against numpy's max over the same
// words (read from a file first, outside the timing).
void BM_ParallelMipVsNumpy(benchmark::State& state) {
  const TVolume& v = Renderer()->Volume();
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(benchrun::DataDir()) / "render3d";
  fs::create_directories(dir);
  const std::string raw = (dir / "ct.raw").string(), script = (dir / "max.py").string();
  {
    std::ofstream f(raw, std::ios::binary);
    f.write(reinterpret_cast<const char*>(v.voxels.data()), std::streamsize(v.Bytes()));
    std::ofstream py(script);
    py << "import sys, time, numpy as np\n"
          "a = np.fromfile(sys.argv[1], dtype=np.uint16).reshape("
       << v.geometry.slices << ", " << v.geometry.rows << ", " << v.geometry.columns
       << ")\n"
          "t = time.perf_counter(); m = a.max(axis=1); t = time.perf_counter() - t\n"
          "print(t)\n";
  }
  benchrun::TPairs pairs;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    TPlaneImage out;
    std::string reason;
    if (!ProjectVolume(v, TProjectionView::Anterior, TProjection::Max, out, reason)) {
      state.SkipWithError(reason.c_str());
      return;
    }
    const double ours =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string cmd = "/usr/bin/python3 " + script + " " + raw;
    FILE* p = popen(cmd.c_str(), "r");
    double theirs = 0;
    if (!p || std::fscanf(p, "%lf", &theirs) != 1) theirs = 0;
    if (p) pclose(p);
    if (theirs <= 0) {
      state.SkipWithError("numpy did not run");
      return;
    }
    pairs.Add(ours, theirs);
    state.SetIterationTime(ours);
  }
  pairs.Report(state, "numpy", 0);
}
BENCHMARK(BM_ParallelMipVsNumpy)
    ->Iterations(benchrun::Iterations(3))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
