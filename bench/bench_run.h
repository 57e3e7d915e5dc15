// What every benchmark shares: the smoke mode and the figures of a side by
// side run against a foreign tool.
//
// TAVROLEN_BENCH_SMOKE=1 runs each benchmark once on its smallest input: the
// test command checks that every benchmark still builds and runs, not how fast
// (scripts/bench --smoke). Inputs are then written under bench-data-smoke, so
// small ones never stand in for the real ones under bench-data.
//
// A benchmark that times our code against another program on the same input
// is named ...Vs<Tool> and reports through ReportRatio; scripts/bench gathers
// those into one table.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace benchrun {

inline bool Smoke() {
  static const bool on = [] {
    const char* v = std::getenv("TAVROLEN_BENCH_SMOKE");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  return on;
}

// `full` in a real run, `smoke` in a smoke run: iterations, repetitions, sizes.
template <class T>
T Size(T full, T smoke) {
  return Smoke() ? smoke : full;
}
inline int Iterations(int full) {
  return Smoke() ? 1 : full;
}

// The folder generated inputs are kept in, under the build tree.
inline std::string DataDir() {
  return std::string(TAVROLEN_BINARY_DIR) + (Smoke() ? "/bench-data-smoke" : "/bench-data");
}

// Our time against `tool`'s on the same input, and the goal for their ratio
// (0: none stated). goalOursMs > 0 also bounds our own time.
inline void ReportRatio(benchmark::State& state, const std::string& tool, double oursMs,
                        double theirsMs, double goal, double goalOursMs = 0) {
  state.SetLabel(tool);
  state.counters["ours_ms"] = oursMs;
  state.counters["theirs_ms"] = theirsMs;
  state.counters["ratio"] = theirsMs > 0 ? oursMs / theirsMs : 0;
  if (goal > 0) state.counters["goal"] = goal;
  if (goalOursMs > 0) state.counters["goal_ours_ms"] = goalOursMs;
}

// Our time and the tool's, timed side by side once per iteration. The
// figures are medians: of our times, of the tool's, and of the ratios of each
// pair, which shrugs off a pair that a busy machine slowed on both sides.
class TPairs {
 public:
  void Add(double ours, double theirs) {
    ours_.push_back(ours);
    theirs_.push_back(theirs);
    if (theirs > 0) ratios_.push_back(ours / theirs);
  }
  void Report(benchmark::State& state, const std::string& tool, double goal,
              double goalOursMs = 0) const {
    ReportRatio(state, tool, Median(ours_) * 1e3, Median(theirs_) * 1e3, goal, goalOursMs);
    state.counters["ratio"] = Median(ratios_);
    state.counters["pairs"] = double(ours_.size());
  }
  static double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

 private:
  std::vector<double> ours_, theirs_, ratios_;
};

}  // namespace benchrun
