// Study loading of a 10,000-file tree (10 patients x 10 series x 100 images of
// 64 x 64, instance numbers in reverse file order), side by side with
// gdcmscanner extracting six tags from the same tree; the memory the filed
// tree costs; and the longest stall of the UI thread's event loop while a
// background load of the tree runs, alone and in the real main window (from
// the open command to the last thumbnail, browser rebuild and grid fill
// included).
//
// The same for 100,000 small files (10 patients x 100 series x 100 images of
// 32 x 32, one file in twenty damaged), with the resident memory after the
// load and how soon Cancel ends a load that is half way.
//
//   build/bench/scan_bench          (offscreen unless QT_QPA_PLATFORM is set)
//   build/bench/scan_bench --benchmark_filter=100k
//
// The trees are written once under the build tree (bench-data/scan10k,
// bench-data/scan100k); a smoke run uses trees of a few dozen files.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "app/StudyLoader.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "bench_run.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "study/Global.h"
#include "viewer/ViewerGlobals.h"

namespace fs = std::filesystem;
using dicomwriter::DicomWriter;

namespace {

struct TreeSpec {
  const char* name;
  int patients, series, images, side;
  int damagedEvery;  // 0: none; n: every n-th file is cut short or noise
  int Files() const { return patients * series * images; }
  int Good() const { return damagedEvery ? Files() - Files() / damagedEvery : Files(); }
};
using benchrun::Iterations;
using benchrun::Size;
const TreeSpec k10k = Size(TreeSpec{"scan10k", 10, 10, 100, 64, 0},  //
                           TreeSpec{"scan10k", 1, 2, 10, 64, 0});
const TreeSpec k100k =
    Size(TreeSpec{"scan100k-v2", 10, 100, 100, 32, 20}, TreeSpec{"scan100k-v2", 1, 2, 20, 32, 20});
// A folder of many short series (an export of a patient's whole history, or
// files each written as its own series): the browser holds a panel per series.
const TreeSpec kManySeries = Size(TreeSpec{"scan-5000-series", 1, 5000, 2, 32, 0},
                                  TreeSpec{"scan-5000-series", 1, 5, 2, 32, 0});

std::vector<uint8_t> ImageFile(int p, int s, int i, int side, int images) {
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
  w.Text(0x00200013, "IS", std::to_string(images - i));  // reverse file order
  w.Text(0x00200032, "DS", "-32\\-32\\" + std::to_string(-i));
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {uint16_t(side)});
  w.US(0x00280011, {uint16_t(side)});
  w.Text(0x00280030, "DS", "1\\1");
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "40");
  w.Text(0x00281051, "DS", "400");
  w.Text(0x00281052, "DS", "-1024");
  w.Text(0x00281053, "DS", "1");
  std::vector<uint16_t> px(size_t(side) * side);
  for (size_t k = 0; k < px.size(); ++k) px[k] = static_cast<uint16_t>((k * 13 + i) & 0xFFF);
  w.OW(0x7FE00010, px);
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = "1.2.840.10008.5.1.4.1.1.2";
  options.sopInstanceUid = sop;
  return dicomwriter::BuildDicomFile(w, options);
}

const std::string& EnsureTree(const TreeSpec& t = k10k) {
  static std::map<std::string, std::string> made;
  auto [it, fresh] = made.try_emplace(t.name);
  if (!fresh) return it->second;
  const std::string d = benchrun::DataDir() + "/" + t.name;
  const fs::path stamp = fs::path(d) / ".complete";
  if (!fs::exists(stamp)) {
    fs::remove_all(d);
    int n = 0;
    for (int p = 0; p < t.patients; ++p)
      for (int s = 0; s < t.series; ++s) {
        char sub[32];
        std::snprintf(sub, sizeof sub, "P%02d/S%03d", p, s);
        fs::create_directories(fs::path(d) / sub);
        for (int i = 0; i < t.images; ++i) {
          char name[64];
          std::snprintf(name, sizeof name, "%s/IM%04d.dcm", sub, i);
          std::vector<uint8_t> bytes = ImageFile(p, s, i, t.side, t.images);
          if (t.damagedEvery && ++n % t.damagedEvery == 0) {
            // Alternately emptied and overwritten with noise. (A file cut
            // inside its data set makes gdcmscanner abort, so the side by
            // side tree has none; the reader's own tests cover those.)
            if (n / t.damagedEvery % 2)
              bytes.clear();
            else
              for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = uint8_t(k * 131 + 7);
          }
          dicomwriter::WriteBytesToFile((fs::path(d) / name).string(), bytes);
        }
      }
    dicomwriter::WriteBytesToFile(stamp.string(), {});
  }
  it->second = d;
  return it->second;
}

