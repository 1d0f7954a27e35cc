#pragma once

// Benchmarks answer questions as ratios measured in one run: an orv operation against a peer doing
// the same work on the same data. This runner executes the registered benchmarks with Google
// Benchmark's console output and then prints one line per comparison:
//
//   RATIO  <subject time / peer time>  <target>  <what is compared>
//
// `bench/run` collects those lines from every benchmark program into one table.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orv::bench {

// ratio = ((subject - subject_base) / subject_divisor) / ((peer + peer_plus) * peer_multiple), times
// per iteration.
struct Comparison {
  std::string subject;  // benchmark name as Google Benchmark reports it
  std::string peer;
  double target;        // largest acceptable ratio; 0 when reported for information only
  std::string label;
  std::string subject_base{};   // optional: a run whose time is subtracted from the subject's
  double subject_divisor = 1.0;
  double peer_multiple = 1.0;
  std::string peer_plus{};      // optional: a run whose time is added to the peer's
};

// Adds the minimum over repetitions to a benchmark's statistics: on a shared machine it is the least
// disturbed of the measurements, and the ratios use it when it is there. Register benchmarks with
// ORV_BENCHMARK(name) to get it.
inline void withMinimum(benchmark::internal::Benchmark* b) {
  b->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  });
}
#define ORV_BENCHMARK(fn) BENCHMARK(fn)->Apply(::orv::bench::withMinimum)

// Remembers the real time per iteration of every run: the minimum over repetitions if there is one,
// else the median, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      int rank = 1;  // a single run
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "min") {
          rank = 3;
        } else if (run.aggregate_name == "median") {
          rank = 2;
        } else {
          continue;
        }
      }
      const std::string name = run.run_name.str();
      if (rank >= rank_[name]) {
        seconds_[name] = run.GetAdjustedRealTime();
        rank_[name] = rank;
      }
    }
  }

  // Prints the ratio lines; returns how many comparisons had no measurement for either side.
  int printRatios(const std::vector<Comparison>& comparisons) const {
    int missing = 0;
    std::printf("\n");
    for (const Comparison& c : comparisons) {
      const auto subject = seconds_.find(c.subject);
      const auto peer = seconds_.find(c.peer);
      const auto base = seconds_.find(c.subject_base);
      const auto plus = seconds_.find(c.peer_plus);
      if (subject == seconds_.end() || peer == seconds_.end() || peer->second <= 0 ||
          (!c.subject_base.empty() && base == seconds_.end()) ||
          (!c.peer_plus.empty() && plus == seconds_.end())) {
        ++missing;
        continue;
      }
      const double subject_time =
          (subject->second - (c.subject_base.empty() ? 0.0 : base->second)) / c.subject_divisor;
      const double peer_time = peer->second + (c.peer_plus.empty() ? 0.0 : plus->second);
      const double ratio = subject_time / (peer_time * c.peer_multiple);
      char target[32] = "info";
      if (c.target > 0) std::snprintf(target, sizeof target, "<=%.2fx", c.target);
      std::printf("RATIO  %6.2fx  %-8s  %s%s\n", ratio, target, c.label.c_str(),
                  c.target > 0 && ratio > c.target ? "  (above target)" : "");
    }
    std::fflush(stdout);
    return missing;
  }

 private:
  std::map<std::string, double> seconds_;
  std::map<std::string, int> rank_;
};

// The body of a benchmark program's main: run what the command line selects, then the ratios.
inline int runWithRatios(int argc, char** argv, const std::vector<Comparison>& comparisons) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(comparisons);
  benchmark::Shutdown();
  return 0;
}

}  // namespace orv::bench
