// JPEG XL frames against djxl on the same code streams, in one run.
//
// Two series of 20 frames, 512 x 512, are made once (cached under the build
// tree) with cjxl: 16-bit grey CT-like slices coded without loss, and 8-bit
// colour pictures coded lossy (-d 1). Each code stream goes into one fragment
// of a multi-frame file. Each iteration times `tavrolen-dicom decode
// --all-frames` on the file against djxl decoding every code stream to a
// PGM/PPM file of its own (whole processes, both writing to disk). The ratio
// is the median over the pairs (bench_run.h). A smoke run uses 2 frames.
//
// Goal: at most 1.0 x djxl for both.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench_run.h"
#include "dicom/DicomWriter.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSize = 512;
const int kFrames = benchrun::Size(20, 2);

std::string Path(const std::string& name) {
  static const std::string dir = benchrun::DataDir() + "/jpegxl";
  return dir + "/" + name;
}

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A body ellipse with a moving bone, in 12-bit values, with noise.
std::vector<uint16_t> GreySlice(int frame, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<uint16_t> s(size_t(kSize) * kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double bx = (x - 256) / 210.0, by = (y - 256) / 160.0;
      const double ox = (x - 256) / 45.0, oy = (y - 290 + frame) / 32.0;
      const bool body = bx * bx + by * by < 1.0;
      double v = body ? 1064.0 + 30.0 * std::sin((x + y + frame) / 40.0) : 24.0;
      if (ox * ox + oy * oy < 1.0) v = 2100.0;
      v += noise(rng) * (body ? 18.0 : 3.0);
      s[size_t(y) * kSize + x] = uint16_t(std::clamp(v, 0.0, 4095.0));
    }
  }
  return s;
}

// Smooth colour shading with a little noise, as a camera's picture.
std::vector<uint8_t> ColourPicture(int frame, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, 2.0);
  std::vector<uint8_t> s(size_t(kSize) * kSize * 3);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double r = std::hypot(x - 256.0 - frame, y - 240.0) / 256.0;
      const double base[3] = {200 - 90 * r, 120 - 60 * r + 20 * std::sin(x / 23.0), 90 - 50 * r};
      for (int c = 0; c < 3; ++c)
        s[(size_t(y) * kSize + x) * 3 + c] = uint8_t(std::clamp(base[c] + noise(rng), 0.0, 255.0));
    }
  }
  return s;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes each frame as PGM/PPM, codes it with cjxl, and wraps the streams.
template <class Make>
bool PrepareSeries(const std::string& name, int samples, int bits, const std::string& options,
                   Make make) {
  if (fs::exists(Path(name + ".dcm"))) return true;
  fs::create_directories(Path(name));
  std::mt19937 rng(20261211);
  std::vector<std::vector<uint8_t>> streams;
  for (int f = 0; f < kFrames; ++f) {
    const std::string stem = Path(name + "/" + std::to_string(100 + f));
    const std::string pnm = stem + (samples == 3 ? ".ppm" : ".pgm");
    {
      std::ofstream out(pnm, std::ios::binary);
      out << (samples == 3 ? "P6\n" : "P5\n") << kSize << " " << kSize << "\n"
          << (bits == 8 ? 255 : 65535) << "\n";
      for (auto v : make(f, rng)) {
        if (bits > 8) out.put(char(v >> 8));  // PNM words are big-endian
        out.put(char(v & 0xFF));
      }
    }
    if (!Run("cjxl " + pnm + " " + stem + ".jxl " + options)) return false;
    streams.push_back(ReadFile(stem + ".jxl"));
    fs::remove(pnm);
  }
  dicomwriter::DicomWriter w(true, true);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.7");
  w.Text(0x00080018, "UI", "1.2.826.0.1.3680043.9.7777.66." + std::to_string(samples));
  w.Text(0x00080060, "CS", "OT");
  w.US(0x00280002, {uint16_t(samples)});
  w.Text(0x00280004, "CS", samples == 3 ? "RGB" : "MONOCHROME2");
  if (samples == 3) w.US(0x00280006, {0});
  w.Text(0x00280008, "IS", std::to_string(kFrames));
  w.US(0x00280010, {kSize});
  w.US(0x00280011, {kSize});
  w.US(0x00280100, {uint16_t(bits)});
  w.US(0x00280101, {uint16_t(bits)});
  w.US(0x00280102, {uint16_t(bits - 1)});
  w.US(0x00280103, {0});
  w.Encapsulated(dicomwriter::DicomWriter::OffsetsOneFragmentPerFrame(streams), streams);
  dicomwriter::DicomFileOptions o;
  o.transferSyntax = options.find("-d 0") != std::string::npos ? "1.2.840.10008.1.2.4.110"
                                                               : "1.2.840.10008.1.2.4.112";
  return dicomwriter::WriteBytesToFile(Path(name + ".dcm"), dicomwriter::BuildDicomFile(w, o));
}

bool Prepare() {
  return PrepareSeries("grey", 1, 16, "-d 0", GreySlice) &&
         PrepareSeries("colour", 3, 8, "-d 1", ColourPicture);
}

double Seconds(const std::string& command) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!Run(command)) return -1.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Compare(benchmark::State& state, const std::string& name, const char* extension) {
  // Made on first use, so that listing the benchmarks writes nothing.
  static const bool ready = Prepare();
  if (!ready) {
    state.SkipWithError("making the JPEG XL series failed (cjxl?)");
    return;
  }
  const std::string dir = Path(name);
  const std::string ours = Path(name + ".ours.raw");
  const std::string djxl = "sh -c 'for f in " + dir + "/*.jxl; do djxl $f ${f%.jxl}.out" +
                           extension + " --quiet || exit 1; done'";
  benchrun::TPairs pairs;
  for (auto _ : state) {
    // Both sides write new files, as a user decoding a study does.
    std::error_code ec;
    fs::remove(ours, ec);
    for (const auto& e : fs::directory_iterator(dir, ec))
      if (e.path().string().find(".out.") != std::string::npos) fs::remove(e.path(), ec);
    const double t = Seconds(djxl);
    const double o = Seconds(std::string(TAVROLEN_DICOM_TOOL) + " decode " + Path(name + ".dcm") +
                             " --all-frames -o " + ours);
    if (t < 0 || o < 0) {
      state.SkipWithError((name + ": a decoder failed").c_str());
      return;
    }
    pairs.Add(o, t);
    state.SetIterationTime(o);
  }
  pairs.Report(state, "djxl", 1.0);
}

void BM_JpegXlLosslessGreyVsDjxl(benchmark::State& state) {
  Compare(state, "grey", ".pgm");
}
void BM_JpegXlLossyColourVsDjxl(benchmark::State& state) {
  Compare(state, "colour", ".ppm");
}

using benchrun::Iterations;
BENCHMARK(BM_JpegXlLosslessGreyVsDjxl)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegXlLossyColourVsDjxl)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
