// Frame decoding against DCMTK and GDCM on the same files, in one run.
//
// A 64-frame 512 x 512 16-bit CT series with realistic noise is generated once
// (cached under the build tree) and compressed with dcmcjpeg +e1 (lossless
// JPEG, first-order prediction), dcmcrle, gdcmconv -K (JPEG 2000), dcmcjpeg
// +ee (12-bit extended JPEG), dcmcjpls (JPEG-LS lossless), dcmconv +td
// (deflated data set) and ojph_compress (HTJ2K, one code stream per slice,
// wrapped into a file of the HTJ2K lossless syntax). Each benchmark iteration
// decodes every frame of one file with the tool and with `tavrolen-dicom
// decode --all-frames`, both writing their output to disk, and times each
// (whole processes). The ratio is the median over the pairs (bench_run.h).
// A smoke run uses 2 frames.
//
// Goals: lossless <= 0.7 x dcmdjpeg, RLE <= 1.0 x dcmdrle, JPEG 2000 <= 1.0 x
// gdcmconv -w, 12-bit JPEG <= 0.7 x dcmdjpeg, JPEG-LS <= 0.7 x dcmdjpls,
// HTJ2K <= 0.6 x ojph_expand over the same 64 code streams, deflate <= 0.6 x
// dcmconv +te.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_run.h"
#include "ct_image_module.h"
#include "dicom/DicomWriter.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSize = 512;
const int kFrames = benchrun::Size(64, 2);

const std::string& DataDir() {
  static const std::string dir = benchrun::DataDir() + "/decode";
  return dir;
}

std::string Path(const std::string& name) {
  return DataDir() + "/" + name;
}

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Stored values of a CT slice in 12 bits: air, a body ellipse of soft tissue
// with a bone moving through the series, quantum noise strongest in the body.
std::vector<uint16_t> CtSlice(int frame, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<uint16_t> s(static_cast<size_t>(kSize) * kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const double bx = (x - 256) / 210.0, by = (y - 256) / 160.0;
      const bool body = bx * bx + by * by < 1.0;
      const double ox = (x - 256) / 45.0, oy = (y - 290 + frame) / 32.0;
      const bool bone = ox * ox + oy * oy < 1.0;
      const double lx = (x - 180) / 50.0, ly = (y - 240) / 70.0;
      const bool lung = lx * lx + ly * ly < 1.0;
      double v = 24.0;  // air, -1000 HU
      if (body) v = lung ? 180.0 : 1064.0 + 30.0 * std::sin((x + y + frame) / 40.0);
      if (bone) v = 2100.0;
      v += noise(rng) * (body ? 18.0 : 3.0);
      s[static_cast<size_t>(y) * kSize + x] = static_cast<uint16_t>(std::clamp(v, 0.0, 4095.0));
    }
  }
  return s;
}

// The slices as 16-bit PGM files, one HTJ2K code stream each, and a file of
// the HTJ2K lossless syntax holding them (DCMTK and GDCM do not write it).
bool PrepareHtj2k() {
  if (fs::exists(Path("ready-htj2k"))) return true;
  fs::create_directories(Path("htj2k"));
  std::mt19937 rng(20240601);
  std::vector<std::vector<uint8_t>> streams;
  for (int f = 0; f < kFrames; ++f) {
    const std::string pgm = Path("htj2k/" + std::to_string(100 + f) + ".pgm");
    {
      std::ofstream out(pgm, std::ios::binary);
      out << "P5\n" << kSize << " " << kSize << "\n4095\n";
      for (uint16_t v : CtSlice(f, rng)) {
        const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
        out.write(b, 2);
      }
    }
    const std::string j2c = Path("htj2k/" + std::to_string(100 + f) + ".j2c");
    if (!Run("ojph_compress -i " + pgm + " -o " + j2c + " -reversible true")) return false;
    std::ifstream in(j2c, std::ios::binary);
    streams.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    fs::remove(pgm);
  }
  dicomwriter::DicomWriter w(true, true);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.826.0.1.3680043.9.7777.65");
  w.Text(0x00080060, "CS", "CT");
  benchct::AddCtImageModule(w, kSize, kFrames);
  w.Encapsulated(dicomwriter::DicomWriter::OffsetsOneFragmentPerFrame(streams), streams);
  dicomwriter::DicomFileOptions o;
  o.transferSyntax = "1.2.840.10008.1.2.4.201";
  if (!dicomwriter::WriteBytesToFile(Path("ct-htj2k.dcm"), dicomwriter::BuildDicomFile(w, o)))
    return false;
  std::ofstream(Path("ready-htj2k")) << "ok\n";
  return true;
}

bool PrepareNewCodecs() {
  if (fs::exists(Path("ready-codecs"))) return true;
  const std::string ct = Path("ct.dcm");
  if (!Run("dcmcjpeg +ee " + ct + " " + Path("ct-j12.dcm")) ||
      !Run("dcmcjpls " + ct + " " + Path("ct-jls.dcm")) ||
      !Run("dcmconv +td " + ct + " " + Path("ct-deflate.dcm")) || !PrepareHtj2k()) {
    return false;
  }
  std::ofstream(Path("ready-codecs")) << "ok\n";
  return true;
}

