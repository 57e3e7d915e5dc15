// Cine playback of a 30-frame 512 x 512 16-bit multi-frame at 60 frames per
// second in a 1000 x 800 cell, offscreen, driven by the cell's own timer:
//   first_pass_fps  frames shown per second while each frame is decoded from
//                   the file for the first time (bounded by decoding)
//   fps             distinct pictures per second afterwards, from the frame
//                   cache                                   goal >= 57
//   first_tick_ms, cached_tick_ms   mean work of one tick (step, decode or
//                   cache copy, bitmap, render) in each phase: the headroom
//                   under the 16 ms period
// for the uncompressed file and for a lossless JPEG copy made by dcmcjpeg;
// then both again with a frame cache budget of 8 MB, below the 15 MB the
// range decodes to (no pin, frames evicted and decoded again each pass with
// prefetch keeping ahead)                                    goal fps >= 57
// A smoke run watches each for a fifth of a second.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_run.h"
#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "pixels/FrameCache.h"
#include "pixels/ThdTimer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

constexpr int kSize = 512;
constexpr int kFrames = 30;

std::filesystem::path DataDir() {
  const auto dir = std::filesystem::path(benchrun::DataDir());
  std::filesystem::create_directories(dir);
  return dir;
}

// A body outline with a bright blob that moves from frame to frame, in
// 12-bit stored values with noise, so every frame looks different.
std::vector<uint16_t> CinePixels() {
  std::vector<uint16_t> px(size_t(kSize) * kSize * kFrames);
  uint32_t seed = 777;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return int((seed >> 16) % 41) - 20;
  };
  for (int f = 0; f < kFrames; ++f) {
    const double bx = 256 + 120 * std::cos(f * 2 * M_PI / kFrames);
    const double by = 256 + 120 * std::sin(f * 2 * M_PI / kFrames);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) {
        const double r = std::hypot((x - 256) / 220.0, (y - 256) / 200.0);
        const double b = std::hypot(x - bx, y - by);
        int v = r > 1 ? 30 : 1000 + 300 * (b < 40);
        px[(size_t(f) * kSize + y) * kSize + x] = uint16_t(std::clamp(v + noise(), 0, 4095));
      }
  }
  return px;
}

std::string UncompressedFile() {
  const std::string path = (DataDir() / "cine_30x512.dcm").string();
  if (std::filesystem::exists(path)) return path;
  dicomwriter::DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.12.1");
  w.Text(0x00080018, "UI", "1.2.3.4.5.7");
  w.Text(0x00080060, "CS", "XA");
  w.Text(0x00100010, "PN", "BENCH^CINE");
  w.Text(0x00100020, "LO", "B2");
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.Text(0x00280008, "IS", std::to_string(kFrames));
  w.US(0x00280010, {kSize});
  w.US(0x00280011, {kSize});
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "700");
  w.Text(0x00281051, "DS", "1600");
  w.OW(0x7FE00010, CinePixels());
  dicomwriter::DicomFileOptions o;
  dicomwriter::WriteBytesToFile(path, dicomwriter::BuildDicomFile(w, o));
  return path;
}

// The same frames as lossless JPEG (process 14, selection value 1); empty
// when dcmcjpeg is not there.
std::string LosslessFile() {
  const std::string in = UncompressedFile();
  const std::string out = (DataDir() / "cine_30x512_lossless.dcm").string();
  if (std::filesystem::exists(out)) return out;
  const std::string command = "dcmcjpeg +e1 '" + in + "' '" + out + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(out)) return {};
  return out;
}

// A cheap fingerprint of what the surface shows.
uint64_t Fingerprint(const QImage& img) {
  uint64_t h = 1469598103934665603ull;
  for (int y = 0; y < img.height(); y += 7) {
    const uchar* line = img.constScanLine(y);
    for (int x = 0; x < img.bytesPerLine(); x += 29) h = (h ^ line[x]) * 1099511628211ull;
  }
  return h;
}

