// The OpenGL ray caster's frame rate on a 512 x 512 x 300 CT, a turn of the
// camera between frames as a drag makes it:
//   volume rendering at interaction resolution (256 x 256, step x 2)   goal >= 5 fps
//     under Mesa's software OpenGL
//   volume rendering and MIP at full resolution (512 x 512, step x 1)  goal >= 30 fps
//     on a GPU
// Each frame is waited for (glFinish) but not read back, as the canvas
// shows it. The program needs a display: without one (or under the
// offscreen platform, as scripts/bench runs it) it runs itself again under
// xvfb-run, whose X server offers Mesa's llvmpipe. A smoke run uses a
// 64 x 64 x 40 volume.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_run.h"
#include "synthetic_ct.h"
#include "viewer/GlRayCaster.h"
#include "volume/Render3D.h"

namespace {

const int kSide = benchrun::Size(512, 64);
const int kSlices = benchrun::Size(300, 40);

// The CPU benchmark's CT, so the two ray casters' figures compare.
std::shared_ptr<const TVolume> Ct() {
  static const std::shared_ptr<const TVolume> made = synthct::MakeCt(kSide, kSlices);
  return made;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One context for all frames; freed in main while the application lives.
std::unique_ptr<TGlOffscreenRenderer> gRenderer;
std::string gInitReason;

TGlOffscreenRenderer& Renderer(std::string& reason) {
  if (!gRenderer) {
    gRenderer = std::make_unique<TGlOffscreenRenderer>();
    gRenderer->Init(gInitReason);
  }
  reason = gInitReason;
  return *gRenderer;
}

void Frames(benchmark::State& state, const char* preset, int size, double stepFactor,
            double goalFps) {
  std::string reason;
  TGlOffscreenRenderer& gl = Renderer(reason);
  if (!reason.empty()) {
    state.SkipWithError(("no OpenGL: " + reason).c_str());
    return;
  }
  TRenderSettings s;
  TransferPreset(preset, s.mode, s.tf);
  s.width = s.height = size;
  s.stepFactor = stepFactor;
  double azimuth = 20;
  s.camera = OrbitCamera(azimuth, 10);
  // The upload and the shader's first run are not part of a frame.
  if (!gl.RenderOnly(Ct(), s, reason)) {
    state.SkipWithError(reason.c_str());
    return;
  }
  std::vector<double> ms;
  const double cpuStart = CpuSeconds();
  for (auto _ : state) {
    azimuth += 3;
    s.camera = OrbitCamera(azimuth, 10);
    QElapsedTimer t;
    t.start();
    if (!gl.RenderOnly(Ct(), s, reason)) {
      state.SkipWithError(reason.c_str());
      return;
    }
    ms.push_back(double(t.nsecsElapsed()) / 1e6);
  }
  // The processor time of a frame, the software renderer's threads
  // included: on a busy machine a steadier figure than the wall clock.
  const double cpuMs = ms.empty() ? 0 : (CpuSeconds() - cpuStart) * 1e3 / double(ms.size());
  std::sort(ms.begin(), ms.end());
  const double median = ms.empty() ? 0 : ms[ms.size() / 2];
  state.SetLabel(gl.Backend().toStdString());
  state.counters["median_ms"] = median;
  state.counters["cpu_ms"] = cpuMs;
  state.counters["fps"] = median > 0 ? 1000 / median : 0;
  state.counters["goal_fps"] = goalFps;
}

void BM_VrInteractive(benchmark::State& state) {
  Frames(state, "bone", benchrun::Size(256, 64), 2, 5);
}
BENCHMARK(BM_VrInteractive)->Iterations(benchrun::Iterations(20))->Unit(benchmark::kMillisecond);

void BM_SoftTissueInteractive(benchmark::State& state) {
  Frames(state, "soft tissue", benchrun::Size(256, 64), 2, 5);
}
BENCHMARK(BM_SoftTissueInteractive)
    ->Iterations(benchrun::Iterations(20))
    ->Unit(benchmark::kMillisecond);

void BM_VrFull(benchmark::State& state) {
  Frames(state, "bone", benchrun::Size(512, 64), 1, 30);
}
BENCHMARK(BM_VrFull)->Iterations(benchrun::Iterations(10))->Unit(benchmark::kMillisecond);

void BM_MipFull(benchmark::State& state) {
  Frames(state, "mip", benchrun::Size(512, 64), 1, 30);
}
BENCHMARK(BM_MipFull)->Iterations(benchrun::Iterations(10))->Unit(benchmark::kMillisecond);

bool Listing(int argc, char** argv) {
  for (int n = 1; n < argc; ++n)
    if (std::strncmp(argv[n], "--benchmark_list_tests", 22) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The GPU path needs an X server; the offscreen platform has no OpenGL
  // widgets and, without a display, no OpenGL at all.
  const char* display = std::getenv("DISPLAY");
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const bool bare = !display || !*display || (platform && std::strcmp(platform, "offscreen") == 0);
  if (bare && !Listing(argc, argv) && !std::getenv("TAVROLEN_GL_BENCH_UNDER_XVFB")) {
    setenv("TAVROLEN_GL_BENCH_UNDER_XVFB", "1", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                               const_cast<char*>("-s"),
                               const_cast<char*>("-screen 0 1280x1024x24")};
    for (int n = 0; n < argc; ++n) args.push_back(argv[n]);
    args.push_back(nullptr);
    execvp("xvfb-run", args.data());
    std::perror("render3d_gl_bench: cannot run xvfb-run");
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gRenderer.reset();
  return 0;
}