void ClearTree() {
  std::lock_guard lock(gPatientsMutex);
  TGlobal::FreeMemory(gPatients);
  TStringArray().swap(gFileList);
  TStringArray().swap(gOpenedFiles);
  gReports.clear();
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

// `tavrolen-dicom scan DIR` as a user runs it (listing, reading, filing and
// sorting the whole tree, in a process of its own): its time, and the files it
// filed and skipped as its last line counts them.
double RunOurScan(const std::string& dir, int& filed, int& skipped) {
  filed = skipped = -1;
  const std::string cmd = std::string(TAVROLEN_DICOM_TOOL) + " scan '" + dir + "' 2>&1";
  const auto t0 = std::chrono::steady_clock::now();
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1.0;
  std::string out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
  const int status = pclose(p);
  const double s = Seconds(std::chrono::steady_clock::now() - t0);
  const size_t at = out.rfind("files listed");
  if (status != 0 || at == std::string::npos ||
      std::sscanf(out.c_str() + at, "files listed %*d, filed %d, skipped %d", &filed, &skipped) !=
          2)
    return -1.0;
  return s;
}

// The tool's scan of the whole tree against gdcmscanner extracting six tags
// from it, side by side, whole processes; the median of the pairs. Goal: at
// most 0.33 of gdcmscanner's time (10k); 0.4 and at most 2 s (100k).
void BM_ScanVsGdcmScanner(benchmark::State& state, const TreeSpec& t, double goal, double goalMs) {
  const std::string& dir = EnsureTree(t);
  RunGdcmScanner(dir);  // warm the page cache for both
  benchrun::TPairs pairs;
  for (auto _ : state) {
    int filed = 0, skipped = 0;
    const double s = RunOurScan(dir, filed, skipped);
    // Every good file filed, every damaged one listed once.
    if (s < 0 || filed != t.Good() || skipped != t.Files() - t.Good()) {
      state.SkipWithError("the scan failed, did not file every good file or list a bad one once");
      return;
    }
    const double g = RunGdcmScanner(dir);
    if (g < 0) {
      state.SkipWithError("gdcmscanner failed");
      return;
    }
    state.SetIterationTime(s);
    pairs.Add(s, g);
  }
  pairs.Report(state, "gdcmscanner -r", goal, goalMs);
}
BENCHMARK_CAPTURE(BM_ScanVsGdcmScanner, 10k, k10k, 0.33, 0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(7));
BENCHMARK_CAPTURE(BM_ScanVsGdcmScanner, 100k, k100k, 0.4, 2000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(5));

// Bytes handed out by malloc: blocks in the arenas and blocks mapped on their
// own (large vectors, such as a series' images, may be either).
size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Resident set size of the process.
double ResidentMB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// Heap bytes the filed tree holds (headers included), with the loader's own
// lists released, and what the process keeps resident for it.
void BM_TreeMemory(benchmark::State& state, const TreeSpec& t) {
  const std::string& dir = EnsureTree(t);
  double mb = 0, rss = 0;
  for (auto _ : state) {
    ClearTree();
    malloc_trim(0);
    const size_t before = HeapInUse();
    const double rssBefore = ResidentMB();
    LoadFolder(dir);
    {
      std::lock_guard lock(gPatientsMutex);
      TStringArray().swap(gFileList);
      TStringArray().swap(gOpenedFiles);
    }
    const size_t after = HeapInUse();
    mb = (static_cast<double>(after) - static_cast<double>(before)) / (1024.0 * 1024.0);
    rss = ResidentMB() - rssBefore;
  }
  state.counters["tree_MB"] = mb;  // goal: at most 40 (10k), 200 (100k)
  state.counters["resident_growth_MB"] = rss;
  state.counters["bytes_per_image"] = mb * 1024 * 1024 / t.Good();
  state.counters["sizeof_TImg"] = sizeof(TImg);
}
BENCHMARK_CAPTURE(BM_TreeMemory, 10k, k10k)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_TreeMemory, 100k, k100k)->Unit(benchmark::kMillisecond)->Iterations(1);

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
// runs and finishes (the loader alone, no window), and how often progress
// moved.
void BM_UiStallDuringLoad(benchmark::State& state, const TreeSpec& t) {
  const std::string& dir = EnsureTree(t);
  double worst = 0;
  int updates = 0;
  for (auto _ : state) {
    ClearTree();
    TStudyLoad load;
    QEventLoop loop;
    QObject::connect(&load, &TStudyLoad::finished, &loop, &QEventLoop::quit);
    QObject::connect(&load, &TStudyLoad::progress, [&](int, int) { ++updates; });
    TStallWatch watch;
    watch.Start();
    load.StartFolder(QString::fromStdString(dir));
    loop.exec();
    worst = std::max(worst, watch.LongestMs());
  }
  state.counters["longest_gap_ms"] = worst;  // goal: at most 100 (10k), 50 (100k)
  state.counters["progress_updates"] = double(updates) / double(state.iterations());
}
BENCHMARK_CAPTURE(BM_UiStallDuringLoad, 10k, k10k)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(3));
BENCHMARK_CAPTURE(BM_UiStallDuringLoad, 100k, k100k)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(2));

