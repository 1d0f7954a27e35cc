#pragma once

// Benchmarks answer questions as ratios measured in one run: an orv operation against a peer doing
// the same work on the same data. This runner executes the registered benchmarks with Google
// Benchmark's console output and then prints one line per comparison:
//
//   RATIO  <subject time / peer time>  <target>  <what is compared>
//
// `bench/run` collects those lines from every benchmark program into one table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orv::bench {

struct Comparison {
  std::string subject;  // benchmark name as Google Benchmark reports it
  std::string peer;
  double target;        // largest acceptable ratio; 0 when reported for information only
  std::string label;
};

// Remembers the real time per iteration of every run, preferring the median of repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const std::string name = run.run_name.str();
      if (median || !medians_.contains(name)) {
        seconds_[name] = run.GetAdjustedRealTime();
        if (median) medians_[name] = true;
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
      if (subject == seconds_.end() || peer == seconds_.end() || peer->second <= 0) {
        ++missing;
        continue;
      }
      const double ratio = subject->second / peer->second;
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
  std::map<std::string, bool> medians_;
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
