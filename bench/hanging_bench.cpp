// Opening a CT study of four series beside its prior of four (40 slices of
// 512 x 512 each), from disk, in a 1920 x 1080 main window: from the open
// command to the grid filled and its first images shown. Laid out by the
// hanging protocol that fits, against the same open with no protocols (the
// grid's own fill), turn about on one window. Goal: the protocol's open
// within 1.2 x the plain one.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/Unit1.h"
#include "bench_run.h"
#include "dicom/StudyTree.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "support/study_writer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

namespace fs = std::filesystem;

// A window whose questions answer themselves.
class BenchForm : public TForm1 {
 protected:
  void ShowMessage(const QString&) override {}
  bool AskConfirmation(const QString&) override { return true; }
  void ShowLoadSummary(const QString&, const QString&) override {}
};

std::string WriteStudies() {
  const int slices = benchrun::Size(40, 4), size = benchrun::Size(512, 64);
  const std::string root =
      benchrun::DataDir() + "/hanging-" + std::to_string(slices) + "x" + std::to_string(size);
  if (fs::exists(root + "/complete")) return root;
  fs::remove_all(root);
  for (const auto& [date, first] : {std::pair{"20250601", 0.0}, std::pair{"20240601", -180.0}}) {
    studywriter::StudySpec study;
    study.date = date;
    study.description = "CT CHEST ABDOMEN";
    const char* names[] = {"AXIAL SOFT", "AXIAL LUNG", "CORONAL", "SAGITTAL"};
    const char* planes[] = {"axial", "axial", "coronal", "sagittal"};
    for (int s = 0; s < 4; ++s) {
      studywriter::SeriesSpec series;
      series.description = names[s];
      series.number = s + 1;
      series.images = slices;
      series.orientation = planes[s];
      series.firstPosition = first;
      series.spacing = 2.5;
      series.bodyPart = "CHEST";
      series.size = size;
      study.series.push_back(series);
    }
    studywriter::WriteStudy(root, study);
  }
  std::ofstream(root + "/complete") << "";
  return root;
}

void Forget(BenchForm& form) {
  form.btnClearTreeClick();
  FramePrefetcher::Shared().CancelAll();
  FramePrefetcher::Shared().WaitIdle();
  FrameCache::Shared().Clear();
  form.SetLayout(1, 1);
  QApplication::processEvents();
}

// One open, to the first images on screen; seconds, or -1 when the grid
// shows nothing.
double TimedOpen(BenchForm& form, const std::string& root) {
  QElapsedTimer t;
  t.start();
  form.OpenPaths({QString::fromStdString(root)});
  while (!form.IsIdle() || gLoadingInProgress)
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  QApplication::processEvents();  // the cells' queued repaints
  const double s = double(t.nsecsElapsed()) / 1e9;
  int shown = 0;
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* c : row) shown += c->HasImage;
  return shown > 0 ? s : -1;
}

void BM_OpenStudyWithPriorByProtocolVsNoProtocol(benchmark::State& state) {
  const std::string root = WriteStudies();
  // The built-in protocols alone, whatever the user running it keeps.
  const std::string config = benchrun::DataDir() + "/hanging-config";
  fs::create_directories(config);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  BenchForm form;
  form.resize(1920, 1080);
  form.show();
  QApplication::processEvents();
  const hanging::TProtocolSet protocols = form.Protocols;
  benchrun::TPairs pairs;
  int n = 0, cells = 0;
  std::string chosen;
  for (auto _ : state) {
    double with = 0, without = 0;
    const auto byProtocol = [&] {
      Forget(form);
      form.Protocols = protocols;
      with = TimedOpen(form, root);
      cells = form.CurrentRows * form.CurrentCols;
      if (form.HangingLayout.protocol) chosen = form.HangingLayout.protocol->name;
    };
    const auto plain = [&] {
      Forget(form);
      form.Protocols = {};
      without = TimedOpen(form, root);
    };
    // Turn about, so neither meets the file system's caches first.
    if (n++ % 2 == 0) {
      byProtocol();
      plain();
    } else {
      plain();
      byProtocol();
    }
    if (with < 0 || without < 0) {
      state.SkipWithError("an open showed no image");
      break;
    }
    if (chosen.empty()) {
      state.SkipWithError("no protocol laid the study out");
      break;
    }
    pairs.Add(with, without);
  }
  pairs.Report(state, "no protocol", 1.2);
  state.counters["protocol_cells"] = cells;
  form.Protocols = protocols;
  Forget(form);
}
BENCHMARK(BM_OpenStudyWithPriorByProtocolVsNoProtocol)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(8));

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
