// The viewer cell's figures on a 512 x 512 16-bit CT frame:
//   createBitmap                                      goal <= 1 ms median
//   render pass, 1000 x 800 cell, fitted, averaging    goal <= 8 ms
//   render pass, the same with the fast stretch        goal <= 3 ms
//   a cached frame shown again (restore, bitmap, render) goal <= 5 ms
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "viewer/AdvancedImage.h"

namespace {

constexpr int kSize = 512;

// A CT slice in stored units (intercept -1024): air around a body ellipse of
// soft tissue with a bony ring, all with noise.
std::vector<uint16_t> CtPixels() {
  std::vector<uint16_t> px(size_t(kSize) * kSize);
  uint32_t seed = 12345;
  auto noise = [&seed](int amplitude) {
    seed = seed * 1664525u + 1013904223u;
    return int((seed >> 16) % uint32_t(2 * amplitude + 1)) - amplitude;
  };
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double dx = (x - 256) / 200.0, dy = (y - 270) / 150.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const int v = r > 1.0 ? 24 + noise(20) : r > 0.9 ? 1700 + noise(300) : 1060 + noise(40);
      px[size_t(y) * kSize + x] = uint16_t(v);
    }
  }
  return px;
}

std::string CtFile() {
  namespace fs = std::filesystem;
  const fs::path dir = benchrun::DataDir();
  fs::create_directories(dir);
  const std::string path = (dir / "viewer_ct_512.dcm").string();
  dicomwriter::DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.3.4.5.6");
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "BENCH^CT");
  w.Text(0x00100020, "LO", "B1");
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  benchct::AddCtImageModule(w, kSize);
  w.OW(0x7FE00010, CtPixels());
  dicomwriter::DicomFileOptions o;
  dicomwriter::WriteBytesToFile(path, dicomwriter::BuildDicomFile(w, o));
  return path;
}

// A 1000 x 800 cell showing the frame fitted, with the frame cached in a tree.
struct Cell {
  std::string path = CtFile();
  TadvancedImage image;
  Cell() {
    {
      std::lock_guard lock(gPatientsMutex);
      gPatients.assign(1, TPatient{});
      gPatients[0].studies.resize(1);
      gPatients[0].studies[0].serieses.resize(1);
      gPatients[0].studies[0].serieses[0].images.resize(1);
      gPatients[0].studies[0].serieses[0].images[0].imagePath = path;
    }
    image.resize(1000, 800);
    image.ResizeImage();
    if (!image.LoadFile(path, 1)) std::abort();
  }
};

Cell& TheCell() {
  static Cell cell;
  return cell;
}

void BM_CreateBitmap(benchmark::State& state) {
  TadvancedImage& c = TheCell().image;
  for (auto _ : state) benchmark::DoNotOptimize(c.createBitmap());
  state.SetItemsProcessed(state.iterations() * kSize * kSize);
}

void BM_RenderAveraging(benchmark::State& state) {
  TadvancedImage& c = TheCell().image;
  c.FitImage();
  c.IsMouseDown = false;
  for (auto _ : state) c.RenderViewer();
  state.counters["zoom"] = c.zoomFactor;
}

void BM_RenderFast(benchmark::State& state) {
  TadvancedImage& c = TheCell().image;
  c.FitImage();
  c.IsMouseDown = true;  // a drag in progress
  for (auto _ : state) c.RenderViewer();
  c.IsMouseDown = false;
}

void BM_ShowCachedFrame(benchmark::State& state) {
  Cell& cell = TheCell();
  for (auto _ : state) {
    if (!cell.image.LoadFile(cell.path, 1)) state.SkipWithError("load failed");
  }
}

void Aggregates(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->Repetitions(benchrun::Iterations(7))
      ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_CreateBitmap)->Apply(Aggregates);
BENCHMARK(BM_RenderAveraging)->Apply(Aggregates);
BENCHMARK(BM_RenderFast)->Apply(Aggregates);
BENCHMARK(BM_ShowCachedFrame)->Apply(Aggregates);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
