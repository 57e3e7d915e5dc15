// The CPU ray caster on a 512 x 512 x 300 CT (0.7 x 0.7 x 1 mm; air around
// a trunk of fat and soft tissue with ribs, spine, lungs and contrast-filled
// vessels, noise of a few HU everywhere), 512 x 512 pictures from the front:
//   volume rendering, bone preset                            goal <= 1.5 s
//   maximum intensity projection                             goal <= 0.5 s
// and, for reference, both from an oblique eye, the soft tissue preset, an
// interaction frame (half size, twice the step), and the raw parallel MIP
// against numpy's max over the same words. A smoke run uses a 64 x 64 x 40 volume.
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
#include "synthetic_ct.h"
#include "volume/Parallel.h"
#include "volume/Render3D.h"

namespace {

const int kSide = benchrun::Size(512, 64);
const int kSlices = benchrun::Size(300, 40);

const std::shared_ptr<TVolumeRenderer>& Renderer() {
  static const std::shared_ptr<TVolumeRenderer> r = [] {
    auto rr = std::make_shared<TVolumeRenderer>(synthct::MakeCt(kSide, kSlices));
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
             double goalMs, bool oblique = false) {
  TRenderSettings s;
  if (!TransferPreset(preset, s.mode, s.tf)) {
    state.SkipWithError("no such preset");
    return;
  }
  s.width = s.height = benchrun::Size(side, 64);
  s.stepFactor = stepFactor;
  s.camera = oblique ? OrbitCamera(30, 20) : StandardCamera(TStandardView::Anterior);
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

// From an oblique eye, whose rays cross the grid.
void BM_CpuMipOblique512(benchmark::State& state) {
  Picture(state, "mip", 512, 1, 0, true);
}
BENCHMARK(BM_CpuMipOblique512)
    ->Iterations(benchrun::Iterations(5))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_CpuVrBoneOblique512(benchmark::State& state) {
  Picture(state, "bone", 512, 1, 0, true);
}
BENCHMARK(BM_CpuVrBoneOblique512)
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
