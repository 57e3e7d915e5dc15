// Sending a 300-image CT series of 512 x 512 to a real Orthanc on loopback:
// our C-STORE against DCMTK's storescu, and our STOW-RS against curl posting
// the same files as multipart/related in batches of the same size, side by
// side in each iteration (each a fresh process; the study is deleted from
// the archive before each run, so both tools meet the same empty archive).
//
//   build/bench/send_bench   (runs in a loopback-only network namespace
//                             when the machine allows it)
//
// The series is written once under the build tree (bench-data/send-ct300); a
// smoke run sends 3 slices.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "bench_run.h"
#include "support/orthanc.h"
#include "support/pacs_fixtures.h"

namespace fs = std::filesystem;

namespace {

const int kSlices = benchrun::Size(300, 3);
const std::string kStudy = "1.2.826.0.1.3680043.2.1125.301";
// As many instances per request as our STOW-RS client puts in one.
constexpr int kBatch = 50;

std::unique_ptr<testsupport::Orthanc> gOrthanc;

std::string Dir(const std::string& name) {
  return benchrun::DataDir() + "/" + name;
}

std::vector<std::string> SeriesFiles() {
  const std::string dir = Dir("send-ct300");
  std::vector<std::string> files;
  if (fs::exists(dir))
    for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  if (files.size() == size_t(kSlices)) return files;
  fs::remove_all(dir);
  testsupport::CtSliceSpec spec;
  spec.studyUid = kStudy;
  spec.seriesUid = kStudy + ".1";
  spec.size = 512;
  return testsupport::WriteCtSeries(dir, spec, kSlices);
}

const testsupport::Orthanc* Server() {
  static const bool started = [] {
    std::string why;
    gOrthanc = std::make_unique<testsupport::Orthanc>();
    if (gOrthanc->Start(Dir("send-orthanc"), {}, why)) return true;
    std::fprintf(stderr, "send_bench: %s\n", why.c_str());
    gOrthanc.reset();
    return false;
  }();
  return started ? gOrthanc.get() : nullptr;
}

// Removes the study from the archive, so each run stores into the same state.
void ClearStudy(const testsupport::Orthanc& o) {
  std::string answer;
  o.Request("POST", "/tools/lookup", kStudy, &answer);
  std::smatch m;
  if (std::regex_search(answer, m, std::regex("\"ID\"\\s*:\\s*\"([0-9a-f-]+)\"")))
    o.Request("DELETE", "/studies/" + m[1].str(), "");
}

int InstancesStored(const testsupport::Orthanc& o) {
  std::string answer;
  o.Request("GET", "/statistics", "", &answer);
  std::smatch m;
  return std::regex_search(answer, m, std::regex("\"CountInstances\"\\s*:\\s*(\\d+)"))
             ? std::stoi(m[1].str())
             : -1;
}

// The multipart/related bodies curl posts: the same files, in batches.
std::vector<std::string> CurlBodies(const std::vector<std::string>& files) {
  std::vector<std::string> bodies;
  for (size_t start = 0; start < files.size(); start += kBatch) {
    const std::string path = Dir("send-body-" + std::to_string(bodies.size()));
    std::ofstream out(path, std::ios::binary);
    for (size_t k = start; k < std::min(files.size(), start + kBatch); ++k) {
      out << "--BOUNDARY\r\nContent-Type: application/dicom\r\n\r\n";
      std::ifstream in(files[k], std::ios::binary);
      out << in.rdbuf() << "\r\n";
    }
    out << "--BOUNDARY--\r\n";
    bodies.push_back(path);
  }
  return bodies;
}

// The wall time of a command, or -1 when it failed (its output then goes to
// stderr).
double Timed(const std::string& command) {
  const std::string log = Dir("send-log.txt");
  const auto t0 = std::chrono::steady_clock::now();
  const int status = std::system((command + " > '" + log + "' 2>&1").c_str());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (status == 0) return s;
  std::ifstream in(log);
  std::fprintf(stderr, "send_bench: %s failed:\n%s\n", command.c_str(),
               std::string(std::istreambuf_iterator<char>(in), {}).c_str());
  return -1.0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void SideBySide(benchmark::State& state, const std::string& ours, const std::string& theirs,
                const char* theirName) {
  const testsupport::Orthanc& o = *Server();
  std::vector<double> a, b;
  int n = 0;
  for (auto _ : state) {
    double s = 0, t = 0;
    int storedOurs = 0, storedTheirs = 0;
    const auto runOurs = [&] {
      ClearStudy(o);
      s = Timed(ours);
      storedOurs = InstancesStored(o);
    };
    const auto runTheirs = [&] {
      ClearStudy(o);
      t = Timed(theirs);
      storedTheirs = InstancesStored(o);
    };
    // Turn about, so neither tool always meets the server's caches first.
    if (n % 2 == 0) {
      runOurs();
      runTheirs();
    } else {
      runTheirs();
      runOurs();
    }
    if (s < 0 || t < 0 || storedOurs != kSlices || storedTheirs != kSlices) {
      state.SkipWithError("a send failed");
      return;
    }
    state.SetIterationTime(s);
    a.push_back(s);
    b.push_back(t);
    ++n;
  }
  benchrun::ReportRatio(state, theirName, Median(a) * 1000, Median(b) * 1000, 1.2);
}

void BM_SendCStoreVsStorescu(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no Orthanc");
    return;
  }
  const testsupport::Orthanc& o = *Server();
  const std::string dir = fs::path(SeriesFiles()[0]).parent_path().string();
  SideBySide(state,
             std::string(TAVROLEN_DICOM_TOOL) + " send '" + dir + "' --server " + o.DimseAddress(),
             "storescu -aet TAVROLEN -aec ORTHANC +sd 127.0.0.1 " + std::to_string(o.DicomPort()) +
                 " '" + dir + "'",
             "storescu");
}
BENCHMARK(BM_SendCStoreVsStorescu)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(6));

void BM_SendStowRsVsCurl(benchmark::State& state) {
  if (!Server()) {
    state.SkipWithError("no Orthanc");
    return;
  }
  const testsupport::Orthanc& o = *Server();
  const std::vector<std::string> files = SeriesFiles();
  const std::string dir = fs::path(files[0]).parent_path().string();
  const std::string url = "http://127.0.0.1:" + std::to_string(o.HttpPort()) + "/dicom-web/studies";
  // One curl process, one request per batch over one connection (--next).
  std::string curl = "curl -sf";
  const std::vector<std::string> bodies = CurlBodies(files);
  for (size_t k = 0; k < bodies.size(); ++k)
    curl += std::string(k ? " --next" : "") +
            " -u alice:secret -H 'Expect:' -H 'Content-Type: multipart/related; "
            "type=\"application/dicom\"; "
            "boundary=BOUNDARY' -H 'Accept: application/dicom+json' --data-binary @'" +
            bodies[k] + "' " + url;
  SideBySide(state,
             std::string(TAVROLEN_DICOM_TOOL) + " send '" + dir + "' --server " + o.WebAddress() +
                 " --user alice:secret",
             curl, "curl");
  for (const std::string& b : bodies) fs::remove(b);
}
BENCHMARK(BM_SendStowRsVsCurl)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(6));

}  // namespace

int main(int argc, char** argv) {
  std::string note;
  if (!testsupport::EnterLoopbackOnlyNetwork(&note))
    std::fprintf(stderr, "send_bench: %s\n", note.c_str());
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gOrthanc.reset();
  return 0;
}