void Play(benchmark::State& state, const std::string& path, int64_t budget = 0) {
  if (path.empty()) {
    state.SkipWithError("dcmcjpeg could not make the lossless file");
    return;
  }
  const int64_t oldBudget = FrameCache::Shared().Budget();
  if (budget > 0) FrameCache::Shared().SetBudget(budget);
  FrameCache::Shared().Clear();
  for (auto _ : state) {
    {
      std::lock_guard lock(gPatientsMutex);
      gPatients.assign(1, TPatient{});
      gPatients[0].studies.resize(1);
      gPatients[0].studies[0].serieses.resize(1);
      gPatients[0].studies[0].serieses[0].images.resize(1);
      gPatients[0].studies[0].serieses[0].images[0].imagePath = path;
    }
    gProcessAllViewers = false;
    FrameRateSetByUser = true;
    TadvancedImage cell;
    cell.resize(1000, 800);
    cell.ResizeImage();
    cell.setCineFrameRate(60);

    QElapsedTimer clock;
    clock.start();
    if (!cell.LoadFile(path, 1) || !cell.CineTimer) {
      state.SkipWithError("the cine did not start");
      return;
    }
    // Watch every tick: the frame it left on the surface.
    qint64 firstPassEnd = -1, measureStart = -1;
    int distinct = 0, firstTicks = 0, cachedTicks = 0;
    qint64 firstWork = 0, cachedWork = 0;  // microseconds
    uint64_t last = Fingerprint(cell.img);
    cell.CineTimer->setOnTimer([&](TThreadedTimer*) {
      const qint64 begin = clock.nsecsElapsed();
      cell.CineTick();
      const qint64 work = (clock.nsecsElapsed() - begin) / 1000;
      const qint64 now = clock.elapsed();
      (firstPassEnd < 0 ? firstWork : cachedWork) += work;
      ++(firstPassEnd < 0 ? firstTicks : cachedTicks);
      if (firstPassEnd < 0) {
        if (cell.CurrentFrame == kFrames) firstPassEnd = measureStart = now;
        return;
      }
      const uint64_t f = Fingerprint(cell.img);
      distinct += f != last;
      last = f;
    });
    const qint64 kMeasureMs = benchrun::Size(3000, 200);
    while (firstPassEnd < 0 || clock.elapsed() - measureStart < kMeasureMs) {
      if (clock.elapsed() > 60000) break;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    cell.PauseCine();
    if (firstPassEnd < 0) {
      state.SkipWithError("the first pass did not finish");
      return;
    }
    const double measured = double(clock.elapsed() - measureStart) / 1000;
    state.SetIterationTime(double(clock.elapsed()) / 1000);
    // Frames 2 ... 30 were decoded during the first pass.
    state.counters["first_pass_fps"] = (kFrames - 1) / (double(firstPassEnd) / 1000);
    state.counters["fps"] = distinct / measured;
    state.counters["first_tick_ms"] = firstWork / 1000.0 / std::max(firstTicks, 1);
    state.counters["cached_tick_ms"] = cachedWork / 1000.0 / std::max(cachedTicks, 1);
    state.counters["cache_MB"] = double(FrameCache::Shared().BytesHeld()) / (1 << 20);
  }
  FrameCache::Shared().SetBudget(oldBudget);
  FrameCache::Shared().Clear();
}

void BM_CineUncompressed(benchmark::State& state) {
  Play(state, UncompressedFile());
}

void BM_CineLosslessJpeg(benchmark::State& state) {
  Play(state, LosslessFile());
}

constexpr int64_t kOverBudget = int64_t{8} << 20;

void BM_CineUncompressedOverBudget(benchmark::State& state) {
  Play(state, UncompressedFile(), kOverBudget);
}

void BM_CineLosslessJpegOverBudget(benchmark::State& state) {
  Play(state, LosslessFile(), kOverBudget);
}

BENCHMARK(BM_CineUncompressed)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_CineLosslessJpeg)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_CineUncompressedOverBudget)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_CineLosslessJpegOverBudget)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

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