bool Prepare() {
  if (fs::exists(Path("ready"))) return PrepareNewCodecs();
  fs::create_directories(DataDir());
  {
    std::ofstream raw(Path("ct.pixels"), std::ios::binary);
    std::mt19937 rng(20240601);
    for (int f = 0; f < kFrames; ++f) {
      for (uint16_t v : CtSlice(f, rng)) {
        const char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        raw.write(b, 2);
      }
    }
  }
  {
    std::ofstream dump(Path("ct.txt"));
    dump << "(0002,0010) UI [1.2.840.10008.1.2.1]\n"
            "(0008,0016) UI =CTImageStorage\n"
            "(0008,0018) UI [1.2.826.0.1.3680043.9.7777.64]\n"
            "(0008,0060) CS [CT]\n"
            "(0028,0002) US 1\n"
            "(0028,0004) CS [MONOCHROME2]\n"
            "(0028,0008) IS ["
         << kFrames
         << "]\n"
            "(0028,0010) US 512\n"
            "(0028,0011) US 512\n"
            "(0028,0100) US 16\n"
            "(0028,0101) US 12\n"
            "(0028,0102) US 11\n"
            "(0028,0103) US 0\n"
            "(0028,1052) DS [-1024]\n"
            "(0028,1053) DS [1]\n"
            "(7fe0,0010) OW ="
         << Path("ct.pixels") << "\n";
  }
  const std::string ct = Path("ct.dcm");
  if (!Run("dump2dcm " + Path("ct.txt") + " " + ct) ||
      !Run("dcmcjpeg +e1 " + ct + " " + Path("ct-lossless.dcm")) ||
      !Run("dcmcrle " + ct + " " + Path("ct-rle.dcm")) ||
      !Run("gdcmconv -K " + ct + " " + Path("ct-j2k.dcm"))) {
    return false;
  }
  std::ofstream(Path("ready")) << "ok\n";
  return PrepareNewCodecs();
}

double Seconds(const std::string& command) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!Run(command)) return -1.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void RemoveOutputs(const std::string& toolOut, const std::string& ours) {
  std::error_code ec;
  fs::remove(toolOut, ec);
  fs::remove(ours, ec);
  for (const auto& e : fs::directory_iterator(Path("htj2k"), ec))
    if (e.path().string().ends_with(".out.pgm")) fs::remove(e.path(), ec);
}

// `toolCommand` is run as is when `toolWholeCommand`, else with the input and
// an output file appended.
void Compare(benchmark::State& state, const std::string& name, const std::string& file,
             const std::string& toolCommand, const std::string& toolName, double goal,
             bool toolWholeCommand = false) {
  // Made on first use, so that listing the benchmarks writes nothing.
  static const bool ready = Prepare();
  if (!ready) {
    state.SkipWithError("generating the CT series failed (DCMTK, GDCM?)");
    return;
  }
  benchrun::TPairs pairs;
  const std::string in = Path(file);
  const std::string toolOut = Path(name + ".tool.dcm");
  const std::string ours = Path(name + ".ours.raw");
  for (auto _ : state) {
    // Both sides write new files, as a user decoding a study does: replacing
    // a file costs us a flush to disk the tools do not make.
    RemoveOutputs(toolOut, ours);
    const double t =
        Seconds(toolWholeCommand ? toolCommand : toolCommand + " " + in + " " + toolOut);
    const double o =
        Seconds(std::string(TAVROLEN_DICOM_TOOL) + " decode " + in + " --all-frames -o " + ours);
    if (t < 0 || o < 0) {
      state.SkipWithError((name + ": a decoder failed").c_str());
      return;
    }
    pairs.Add(o, t);
    state.SetIterationTime(o);
  }
  pairs.Report(state, toolName, goal);
}

void BM_LosslessJpegVsDcmdjpeg(benchmark::State& state) {
  Compare(state, "lossless", "ct-lossless.dcm", "dcmdjpeg", "dcmdjpeg", 0.7);
}
void BM_RleVsDcmdrle(benchmark::State& state) {
  Compare(state, "rle", "ct-rle.dcm", "dcmdrle", "dcmdrle", 1.0);
}
void BM_Jpeg2000VsGdcmconv(benchmark::State& state) {
  Compare(state, "jpeg2000", "ct-j2k.dcm", "gdcmconv -w", "gdcmconv -w", 1.0);
}

void BM_Jpeg12VsDcmdjpeg(benchmark::State& state) {
  Compare(state, "jpeg12", "ct-j12.dcm", "dcmdjpeg", "dcmdjpeg", 0.7);
}
void BM_JpegLsVsDcmdjpls(benchmark::State& state) {
  Compare(state, "jpegls", "ct-jls.dcm", "dcmdjpls", "dcmdjpls", 0.7);
}
void BM_Htj2kVsOjphExpand(benchmark::State& state) {
  // Each code stream expanded to a file of its own, as a user of the tool would.
  const std::string dir = Path("htj2k");
  Compare(state, "htj2k", "ct-htj2k.dcm",
          "sh -c 'for f in " + dir +
              "/*.j2c; do ojph_expand -i $f -o ${f%.j2c}.out.pgm || exit 1; done'",
          "ojph_expand", 0.6, true);
}
void BM_DeflateVsDcmconv(benchmark::State& state) {
  Compare(state, "deflate", "ct-deflate.dcm", "dcmconv +te", "dcmconv +te", 0.6);
}

using benchrun::Iterations;
BENCHMARK(BM_LosslessJpegVsDcmdjpeg)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RleVsDcmdrle)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg2000VsGdcmconv)
    ->UseManualTime()
    ->Iterations(Iterations(5))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg12VsDcmdjpeg)
    ->UseManualTime()
    ->Iterations(Iterations(5))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLsVsDcmdjpls)
    ->UseManualTime()
    ->Iterations(Iterations(5))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Htj2kVsOjphExpand)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateVsDcmconv)
    ->UseManualTime()
    ->Iterations(Iterations(7))
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // scripts/bench puts the ratios into its table and judges the goals.
  return 0;
}
