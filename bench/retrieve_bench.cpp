// Retrieving a 300-image CT series of 512 x 512 from a real Orthanc on
// loopback: our C-GET against DCMTK's getscu and our WADO-RS against curl
// fetching the same multipart body, side by side in each iteration (each
// tool a fresh process writing into a fresh folder); and, in the real main
// window, how soon the first image shows in the grid against when the last
// one has arrived.
//
//   build/bench/retrieve_bench   (runs in a loopback-only network namespace
//                                 when the machine allows it)
//
// The series is written once under the build tree (bench-data/ct300); a
// smoke run retrieves 3 slices.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/PacsForm.h"
#include "app/Unit1.h"
#include "bench_run.h"
#include "dicom/StudyTree.h"
#include "study/Global.h"
#include "support/orthanc.h"
#include "support/pacs_fixtures.h"
#include "viewer/AdvancedImage.h"

namespace fs = std::filesystem;

namespace {

const int kSlices = benchrun::Size(300, 3);
const std::string kStudy = "1.2.826.0.1.3680043.2.1125.300";

std::unique_ptr<testsupport::Orthanc> gOrthanc;

std::string Dir(const std::string& name) {
  return benchrun::DataDir() + "/" + name;
}

std::vector<std::string> SeriesFiles() {
  const std::string dir = Dir("ct300");
  std::vector<std::string> files;
  if (fs::exists(dir))
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().string());
  if (files.size() == size_t(kSlices)) return files;
  fs::remove_all(dir);
  testsupport::CtSliceSpec spec;
  spec.studyUid = kStudy;
  spec.seriesUid = kStudy + ".1";
  spec.size = 512;
  return testsupport::WriteCtSeries(dir, spec, kSlices);
}

bool StartServer(std::string& why) {
  gOrthanc = std::make_unique<testsupport::Orthanc>();
  if (!gOrthanc->Start(Dir("orthanc"), {}, why)) return false;
  for (const std::string& f : SeriesFiles())
    if (!gOrthanc->Upload(f, why)) return false;
  return true;
}

// The server, started and filled on first use, so that listing the benchmarks
// starts none; null when it could not start (the reason goes to stderr).
const testsupport::Orthanc* Server() {
  static const bool started = [] {
    std::string why;
    if (StartServer(why)) return true;
    std::fprintf(stderr, "retrieve_bench: %s\n", why.c_str());
    gOrthanc.reset();
    return false;
  }();
  return started ? gOrthanc.get() : nullptr;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Runs a shell command that writes into dir (fresh, never used before: a
// folder just emptied makes the file system slower to create files in, which
// would weigh on the tool that writes one file per image); its wall time, or
// -1 on failure. Written data goes to disk first, so neither tool pays for
// the other's write-back.
double Timed(const std::string& command, const std::string& dir) {
  fs::create_directories(dir);
  ::sync();
  const auto t0 = std::chrono::steady_clock::now();
  const int status = std::system((command + " > /dev/null 2>&1").c_str());
  const double s = Seconds(std::chrono::steady_clock::now() - t0);
  return status == 0 ? s : -1.0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

size_t FilesIn(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) ++n;
  return n;
}

void SideBySide(benchmark::State& state, const std::string& ours, const std::string& theirs,
                const char* theirName, size_t theirFiles) {
  const std::string outputs = Dir("retrieved");
  fs::remove_all(outputs);
  std::vector<double> a, b;
  int n = 0;
  for (auto _ : state) {
    const std::string ourDir = outputs + "/ours-" + std::to_string(n);
    const std::string theirDir = outputs + "/theirs-" + std::to_string(n);
    // Turn about, so neither tool always meets the server's caches first.
    double s = 0, t = 0;
    const auto runOurs = [&] { s = Timed(ours + " -o '" + ourDir + "'", ourDir); };
    const auto runTheirs = [&] {
      t = Timed(theirs + " '" + theirDir + (theirFiles == 1 ? "/all.bin'" : "'"), theirDir);
    };
    if (n % 2 == 0) {
      runOurs();
      runTheirs();
    } else {
      runTheirs();
      runOurs();
    }
    if (s < 0 || t < 0 || FilesIn(ourDir) != size_t(kSlices) || FilesIn(theirDir) != theirFiles) {
      state.SkipWithError("a retrieve failed");
      return;
    }
    state.SetIterationTime(s);
    a.push_back(s);
    b.push_back(t);
    ++n;
  }
  fs::remove_all(outputs);
  // Medians: on a shared machine a single stalled run would swing a mean.
  const double mineMs = Median(a) * 1000, theirMs = Median(b) * 1000;
  benchrun::ReportRatio(state, theirName, mineMs, theirMs, 1.2);
}

void BM_CGetVsGetscu(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no Orthanc");
    return;
  }
  const testsupport::Orthanc& o = *Server();
  const std::string port = std::to_string(o.DicomPort());
  SideBySide(
      state,
      std::string(TAVROLEN_DICOM_TOOL) + " retrieve --server " + o.DimseAddress() + " --study " +
          kStudy,
      "getscu -aet TAVROLEN -aec ORTHANC -S -k QueryRetrieveLevel=STUDY -k StudyInstanceUID=" +
          kStudy + " 127.0.0.1 " + port + " -od",
      "getscu", kSlices);
}
BENCHMARK(BM_CGetVsGetscu)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(6));

