// Study loading of a 10,000-file tree (10 patients x 10 series x 100 images of
// 64 x 64, instance numbers in reverse file order), side by side with
// gdcmscanner extracting six tags from the same tree; the memory the filed
// tree costs; and the longest stall of the UI thread's event loop while a
// background load of the tree runs, alone and in the real main window (from
// the open command to the last thumbnail, browser rebuild and grid fill
// included).
//
//   build/bench/scan_bench          (offscreen unless QT_QPA_PLATFORM is set)
//
// The tree is written once under the build tree (bench-data/scan10k).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/Global.h"
#include "app/StudyLoader.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "viewer/ViewerGlobals.h"

namespace fs = std::filesystem;
using dicomwriter::DicomWriter;

namespace {

constexpr int kPatients = 10, kSeries = 10, kImages = 100;

std::string TreeDir() {
  return std::string(TAVROLEN_BINARY_DIR) + "/bench-data/scan10k";
}

std::vector<uint8_t> ImageFile(int p, int s, int i) {
  const std::string study = "1.2.826.0.1.3680043.10.1." + std::to_string(p);
  const std::string series = study + "." + std::to_string(s);
  const std::string sop = series + "." + std::to_string(i);
  DicomWriter w(true, true);
  w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", sop);
  w.Text(0x00080020, "DA", "20240314");
  w.Text(0x00080030, "TM", "143015");
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "BENCH^PATIENT" + std::to_string(p));
  w.Text(0x00100020, "LO", "ID" + std::to_string(1000 + p));
  w.Text(0x00180050, "DS", "1");
  w.Text(0x0020000D, "UI", study);
  w.Text(0x0020000E, "UI", series);
  w.Text(0x00200010, "SH", "1");
  w.Text(0x00200011, "IS", std::to_string(s + 1));
  w.Text(0x00200013, "IS", std::to_string(kImages - i));  // reverse file order
  w.Text(0x00200032, "DS", "-32\\-32\\" + std::to_string(-i));
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {64});
  w.US(0x00280011, {64});
  w.Text(0x00280030, "DS", "1\\1");
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "40");
  w.Text(0x00281051, "DS", "400");
  w.Text(0x00281052, "DS", "-1024");
  w.Text(0x00281053, "DS", "1");
  std::vector<uint16_t> px(64 * 64);
  for (size_t k = 0; k < px.size(); ++k) px[k] = static_cast<uint16_t>((k * 13 + i) & 0xFFF);
  w.OW(0x7FE00010, px);
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = "1.2.840.10008.5.1.4.1.1.2";
  options.sopInstanceUid = sop;
  return dicomwriter::BuildDicomFile(w, options);
}

const std::string& EnsureTree() {
  static const std::string dir = [] {
    const std::string d = TreeDir();
    const fs::path stamp = fs::path(d) / ".complete";
    if (!fs::exists(stamp)) {
      fs::remove_all(d);
      for (int p = 0; p < kPatients; ++p)
        for (int s = 0; s < kSeries; ++s) {
          char sub[32];
          std::snprintf(sub, sizeof sub, "P%02d/S%02d", p, s);
          fs::create_directories(fs::path(d) / sub);
          for (int i = 0; i < kImages; ++i) {
            char name[48];
            std::snprintf(name, sizeof name, "%s/IM%03d.dcm", sub, i);
            dicomwriter::WriteBytesToFile((fs::path(d) / name).string(), ImageFile(p, s, i));
          }
        }
      dicomwriter::WriteBytesToFile(stamp.string(), {});
    }
    return d;
  }();
  return dir;
}