// Cancel pressed when about half the files are read: how long until the load
// has finished, and what it kept (every image read by then stays filed).
void BM_CancelHalfWay(benchmark::State& state, const TreeSpec& t) {
  const std::string& dir = EnsureTree(t);
  double worst = 0;
  int kept = 0;
  for (auto _ : state) {
    ClearTree();
    TStudyLoad load;
    QEventLoop loop;
    QElapsedTimer sinceCancel;
    QObject::connect(&load, &TStudyLoad::finished, &loop, &QEventLoop::quit);
    QObject::connect(&load, &TStudyLoad::progress, [&](int done, int) {
      if (!sinceCancel.isValid() && done >= t.Files() / 2) {
        sinceCancel.start();
        load.Cancel();
      }
    });
    load.StartFolder(QString::fromStdString(dir));
    loop.exec();
    // A smoke tree may be read whole before Cancel is pressed, or before
    // progress is first reported.
    const bool whole = benchrun::Smoke() && !load.Result().cancelled;
    if (!sinceCancel.isValid()) {
      if (whole) continue;
      state.SkipWithError("the load ended before it was half way");
      return;
    }
    worst = std::max(worst, static_cast<double>(sinceCancel.nsecsElapsed()) / 1e6);
    int filed = 0;
    {
      std::lock_guard lock(gPatientsMutex);
      for (const TPatient& p : gPatients)
        for (const TStudy& st : p.studies)
          for (const TSeries& se : st.serieses) filed += static_cast<int>(se.images.size());
    }
    if ((!load.Result().cancelled && !whole) || filed != load.Result().filesFiled || filed == 0) {
      state.SkipWithError("the cancelled load lost or invented images");
      return;
    }
    kept = filed;
  }
  state.counters["cancel_to_finished_ms"] = worst;  // goal: at most 200
  state.counters["images_kept"] = kept;
}
BENCHMARK_CAPTURE(BM_CancelHalfWay, 100k, k100k)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(3));

// The main window as the user has it: the folder opened by its command, the
// load's progress, its finish (sort, browser rebuild, grid fill) and the
// browser's thumbnails, until the last thumbnail is in.
void BM_WindowStallDuringLoad(benchmark::State& state, const TreeSpec& t) {
  const std::string& dir = EnsureTree(t);
  ClearTree();
  TForm1 form;
  form.resize(1268, 721);
  form.show();
  QApplication::processEvents();
  double worst = 0, total = 0;
  int runs = 0;
  double clearMs = 0;
  for (auto _ : state) {
    QElapsedTimer clearClock;
    clearClock.start();
    form.btnClearTreeClick();
    clearMs = std::max(clearMs, static_cast<double>(clearClock.nsecsElapsed()) / 1e6);
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
    if (filed != t.Good()) {
      state.SkipWithError("not every file was filed");
      return;
    }
    state.SetIterationTime(ms / 1000);
    worst = std::max(worst, gap);
    total += ms;
    ++runs;
  }
  state.counters["longest_gap_ms"] = worst;  // goal: at most 100 (10k), 50 (100k)
  state.counters["open_to_thumbnails_ms"] = total / std::max(runs, 1);
  state.counters["clear_study_ms"] = clearMs;  // the Clear Study click before each load
}
BENCHMARK_CAPTURE(BM_WindowStallDuringLoad, 10k, k10k)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(3));
BENCHMARK_CAPTURE(BM_WindowStallDuringLoad, 100k, k100k)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(2));
BENCHMARK_CAPTURE(BM_WindowStallDuringLoad, 5000_series, kManySeries)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(Iterations(2));

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
