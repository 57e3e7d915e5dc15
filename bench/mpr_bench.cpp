// Multiplanar reformation on a 500-slice 512 x 512 CT series (shuffled file
// names, instance numbers reversed):
//   building the volume from frames in the shared cache      goal < 0.5 s
//   memory the build adds                                    goal <= volume + 10 %
//   a new plane in a cell (sample, bitmap, render)           goal < 30 ms
// and, for reference, the build decoding every file and the new plane with a
// 10 mm MIP slab. A smoke run uses 16 slices.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"
#include "pixels/FrameCache.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "volume/VolumeInput.h"

namespace {

constexpr int kSize = 512;
const int kSlices = benchrun::Size(500, 16);

std::vector<uint16_t> Slice(int k) {
  std::vector<uint16_t> px(size_t(kSize) * kSize);
  uint32_t seed = 777u + uint32_t(k);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const double dx = (x - 256) / 200.0, dy = (y - 270) / 150.0, dz = (k - 250) / 240.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const int base = r > 1.0 ? 24 : (dx * dx + dy * dy + dz * dz < 0.1 ? 1300 : 1060);
      px[size_t(y) * kSize + size_t(x)] = uint16_t(base + int((seed >> 16) % 41) - 20);
    }
  return px;
}

std::vector<std::string> SeriesFiles() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(benchrun::DataDir()) / "mpr-500";
  std::vector<std::string> paths;
  std::vector<int> order(kSlices);
  for (int k = 0; k < kSlices; ++k) order[size_t(k)] = k;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  const bool made = fs::exists(dir / "done");
  fs::create_directories(dir);
  for (int n = 0; n < kSlices; ++n) {
    const std::string path = (dir / ("ct" + std::to_string(n) + ".dcm")).string();
    paths.push_back(path);
    if (made) continue;
    const int k = order[size_t(n)];
    dicomwriter::DicomWriter w;
    w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
    w.Text(0x00080018, "UI", "2.25.500." + std::to_string(k));
    w.Text(0x00080060, "CS", "CT");
    w.Text(0x00100010, "PN", "BENCH^MPR");
    w.Text(0x0020000D, "UI", "2.25.500");
    w.Text(0x0020000E, "UI", "2.25.500.1");
    w.Text(0x00200013, "IS", std::to_string(kSlices - k));
    w.Text(0x00200032, "DS", "-179.2\\-179.2\\" + std::to_string(-300 + 0.625 * k));
    w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
    benchct::AddCtImageModule(w, kSize);
    w.OW(0x7FE00010, Slice(k));
    dicomwriter::DicomFileOptions o;
    dicomwriter::WriteBytesToFile(path, dicomwriter::BuildDicomFile(w, o));
  }
  if (!made) std::ofstream(dir / "done") << "1";
  return paths;
}

// Every frame in the shared cache, as after stepping through the series.
void Cache(const std::vector<std::string>& paths) {
  FrameCache::Shared().SetBudget(int64_t(1) << 30);
  for (const std::string& p : paths) {
    FrameSourcePtr src = ReadFrameSource(p);
    if (src) FrameCache::Shared().Acquire(*src, 1);
  }
}

double ResidentMb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::vector<std::string>& Files() {
  static std::vector<std::string> files = [] {
    auto f = SeriesFiles();
    Cache(f);
    return f;
  }();
  return files;
}

std::shared_ptr<TVolume> Build(bool fromCache, double* headerSeconds = nullptr) {
  QElapsedTimer t;
  t.start();
  std::vector<TVolumeFrame> frames;
  std::string reason;
  if (!FramesFromFiles(Files(), frames, reason)) return nullptr;
  if (headerSeconds) *headerSeconds = double(t.nsecsElapsed()) / 1e9;
  std::shared_ptr<TVolume> v;
  if (fromCache) {
    const uint64_t decodes = FrameCache::Shared().GetStats().decodes;
    TCachedFrameSource source;
    v = BuildVolume(std::move(frames), source, reason);
    if (FrameCache::Shared().GetStats().decodes != decodes) return nullptr;
  } else {
    TDecodingFrameSource source;
    v = BuildVolume(std::move(frames), source, reason);
  }
  return v;
}

