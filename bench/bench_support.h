// What the benchmarks share: one cached problem per shape with its plain
// sweep result, the check of a timed result against it, one registration
// (fastest of five interleaved repetitions) and one closing table.
#ifndef QUILLMERE_BENCH_BENCH_SUPPORT_H
#define QUILLMERE_BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/update_sweep.h"
#include "tests/support/exact_bits.h"
#include "tests/support/sweep_problem.h"

namespace quillmere::bench {

inline std::string shapeName(VolumeDims d) {
  char label[48];
  std::snprintf(label, sizeof label, "%dx%dx%d", d.n1, d.n2, d.n3);
  return label;
}

// One random problem per shape, made on first use and kept for the run, with
// the plain sweep's result once someone asks for it.
struct Case {
  std::unique_ptr<testing::SweepProblem> problem;
  std::vector<float> plainResult;

  const std::vector<float>& plain() {
    if (plainResult.empty()) plainResult = problem->stepPlain();
    return plainResult;
  }
};

inline Case& caseFor(VolumeDims d) {
  static std::map<std::string, Case> cases;
  Case& c = cases[shapeName(d)];
  if (!c.problem) {
    c.problem = std::make_unique<testing::SweepProblem>(d);
    std::mt19937 rng(2024u);
    testing::fillRandom(*c.problem, rng);
  }
  return c;
}

// After timing: a fast but wrong result cannot report a figure.
inline void checkAgainstPlain(benchmark::State& state, Case& c, const std::vector<float>& out) {
  if (!testing::bitDifference(c.plain(), out).empty())
    state.SkipWithError("result differs from the plain sweep");
}

// Five repetitions, interleaved at random with the other benchmarks
// (--benchmark_enable_random_interleaving=true), and the fastest of them:
// on a shared machine, other work only ever adds time.
template <typename... Args>
void registerFastestOfFive(const std::string& name, Args&&... args) {
  benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(0.1)
      ->Repetitions(5)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) {
                            double m = v.front();
                            for (double x : v) m = x < m ? x : m;
                            return m;
                          })
      ->ReportAggregatesOnly(true);
}

// Collects one figure per benchmark named COLUMN/ROW (a counter when one is
// named, else ms of real time) and closes the run with a table of them and
// each column's speed-up over the baseline column.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // `counter` "" for ms per run.
  explicit SummaryReporter(std::string counter = "") : counter_(std::move(counter)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      // With repetitions, only the fastest stands for the benchmark.
      const bool best = r.run_type == Run::RT_Aggregate && r.aggregate_name == "min";
      if (r.run_type == Run::RT_Aggregate && !best) continue;
      double value = r.GetAdjustedRealTime();
      if (!counter_.empty()) {
        const auto it = r.counters.find(counter_);
        if (it == r.counters.end()) continue;
        value = it->second.value;
      }
      const std::string name = r.run_name.function_name;
      const std::size_t slash = name.find('/');
      auto& row = figures_[name.substr(slash + 1)];
      const std::string column = name.substr(0, slash);
      if (best || row.find(column) == row.end()) row[column] = value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // `precision` digits after the point; smaller figures are better.
  void printSummary(const char* title, const std::vector<std::string>& rows,
                    const std::vector<std::string>& columns, const std::string& baseline,
                    int precision) const {
    std::printf("\n%s, fastest of the repetitions (speed-up over %s)\n%-14s", title,
                baseline.c_str(), "shape");
    for (const std::string& c : columns) std::printf(" %18s", c.c_str());
    std::printf("\n");
    for (const std::string& name : rows) {
      const auto found = figures_.find(name);
      if (found == figures_.end()) continue;
      const auto& row = found->second;
      const auto base = row.find(baseline);
      std::printf("%-14s", name.c_str());
      for (const std::string& c : columns) {
        const auto it = row.find(c);
        if (it == row.end()) {
          std::printf(" %18s", "-");
        } else if (base != row.end() && c != baseline) {
          std::printf(" %9.*f (%5.2fx)", precision, it->second, base->second / it->second);
        } else {
          std::printf(" %9.*f         ", precision, it->second);
        }
      }
      std::printf("\n");
    }
  }

 private:
  std::string counter_;
  std::map<std::string, std::map<std::string, double>> figures_;
};

}  // namespace quillmere::bench

#endif  // QUILLMERE_BENCH_BENCH_SUPPORT_H
