// A window drag in the all-viewers mode over a 3 x 3 grid of selected cells,
// each showing a 512 x 512 16-bit CT slice, in a 1920 x 1080 main window. One
// iteration is one handled drag step (the mouse moved past the 10-pixel
// threshold): the step's window change on all nine cells through the nested
// parallel loop, then the repaint of the grid. Goal: every step within 16 ms,
// so the drag follows the mouse at 60 Hz.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "app/Unit1.h"
#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

namespace {

constexpr int kSize = 512;

std::string WriteCtSlice(const std::string& dir, int index) {
  using dicomwriter::DicomWriter;
  std::vector<uint16_t> px(size_t(kSize) * kSize);
  uint32_t seed = 12345u + uint32_t(index);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = int((seed >> 16) % 41) - 20;
      const double dx = (x - 256) / 200.0, dy = (y - 270) / 150.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const int v = r > 1.0 ? 24 : r > 0.9 ? 1700 : 1060;
      px[size_t(y) * kSize + x] = uint16_t(std::max(0, v + noise));
    }
  DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "2.25.9." + std::to_string(index));
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "BENCH^GRID");
  w.Text(0x0020000D, "UI", "2.25.9");
  w.Text(0x0020000E, "UI", "2.25.9.1");
  w.Text(0x00200013, "IS", std::to_string(index + 1));
  benchct::AddCtImageModule(w, kSize);
  w.OW(0x7FE00010, px);
  const std::string path = dir + "/ct" + std::to_string(index) + ".dcm";
  dicomwriter::DicomFileOptions o;
  o.sopInstanceUid = "2.25.9." + std::to_string(index);
  dicomwriter::WriteBytesToFile(path, dicomwriter::BuildDicomFile(w, o));
  return path;
}

void FillNineSlices() {
  const std::string dir = benchrun::DataDir() + "/grid";
  std::filesystem::create_directories(dir);
  TSeries series;
  series.modality = "CT";
  series.instanceUid = "2.25.9.1";
  for (int i = 0; i < 9; ++i) {
    TImg img;
    img.instanceNumber = i + 1;
    img.imagePath = WriteCtSlice(dir, i);
    series.images.push_back(img);
  }
  TStudy study;
  study.instanceUid = "2.25.9";
  study.serieses.push_back(series);
  TPatient patient;
  patient.patientName = "BENCH GRID";
  patient.studies.push_back(study);
  std::lock_guard lock(gPatientsMutex);
  gPatients = {patient};
}

void BM_MultiModeWindowDragNineCells(benchmark::State& state) {
  FillNineSlices();
  TForm1 form;
  form.resize(1920, 1080);
  form.show();
  QApplication::processEvents();
  form.SetLayout(3, 3);
  QApplication::processEvents();
  int withImage = 0;
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* c : row) withImage += c->HasImage && c->Selected();
  if (withImage != 9) {
    state.SkipWithError("the grid did not fill");
    return;
  }
  TViewer* cell = form.Viewers[1][1];
  const QPoint start(200, 150);
  form.allViewersPanelMouseDown(cell, Qt::RightButton, start);

  std::vector<double> steps;
  int dx = 11;
  QPoint at = start + cell->pos();
  QElapsedTimer t;
  for (auto _ : state) {
    // Back and forth, so the window stays in a realistic range.
    at += QPoint(dx, dx / 2);
    dx = -dx;
    t.start();
    form.allViewersPanelMouseMove(at);
    QApplication::processEvents();  // the queued repaints of the nine cells
    steps.push_back(double(t.nsecsElapsed()) / 1e6);
  }
  form.allViewersPanelMouseUp(Qt::RightButton);

  std::sort(steps.begin(), steps.end());
  state.counters["median_ms"] = steps[steps.size() / 2];
  state.counters["p95_ms"] = steps[std::min(steps.size() - 1, steps.size() * 95 / 100)];
  state.counters["max_ms"] = steps.back();
  state.counters["cell_w"] = cell->AdvancedImage()->width();
  state.counters["cell_h"] = cell->AdvancedImage()->height();
  std::lock_guard lock(gPatientsMutex);
  gPatients.clear();
}
BENCHMARK(BM_MultiModeWindowDragNineCells)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(300));

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
