// Reading the headers of a study tree: ReadDicomHeader on every file of a tree
// of 10,000 small images (10 patients x 10 series x 100 images of 64 x 64) on
// all cores, against `gdcmscanner -r` extracting six tags from the same tree,
// side by side in one run. Goal: at most half of gdcmscanner's time.
//
// The tree is written once with the product's DICOM writer and kept under the
// build tree (a few files in a smoke run). Single-header reads are measured
// as well.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"
#include "dicom/dicom.h"

namespace fs = std::filesystem;
using dicomwriter::DicomWriter;

namespace {

const int kPatients = benchrun::Size(10, 1), kSeries = benchrun::Size(10, 2),
          kImages = benchrun::Size(100, 5);
constexpr int kSize = 64;
const char* const kStamp = "complete-v1";

std::vector<uint8_t> ImageFile(int patient, int series, int image) {
  const std::string study = "1.2.826.0.1.3680043.10.99." + std::to_string(patient + 1);
  const std::string seriesUid = study + "." + std::to_string(series + 1);
  DicomWriter w;
  w.Text(0x00080005, "CS", "ISO_IR 100");
  w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", seriesUid + "." + std::to_string(image + 1));
  w.Text(0x00080020, "DA", "20240131");
  w.Text(0x00080030, "TM", "101530.000");
  w.Text(0x00080050, "SH", std::to_string(1000 + patient));
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00080070, "LO", "TAVROLEN");
  w.Text(0x00080080, "LO", "BENCH HOSPITAL");
  w.Text(0x00081030, "LO", "CHEST");
  w.Text(0x0008103E, "LO", "AXIAL " + std::to_string(series + 1));
  w.Text(0x00100010, "PN", "PATIENT^" + std::to_string(patient + 1));
  w.Text(0x00100020, "LO", "ID" + std::to_string(patient + 1));
  w.Text(0x00100030, "DA", "19700101");
  w.Text(0x00100040, "CS", "O");
  w.Text(0x00180050, "DS", "1.25");
  w.Text(0x00180060, "DS", "120");
  w.Text(0x0020000D, "UI", study);
  w.Text(0x0020000E, "UI", seriesUid);
  w.Text(0x00200010, "SH", "1");
  w.Text(0x00200011, "IS", std::to_string(series + 1));
  w.Text(0x00200013, "IS", std::to_string(image + 1));
  w.Text(0x00200032, "DS", "-100\\-100\\" + std::to_string(image * 1.25));
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  w.Text(0x00201041, "DS", std::to_string(image * 1.25));
  benchct::AddCtImageModule(w, kSize);
  std::vector<uint16_t> pixels(kSize * kSize);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint16_t((i * 7 + size_t(image)) & 0xFFF);
  w.OW(0x7FE00010, pixels);
  dicomwriter::DicomFileOptions o;
  o.sopClassUid = "1.2.840.10008.5.1.4.1.1.2";
  o.sopInstanceUid = seriesUid + "." + std::to_string(image + 1);
  return dicomwriter::BuildDicomFile(w, o);
}

fs::path TreeDir() {
  return fs::path(benchrun::DataDir()) / "header_tree";
}

fs::path EnsureTree() {
  const fs::path root = TreeDir();
  if (fs::exists(root / kStamp)) return root;
  std::fprintf(stderr, "writing %d files under %s ...\n", kPatients * kSeries * kImages,
               root.c_str());
  fs::remove_all(root);
  for (int p = 0; p < kPatients; ++p) {
    for (int s = 0; s < kSeries; ++s) {
      const fs::path dir = root / ("P" + std::to_string(p)) / ("S" + std::to_string(s));
      fs::create_directories(dir);
      for (int i = 0; i < kImages; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IM%03d.dcm", i);
        if (!dicomwriter::WriteBytesToFile((dir / name).string(), ImageFile(p, s, i))) {
          std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
          std::exit(1);
        }
      }
    }
  }
  dicomwriter::WriteBytesToFile((root / kStamp).string(), {});
  return root;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Lists the tree and reads every header on all cores; returns the seconds
// taken and the number of headers read in good order.
double ReadTree(const fs::path& root, int& good) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().extension() == ".dcm") files.push_back(e.path().string());
  std::atomic<size_t> next{0};
  std::atomic<int> ok{0};
  const unsigned n = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < n; ++t) {
    pool.emplace_back([&] {
      int mine = 0;
      for (size_t i; (i = next.fetch_add(1)) < files.size();) {
        DICOMdata h;
        bool hdrOK = false, imgOK = false;
        try {
          ReadDicomHeader(files[i], true, h, hdrOK, imgOK);
        } catch (const EDicomReadError&) {
        }
        mine += hdrOK && imgOK;
      }
      ok += mine;
    });
  }
  for (auto& th : pool) th.join();
  good = ok;
  return Seconds(std::chrono::steady_clock::now() - start);
}

double RunGdcmScanner(const fs::path& root) {
  const std::string cmd = "gdcmscanner -r -d '" + root.string() +
                          "' -t 0010,0010 -t 0010,0020 -t 0020,000d -t 0020,000e"
                          " -t 0020,0013 -t 0008,0060 >/dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system(cmd.c_str());
  const double s = Seconds(std::chrono::steady_clock::now() - start);
  return rc == 0 ? s : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Both readers on the tree in each iteration; the medians give the ratio.
void BM_HeaderTreeVsGdcmScanner(benchmark::State& state) {
  const fs::path root = EnsureTree();
  int good = 0;
  // Warm the page cache for both readers first.
  ReadTree(root, good);
  if (RunGdcmScanner(root) < 0) {
    state.SkipWithError("gdcmscanner failed");
    return;
  }
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    ours.push_back(ReadTree(root, good));
    theirs.push_back(RunGdcmScanner(root));
    if (good != kPatients * kSeries * kImages || theirs.back() < 0) {
      state.SkipWithError("a header was not read in good order, or gdcmscanner failed");
      return;
    }
    state.SetIterationTime(ours.back());
  }
  state.counters["files"] = kPatients * kSeries * kImages;
  state.counters["threads"] = std::thread::hardware_concurrency();
  benchrun::ReportRatio(state, "gdcmscanner -r", Median(ours) * 1000, Median(theirs) * 1000, 0.5);
}
BENCHMARK(BM_HeaderTreeVsGdcmScanner)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(5));

// ---- single-header micro benchmarks ----

void BM_ReadHeaderFromMemory(benchmark::State& state) {
  const auto file = ImageFile(0, 0, 0);
  for (auto _ : state) {
    DICOMdata h;
    const DicomReadResult r = ReadDicomHeaderFromMemory(file.data(), file.size(), true, h);
    benchmark::DoNotOptimize(r.hdrOK);
  }
}
BENCHMARK(BM_ReadHeaderFromMemory);

void BM_ReadHeaderFromFile(benchmark::State& state) {
  const std::string path = (EnsureTree() / "P0" / "S0" / "IM000.dcm").string();
  for (auto _ : state) {
    DICOMdata h;
    bool hdrOK, imgOK;
    ReadDicomHeader(path, true, h, hdrOK, imgOK);
    benchmark::DoNotOptimize(hdrOK);
  }
}
BENCHMARK(BM_ReadHeaderFromFile);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