void BM_BuildFromCachedFrames(benchmark::State& state) {
  Files();
  double headers = 0, growth = 0, bytes = 0;
  for (auto _ : state) {
    const double before = ResidentMb();
    QElapsedTimer t;
    t.start();
    std::shared_ptr<TVolume> v = Build(true, &headers);
    state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
    if (!v || v->geometry.slices != kSlices) {
      state.SkipWithError("the volume did not build from the cache");
      return;
    }
    growth = ResidentMb() - before;
    bytes = double(v->Bytes()) / (1024.0 * 1024.0);
  }
  state.counters["headers_s"] = headers;
  state.counters["volume_MB"] = bytes;
  state.counters["rss_growth_MB"] = growth;
  state.counters["growth_per_volume"] = growth / bytes;
}
BENCHMARK(BM_BuildFromCachedFrames)
    ->Iterations(benchrun::Iterations(3))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_BuildDecodingEveryFile(benchmark::State& state) {
  Files();
  for (auto _ : state) {
    QElapsedTimer t;
    t.start();
    std::shared_ptr<TVolume> v = Build(false);
    state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
    if (!v) state.SkipWithError("the volume did not build");
  }
}
BENCHMARK(BM_BuildDecodingEveryFile)
    ->Iterations(benchrun::Iterations(2))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Steps of the wheel in each of the three cells of a view, as the user makes
// them; each shows a new plane.
void NewPlanes(benchmark::State& state, double slab) {
  std::shared_ptr<TVolume> v = Build(true);
  if (!v) {
    state.SkipWithError("no volume");
    return;
  }
  auto link = std::make_shared<TMprLink>(v);
  std::array<std::unique_ptr<TViewer>, 3> cells;
  for (int k = 0; k < 3; ++k) {
    cells[size_t(k)] = std::make_unique<TViewer>();
    cells[size_t(k)]->resize(900, 900);
    cells[size_t(k)]->show();
    QApplication::processEvents();
    cells[size_t(k)]->AdvancedImage()->ShowMprPlane(link, TPlaneKind(k));
    cells[size_t(k)]->AdvancedImage()->SetMprSlab(slab, TProjection::Max);
  }
  std::vector<double> times[3];
  int n = 0, direction = 1;
  QElapsedTimer t;
  for (auto _ : state) {
    const int k = n % 3;
    if (++n % 60 == 0) direction = -direction;
    TadvancedImage* cell = cells[size_t(k)]->AdvancedImage();
    t.start();
    cell->MprStep(direction);
    QApplication::processEvents();  // the queued repaints
    times[k].push_back(double(t.nsecsElapsed()) / 1e6);
  }
  const char* names[3] = {"axial", "coronal", "sagittal"};
  for (int k = 0; k < 3; ++k) {
    if (times[k].empty()) continue;  // fewer steps than cells (a smoke run)
    std::sort(times[k].begin(), times[k].end());
    state.counters[std::string(names[k]) + "_median_ms"] = times[k][times[k].size() / 2];
    state.counters[std::string(names[k]) + "_max_ms"] = times[k].back();
  }
}

void BM_NewPlaneInACell(benchmark::State& state) {
  NewPlanes(state, 0);
}
BENCHMARK(BM_NewPlaneInACell)->Iterations(benchrun::Iterations(180))->Unit(benchmark::kMillisecond);

void BM_NewPlaneWithA10mmMip(benchmark::State& state) {
  NewPlanes(state, 10);
}
BENCHMARK(BM_NewPlaneWithA10mmMip)
    ->Iterations(benchrun::Iterations(90))
    ->Unit(benchmark::kMillisecond);

// Sampling alone, on one thread and on two: axial, coronal, sagittal.
void BM_SamplePlane(benchmark::State& state) {
  std::shared_ptr<TVolume> v = Build(true);
  if (!v) {
    state.SkipWithError("no volume");
    return;
  }
  const TMprPlane p = MprPlane(*v, TPlaneKind(state.range(0)), MprCentre(*v));
  std::vector<int16_t> out;
  for (auto _ : state) {
    SamplePlane(*v, p.spec, out, int(state.range(1)));
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["columns"] = p.spec.columns;
  state.counters["rows"] = p.spec.rows;
}
BENCHMARK(BM_SamplePlane)
    ->ArgNames({"plane", "threads"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
