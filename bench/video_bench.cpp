// Video decoding against the ffmpeg tool on the same streams.
//
// An H.264 1080p stream of 300 frames (GOP 12, B-frames) is made once with
// ffmpeg and wrapped into DICOM (cached under the build tree). Each iteration
// decodes every frame with `tavrolen-dicom decode --all-frames` and with
// `ffmpeg -i STREAM -pix_fmt rgb24 -f rawvideo`, both writing R, G, B to a
// new file (the same work: ffmpeg's plain rawvideo output skips the colour
// conversion and writes half the bytes), and times the whole processes; our peak resident memory is
// reported beside (bounded: a few frames and the decoder's own state, not
// the video). Goal: at most 1.2 x ffmpeg.
//
// The first frame of a video of about 1 GB (the stream repeated, one fragment
// per copy) from a cold process: goal under 0.3 s, against ffmpeg decoding
// one frame of the same stream. The file is made once, in the system's
// temporary folder (TAVROLEN_VIDEO_BENCH_DIR names another), and only in a
// full run; a smoke run uses a small stream for both.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_run.h"

namespace fs = std::filesystem;

namespace {

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

double Seconds(const std::string& command) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!Run(command)) return -1.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Stream {
  std::string es, dicom;
  bool ok = false;
};

// An H.264 stream of `frames` frames at `size`, and its DICOM wrapping with
// the stream repeated `repeat` times.
Stream Make(const std::string& dir, const std::string& name, const std::string& size, int frames,
            int repeat) {
  Stream s;
  s.es = dir + "/" + name + ".h264";
  s.dicom = dir + "/" + name + ".dcm";
  const std::string ready = dir + "/" + name + ".ready";
  if (fs::exists(ready)) {
    s.ok = true;
    return s;
  }
  fs::create_directories(dir);
  const auto x = size.find('x');
  const std::string columns = size.substr(0, x), rows = size.substr(x + 1);
  s.ok =
      Run("ffmpeg -v error -y -f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v " +
          std::to_string(frames) + " -c:v libx264 -bf 3 -g 12 -pix_fmt yuv420p -f h264 " + s.es) &&
      Run("/usr/bin/python3 " TAVROLEN_SOURCE_DIR "/tests/pixels/make_video.py " + s.es + " " +
          s.dicom + " 1.2.840.10008.1.2.4.102 " + rows + " " + columns + " " +
          std::to_string(frames * repeat) + " --repeat " + std::to_string(repeat));
  if (s.ok) std::ofstream(ready) << "ok\n";
  return s;
}

// Runs a command and gives its time and its peak resident set in MiB (of the
// process itself and of what it waited for), or a negative time on failure.
double SecondsAndPeak(const std::string& command, double& peakMiB) {
  const std::string line = command + " >/dev/null 2>&1";
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return -1.0;
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage u{};
  if (wait4(pid, &status, 0, &u) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1.0;
  peakMiB = double(u.ru_maxrss) / 1024.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_H264VsFfmpeg(benchmark::State& state) {
  const int frames = benchrun::Size(300, 8);
  const Stream s = Make(benchrun::DataDir() + "/video", "h264",
                        benchrun::Smoke() ? "320x180" : "1920x1080", frames, 1);
  if (!s.ok) {
    state.SkipWithError("making the H.264 stream failed (ffmpeg, pydicom?)");
    return;
  }
  const std::string ours = s.dicom + ".ours.raw", theirs = s.dicom + ".ffmpeg.rgb";
  benchrun::TPairs pairs;
  double peak = 0;
  int round = 0;
  for (auto _ : state) {
    // Each output (1.8 GB at 1080p) is removed as soon as it is written, so
    // the side that runs second does not wait for the first one's writeback;
    // the sides take turns at going first.
    double t = 0, o = 0, rss = 0;
    const auto runTheirs = [&] {
      t = Seconds("ffmpeg -v error -y -i " + s.es + " -pix_fmt rgb24 -f rawvideo " + theirs);
      fs::remove(theirs);
    };
    const auto runOurs = [&] {
      o = SecondsAndPeak(
          std::string(TAVROLEN_DICOM_TOOL) + " decode " + s.dicom + " --all-frames -o " + ours,
          rss);
      fs::remove(ours);
    };
    if (round++ % 2) {
      runOurs();
      runTheirs();
    } else {
      runTheirs();
      runOurs();
    }
    peak = std::max(peak, rss);
    if (t < 0 || o < 0) {
      state.SkipWithError("a decoder failed");
      return;
    }
    pairs.Add(o, t);
    state.SetIterationTime(o);
  }
  fs::remove(ours);
  fs::remove(theirs);
  pairs.Report(state, "ffmpeg -pix_fmt rgb24 -f rawvideo", 1.2);
  state.counters["peak_rss_mib"] = peak;
}

void BM_FirstFrameOfLargeVideoVsFfmpeg(benchmark::State& state) {
  const char* env = std::getenv("TAVROLEN_VIDEO_BENCH_DIR");
  const std::string dir = benchrun::Smoke() ? benchrun::DataDir() + "/video"
                          : env && *env
                              ? std::string(env)
                              : (fs::temp_directory_path() / "tavrolen-video-bench").string();
  // 60 frames of the 1080p test picture are some 1.6 MB: 620 copies, 1 GB.
  const Stream s = benchrun::Smoke() ? Make(dir, "large-smoke", "320x180", 24, 4)
                                     : Make(dir, "large-1g", "1920x1080", 60, 620);
  if (!s.ok) {
    state.SkipWithError("making the large video failed (ffmpeg, pydicom, disk space?)");
    return;
  }
  state.counters["file_mib"] = double(fs::file_size(s.dicom)) / (1 << 20);
  const std::string ours = dir + "/first.ours.raw", theirs = dir + "/first.ffmpeg.rgb";
  benchrun::TPairs pairs;
  for (auto _ : state) {
    fs::remove(ours);
    fs::remove(theirs);
    const double o =
        Seconds(std::string(TAVROLEN_DICOM_TOOL) + " decode " + s.dicom + " --frame 1 -o " + ours);
    const double t = Seconds("ffmpeg -v error -y -i " + s.es +
                             " -frames:v 1 -pix_fmt rgb24 -f rawvideo " + theirs);
    if (t < 0 || o < 0) {
      state.SkipWithError("a decoder failed");
      return;
    }
    pairs.Add(o, t);
    state.SetIterationTime(o);
  }
  pairs.Report(state, "ffmpeg -frames:v 1", 0, 300);
}

using benchrun::Iterations;
BENCHMARK(BM_H264VsFfmpeg)
    ->UseManualTime()
    ->Iterations(Iterations(4))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFrameOfLargeVideoVsFfmpeg)
    ->UseManualTime()
    ->Iterations(Iterations(5))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