void BM_WadoRsVsCurl(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no Orthanc");
    return;
  }
  const testsupport::Orthanc& o = *Server();
  const std::string url =
      "http://127.0.0.1:" + std::to_string(o.HttpPort()) + "/dicom-web/studies/" + kStudy;
  SideBySide(state,
             std::string(TAVROLEN_DICOM_TOOL) + " retrieve --server " + o.WebAddress() +
                 " --user alice:secret --study " + kStudy,
             "curl -sf -u alice:secret -H 'Accept: multipart/related; type=\"application/dicom\"; "
             "transfer-syntax=*' " +
                 url + " -o",
             "curl", 1);
}
BENCHMARK(BM_WadoRsVsCurl)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(10));

// The main window retrieving the series through the PACS window: when the
// first image is in the grid, and when the last one has arrived.
void BM_FirstImageBeforeTheLast(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no Orthanc");
    return;
  }
  TPacsServer server;
  std::string why;
  ParseServerAddress(Server()->DimseAddress(), server, why);
  double first = 0, all = 0;
  int n = 0;
  for (auto _ : state) {
    {
      std::lock_guard lock(gPatientsMutex);
      gPatients.clear();
    }
    TForm1 form;
    form.resize(1600, 1000);
    form.show();
    auto* pacs = new TPacsForm(&form);
    form.PacsForm = pacs;
    pacs->SetServers({server});
    pacs->folderEdit->setText(QString::fromStdString(Dir("retrieved-window")));
    pacs->chosenFolderRadio->setChecked(true);
    fs::remove_all(Dir("retrieved-window"));
    auto* item = new QTreeWidgetItem(pacs->resultsList);
    item->setData(0, Qt::UserRole, QString::fromStdString(kStudy));
    pacs->resultsList->setCurrentItem(item);
    bool done = false, ok = false;
    QObject::connect(pacs, &TPacsForm::retrieveFinished, pacs, [&](bool good) {
      done = true;
      ok = good;
    });
    QElapsedTimer clock;
    clock.start();
    pacs->retrieveButton->click();
    qint64 firstMs = -1;
    while (!done && clock.elapsed() < 120000) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      if (firstMs < 0 && form.AdvancedImages[0][0]->HasImage) firstMs = clock.elapsed();
    }
    const qint64 allMs = clock.elapsed();
    if (!ok || firstMs < 0) {
      state.SkipWithError("the retrieve failed");
      return;
    }
    state.SetIterationTime(double(firstMs) / 1000);
    first += double(firstMs);
    all += double(allMs);
    ++n;
  }
  state.counters["first_image_ms"] = first / n;
  state.counters["all_arrived_ms"] = all / n;  // the first must come well before this
}
BENCHMARK(BM_FirstImageBeforeTheLast)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(3));

}  // namespace

int main(int argc, char** argv) {
  std::string note;
  if (!testsupport::EnterLoopbackOnlyNetwork(&note))
    std::fprintf(stderr, "retrieve_bench: %s\n", note.c_str());
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  InitApplication();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gOrthanc.reset();
  return 0;
}