void ClearTree() {
  std::lock_guard lock(gPatientsMutex);
  TGlobal::FreeMemory(gPatients);
  TStringArray().swap(gFileList);
  TStringArray().swap(gOpenedFiles);
  gReports.clear();
  gCancelLoading = false;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double RunGdcmScanner(const std::string& dir) {
  const std::string cmd = "gdcmscanner -r -d '" + dir +
                          "' -t 0010,0010 -t 0010,0020 -t 0020,000d -t 0020,000e "
                          "-t 0020,0013 -t 0008,0060 > /dev/null 2>&1";
  const auto t0 = std::chrono::steady_clock::now();
  const int status = std::system(cmd.c_str());
  const double s = Seconds(std::chrono::steady_clock::now() - t0);
  return status == 0 ? s : -1.0;
}

// Filing and sorting all 10,000 (the same code as tavrolen-dicom scan), then
// gdcmscanner on the same tree, in each iteration.
void BM_ScanVsGdcmScanner(benchmark::State& state) {
  const std::string& dir = EnsureTree();
  RunGdcmScanner(dir);  // warm the page cache for both
  double ours = 0, theirs = 0;
  int iterations = 0;
  for (auto _ : state) {
    ClearTree();
    const auto t0 = std::chrono::steady_clock::now();
    const TLoadResult r = LoadFolder(dir);
    const double s = Seconds(std::chrono::steady_clock::now() - t0);
    if (r.filesFiled != kPatients * kSeries * kImages) {
      state.SkipWithError("not every file was filed");
      return;
    }
    const double g = RunGdcmScanner(dir);
    if (g < 0) {
      state.SkipWithError("gdcmscanner failed");
      return;
    }
    state.SetIterationTime(s);
    ours += s;
    theirs += g;
    ++iterations;
  }
  state.counters["ours_ms"] = ours / iterations * 1000;
  state.counters["gdcmscanner_ms"] = theirs / iterations * 1000;
  state.counters["ratio"] = ours / theirs;  // goal: at most 0.5
}
BENCHMARK(BM_ScanVsGdcmScanner)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Bytes handed out by malloc: blocks in the arenas and blocks mapped on their
// own (large vectors, such as a series' images, may be either).
size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Heap bytes the filed tree of 10,000 images holds (headers included), with
// the loader's own lists released.
void BM_TreeMemory(benchmark::State& state) {
  const std::string& dir = EnsureTree();
  double mb = 0;
  for (auto _ : state) {
    ClearTree();
    malloc_trim(0);
    const size_t before = HeapInUse();
    LoadFolder(dir);
    {
      std::lock_guard lock(gPatientsMutex);
      TStringArray().swap(gFileList);
      TStringArray().swap(gOpenedFiles);
    }
    const size_t after = HeapInUse();
    mb = (static_cast<double>(after) - static_cast<double>(before)) / (1024.0 * 1024.0);
  }
  state.counters["tree_MB"] = mb;  // goal: at most 40
  state.counters["bytes_per_image"] = mb * 1024 * 1024 / (kPatients * kSeries * kImages);
  state.counters["sizeof_TImg"] = sizeof(TImg);
}
BENCHMARK(BM_TreeMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// Watches the event loop with a 1 ms timer: the longest gap between two
// ticks is the longest time the user interface could not react.
class TStallWatch {
 public:
  TStallWatch() {
    tick_.setInterval(1);
    QObject::connect(&tick_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    clock_.start();
    last_ = 0;
    longest_ = 0;
    tick_.start();
  }
  // The longest gap so far, the one still open included.
  double LongestMs() {
    Tick();
    return static_cast<double>(longest_) / 1e6;
  }
  void Stop() { tick_.stop(); }

 private:
  void Tick() {
    const qint64 now = clock_.nsecsElapsed();
    longest_ = std::max(longest_, now - last_);
    last_ = now;
  }
  QTimer tick_;
  QElapsedTimer clock_;
  qint64 last_ = 0, longest_ = 0;
};

// The longest stall of the UI thread while a background load of the tree
// runs and finishes (the loader alone, no window).
void BM_UiStallDuringLoad(benchmark::State& state) {
  const std::string& dir = EnsureTree();
  double worst = 0;
  for (auto _ : state) {
    ClearTree();
    TStudyLoad load;
    QEventLoop loop;
    QObject::connect(&load, &TStudyLoad::finished, &loop, &QEventLoop::quit);
    TStallWatch watch;
    watch.Start();
    load.StartFolder(QString::fromStdString(dir));
    loop.exec();
    worst = std::max(worst, watch.LongestMs());
  }
  state.counters["longest_gap_ms"] = worst;  // goal: at most 100
}
BENCHMARK(BM_UiStallDuringLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

// The main window as the user has it: the folder opened by its command, the
// load's progress, its finish (sort, browser rebuild, grid fill) and the
// browser's thumbnails, until the last thumbnail is in.
void BM_WindowStallDuringLoad(benchmark::State& state) {
  const std::string& dir = EnsureTree();
  ClearTree();
  TForm1 form;
  form.resize(1268, 721);
  form.show();
  QApplication::processEvents();
  double worst = 0, total = 0;
  int runs = 0;
  for (auto _ : state) {
    form.btnClearTreeClick();
    QApplication::processEvents();
    TStallWatch watch;
    QEventLoop loop;
    QElapsedTimer clock;
    bool loaded = false;
    auto doneWhenIdle = [&] {
      if (loaded && form.ThumbnailsTool->PendingThumbnails() == 0) loop.quit();
    };
    const auto c1 = QObject::connect(&form, &TForm1::loadsFinished, [&] {
      loaded = true;
      doneWhenIdle();
    });
    const auto c2 =
        QObject::connect(form.ThumbnailsTool, &TThumbnailsTool::ThumbnailsFinished, doneWhenIdle);
    watch.Start();
    clock.start();
    form.OpenPaths({QString::fromStdString(dir)});
    loop.exec();
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    const double gap = watch.LongestMs();
    watch.Stop();
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    int filed = 0;
    {
      std::lock_guard lock(gPatientsMutex);
      for (const TPatient& p : gPatients)
        for (const TStudy& st : p.studies)
          for (const TSeries& se : st.serieses) filed += static_cast<int>(se.images.size());
    }
    if (filed != kPatients * kSeries * kImages) {
      state.SkipWithError("not every file was filed");
      return;
    }
    state.SetIterationTime(ms / 1000);
    worst = std::max(worst, gap);
    total += ms;
    ++runs;
  }
  state.counters["longest_gap_ms"] = worst;  // goal: at most 100
  state.counters["open_to_thumbnails_ms"] = total / std::max(runs, 1);
}
BENCHMARK(BM_WindowStallDuringLoad)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InitApplication();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ClearTree();
  return 0;
}
