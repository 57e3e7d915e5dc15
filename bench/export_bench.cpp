// A de-identified export of a 300-image CT series of 512 x 512 into a media
// folder, against GDCM's gdcmanon in its dumb mode (a handful of named
// attributes emptied or removed, UIDs kept: less work than the profile) on
// the same files, side by side in each iteration, each into a fresh folder.
// The goal is at least 200 images per second.
//
//   build/bench/export_bench
//
// The series is written once under the build tree (bench-data/export-ct300);
// a smoke run exports 3 slices.
#include <benchmark/benchmark.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_run.h"
#include "export/Export.h"

namespace fs = std::filesystem;

namespace {

const int kSlices = benchrun::Size(300, 3);

std::vector<std::string> SeriesFiles() {
  const std::string dir = benchrun::DataDir() + "/export-ct300";
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) files.push_back(e.path().string());
  if (files.size() == size_t(kSlices)) return files;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  files.clear();
  char study[100], series[100], frame[100];
  dcmGenerateUniqueIdentifier(study);
  dcmGenerateUniqueIdentifier(series);
  dcmGenerateUniqueIdentifier(frame);
  std::vector<Uint16> pixels(512 * 512);
  for (int k = 0; k < kSlices; ++k) {
    DcmFileFormat f;
    DcmDataset* ds = f.getDataset();
    char sop[100];
    ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(sop));
    ds->putAndInsertString(DCM_StudyInstanceUID, study);
    ds->putAndInsertString(DCM_SeriesInstanceUID, series);
    ds->putAndInsertString(DCM_FrameOfReferenceUID, frame);
    ds->putAndInsertString(DCM_PatientName, "Bench^Patient");
    ds->putAndInsertString(DCM_PatientID, "BENCH-1");
    ds->putAndInsertString(DCM_PatientBirthDate, "19500505");
    ds->putAndInsertString(DCM_StudyDate, "20240115");
    ds->putAndInsertString(DCM_StudyTime, "101010");
    ds->putAndInsertString(DCM_SeriesDate, "20240115");
    ds->putAndInsertString(DCM_AcquisitionDate, "20240115");
    ds->putAndInsertString(DCM_ContentDate, "20240115");
    ds->putAndInsertString(DCM_AccessionNumber, "ACC001");
    ds->putAndInsertString(DCM_ReferringPhysicianName, "Dr^Referring");
    ds->putAndInsertString(DCM_InstitutionName, "Bench Hospital");
    ds->putAndInsertString(DCM_StationName, "CT01");
    ds->putAndInsertString(DCM_Modality, "CT");
    ds->putAndInsertString(DCM_InstanceNumber, std::to_string(k + 1).c_str());
    ds->putAndInsertString(DcmTag(0x0009, 0x0010, EVR_LO), "BENCH PRIVATE");
    ds->putAndInsertString(DcmTag(0x0009, 0x1001, EVR_LO), "private value");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_Rows, 512);
    ds->putAndInsertUint16(DCM_Columns, 512);
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 12);
    ds->putAndInsertUint16(DCM_HighBit, 11);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<Uint16>((i * 7 + k) & 0xFFF);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(),
                                static_cast<unsigned long>(pixels.size()));
    const std::string path = dir + "/CT" + std::to_string(100000 + k) + ".dcm";
    f.saveFile(path.c_str(), EXS_LittleEndianExplicit);
    files.push_back(path);
  }
  return files;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_ExportAnonymizedVsGdcmanon(benchmark::State& state) {
  const std::vector<std::string> files = SeriesFiles();
  const std::string in = benchrun::DataDir() + "/export-ct300";
  const std::string ours = benchrun::DataDir() + "/export-ours";
  const std::string theirs = benchrun::DataDir() + "/export-gdcmanon";
  exporter::TExportOptions options;
  options.anonymize = true;
  benchrun::TPairs pairs;
  for (auto _ : state) {
    std::error_code ec;
    fs::remove_all(ours, ec);
    fs::remove_all(theirs, ec);
    fs::create_directories(theirs);
    auto t0 = std::chrono::steady_clock::now();
    const exporter::TExportResult r = exporter::ExportFiles(files, ours, options);
    const double oursS = Seconds(t0);
    if (r.exported != kSlices) {
      state.SkipWithError(("export failed: " + r.failure).c_str());
      return;
    }
    t0 = std::chrono::steady_clock::now();
    const std::string command = "gdcmanon --dumb -r -i '" + in + "' -o '" + theirs +
                                "' --replace 10,10=ANONYMOUS --empty 10,20 --empty 10,30 "
                                "--empty 8,20 --empty 8,30 --empty 8,50 --empty 8,90 --remove 8,21 "
                                "--remove 8,22 --remove 8,23 --remove 8,80 --remove 8,1010 "
                                ">/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("gdcmanon failed (libgdcm-tools installed?)");
      return;
    }
    const double theirsS = Seconds(t0);
    state.SetIterationTime(oursS);
    pairs.Add(oursS, theirsS);
  }
  // At least 200 images per second: the series within kSlices / 200 s.
  pairs.Report(state, "gdcmanon --dumb", 0, kSlices * 1000.0 / 200);
  const double oursMs = state.counters["ours_ms"];
  if (oursMs > 0) state.counters["images_per_s"] = kSlices * 1000.0 / oursMs;
  std::error_code ec;
  fs::remove_all(ours, ec);
  fs::remove_all(theirs, ec);
}
BENCHMARK(BM_ExportAnonymizedVsGdcmanon)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(benchrun::Iterations(5));

}  // namespace

BENCHMARK_MAIN();
