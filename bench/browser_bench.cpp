// The thumbnail browser on a tree of 100 series of 512 x 512 16-bit CT (3 in a
// smoke run):
//   all panels shown (built, laid out, painted)     goal <= 300 ms
//   all thumbnails in                               goal <= 2 s
//   longest stretch without the event loop running  goal <= 100 ms
// The event loop is watched by a 1 ms timer: the longest gap between its
// ticks (the first one counted from the start of the rebuild) is the longest
// time the user interface could not react.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ThumbnailsToolUnit.h"
#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"

namespace {

constexpr int kSize = 512;
const int kSeries = benchrun::Size(100, 3);

std::vector<uint16_t> CtPixels(int shift) {
  std::vector<uint16_t> px(size_t(kSize) * kSize);
  uint32_t seed = 12345u + uint32_t(shift);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const double dx = (x - 256) / 200.0, dy = (y - 270 + shift) / 150.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const int base = r > 1.0 ? 24 : r > 0.9 ? 1700 : 1060;
      px[size_t(y) * kSize + size_t(x)] = uint16_t(base + int(seed >> 28));
    }
  return px;
}

std::string WriteCt(const std::filesystem::path& dir, int i) {
  const std::string path = (dir / ("series_" + std::to_string(i) + ".dcm")).string();
  if (std::filesystem::exists(path)) return path;
  dicomwriter::DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.826.0.1.3." + std::to_string(i));
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "BENCH^BROWSER");
  w.Text(0x0020000D, "UI", "1.2.826.0.1.3");
  w.Text(0x0020000E, "UI", "1.2.826.0.1.3.0." + std::to_string(i));
  benchct::AddCtImageModule(w, kSize);
  w.OW(0x7FE00010, CtPixels(i % 40));
  dicomwriter::DicomFileOptions o;
  o.sopInstanceUid = "1.2.826.0.1.3." + std::to_string(i);
  dicomwriter::WriteBytesToFile(path, dicomwriter::BuildDicomFile(w, o));
  return path;
}

// One patient, one study, kSeries series of one image each, filed as a
// folder load files them (header in the cache, path set).
void BuildTree() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(benchrun::DataDir()) / "browser";
  fs::create_directories(dir);
  TPatient p;
  p.patientName = "BENCH^BROWSER";
  TStudy st;
  st.studyDate = "2024-01-31";
  st.description = "BROWSER";
  for (int i = 0; i < kSeries; ++i) {
    TSeries se;
    se.modality = "CT";
    se.seriesNumber = i + 1;
    TImg im;
    im.imagePath = WriteCt(dir, i);
    bool hdrOK = false, imgOK = false;
    ReadDicomHeader(im.imagePath, true, im.Cache.DICOM, hdrOK, imgOK);
    im.Cache.DICOM.referenceFile = im.imagePath;
    se.images.push_back(std::move(im));
    st.serieses.push_back(std::move(se));
  }
  p.studies.push_back(std::move(st));
  std::lock_guard lock(gPatientsMutex);
  gPatients = {std::move(p)};
}

void BM_BrowserOf100Series(benchmark::State& state) {
  BuildTree();
  double panelsSum = 0, thumbsSum = 0, worstGap = 0, worstPanels = 0, worstThumbs = 0;
  int runs = 0;
  for (auto _ : state) {
    TThumbnailsTool tool;
    tool.resize(220, 900);
    tool.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    QEventLoop loop;
    qint64 lastTick = 0, maxGap = 0;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      const qint64 now = clock.nsecsElapsed();
      maxGap = std::max(maxGap, now - lastTick);
      lastTick = now;
    });
    double thumbsMs = -1;
    QObject::connect(&tool, &TThumbnailsTool::ThumbnailsFinished, [&] {
      thumbsMs = clock.nsecsElapsed() / 1e6;
      loop.quit();
    });

    clock.start();
    watch.start();
    tool.Display(gPatients);
    // Shown: laid out and painted once.
    QApplication::processEvents();
    tool.viewport()->repaint();
    const double panelsMs = clock.nsecsElapsed() / 1e6;
    if (tool.PendingThumbnails() > 0) loop.exec();
    watch.stop();
    if (thumbsMs < 0) thumbsMs = clock.nsecsElapsed() / 1e6;

    const size_t panels = tool.Panels().size();
    if (panels != size_t(kSeries) + 2) state.SkipWithError("not every panel was built");
    for (TSeriesPanel* s : tool.SeriesPanels())
      if (s->ThumbnailImage().size() != QSize(100, 100)) {
        state.SkipWithError("a thumbnail is missing");
        break;
      }
    state.SetIterationTime(thumbsMs / 1000);
    panelsSum += panelsMs;
    thumbsSum += thumbsMs;
    worstPanels = std::max(worstPanels, panelsMs);
    worstThumbs = std::max(worstThumbs, thumbsMs);
    worstGap = std::max(worstGap, maxGap / 1e6);
    ++runs;
  }
  state.counters["panels_ms"] = panelsSum / std::max(runs, 1);
  state.counters["panels_worst_ms"] = worstPanels;
  state.counters["thumbnails_ms"] = thumbsSum / std::max(runs, 1);
  state.counters["thumbnails_worst_ms"] = worstThumbs;
  state.counters["ui_gap_worst_ms"] = worstGap;
}
BENCHMARK(BM_BrowserOf100Series)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(benchrun::Iterations(5));

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
